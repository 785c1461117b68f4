// The system-area images of the volume and the order in which they are written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "volume/layout.h"

using SectorImage = std::uint8_t[SECTOR_SIZE];

// The four images of the system area, each a separate 512-byte buffer.
struct SystemAreaImages {
    SectorImage BootSectorImage;
    SectorImage FatHeadSector;  // the first sector of both FAT copies
    SectorImage RootLabelSector;
    SectorImage BlankSector;
};

// Copies the constant templates into the caller's buffers, labelled MARVESTO.
void build_images(SystemAreaImages* images);

// The volume label of the boot sector and of the root directory's label entry.
constexpr std::size_t VOLUME_LABEL_LENGTH = 11;

// 1 when `name` can be a FAT volume label, else 0: 1 to 11 characters, no
// leading blank, no control character or byte above 127, and none of
// " * + , . / : ; < = > ? [ \ ] |.
int is_volume_label(const char* name);

// Stores `name`, which is_volume_label takes, as the volume label of the boot
// sector and of the label entry: letters in upper case, blanks after it up to
// VOLUME_LABEL_LENGTH. Nothing else changes.
void label_images(SystemAreaImages* images, const char* name);

// Which image a step of the write plan writes.
enum class PlannedImage : std::uint8_t { BootSector, FatHead, RootLabel, Blank };

struct PlannedWrite {
    int sector;
    PlannedImage image;
};

// The image that logical sector `sector` of cylinder 0 receives: the boot
// sector, the first sector of each FAT copy and of the root directory carry
// their images; every other sector is written blank.
constexpr PlannedImage planned_image_for(int sector)
{
    if (sector == BOOT_SECTOR_NUMBER)
        return PlannedImage::BootSector;
    for (int copy = 0; copy < FAT_COUNT; ++copy)
        if (sector == first_fat_sector(copy))
            return PlannedImage::FatHead;
    if (sector == FIRST_ROOT_DIRECTORY_SECTOR)
        return PlannedImage::RootLabel;
    return PlannedImage::Blank;
}

constexpr std::array<PlannedWrite, SYSTEM_AREA_SECTORS> make_write_plan()
{
    std::array<PlannedWrite, SYSTEM_AREA_SECTORS> plan{};
    for (std::size_t step = 0; step < plan.size(); ++step) {
        int sector = static_cast<int>(step);
        plan[step] = PlannedWrite{sector, planned_image_for(sector)};
    }
    return plan;
}

// Logical sectors 0..35, each once, ascending.
inline constexpr std::array<PlannedWrite, SYSTEM_AREA_SECTORS> SystemAreaWritePlan = make_write_plan();

// The buffer of `images` that a step of the plan writes.
const std::uint8_t* planned_image(const SystemAreaImages* images, PlannedImage image);

// Boot-sector offsets that other parts of the system patch or read. Bytes 28..37
// (hidden sectors, the 32-bit total, the drive number 00h and the reserved byte)
// stay 0 and have no name.
namespace boot_sector {
constexpr std::size_t JUMP = 0;                    // EB 3C 90
constexpr std::size_t OEM_NAME = 3;                // 8 bytes
constexpr std::size_t BYTES_PER_SECTOR = 11;       // word
constexpr std::size_t SECTORS_PER_CLUSTER = 13;    // byte
constexpr std::size_t RESERVED_SECTORS = 14;       // word
constexpr std::size_t FAT_COUNT = 16;              // byte
constexpr std::size_t ROOT_ENTRIES = 17;           // word
constexpr std::size_t TOTAL_SECTORS_16 = 19;       // word
constexpr std::size_t MEDIA_DESCRIPTOR = 21;       // byte
constexpr std::size_t SECTORS_PER_FAT = 22;        // word
constexpr std::size_t SECTORS_PER_TRACK_FIELD = 24;// word
constexpr std::size_t HEAD_COUNT_FIELD = 26;       // word
constexpr std::size_t EXTENDED_SIGNATURE = 38;     // byte, 29h
constexpr std::size_t SERIAL_NUMBER = 39;          // doubleword
constexpr std::size_t VOLUME_LABEL = 43;           // 11 bytes
constexpr std::size_t FILE_SYSTEM_TYPE = 54;       // 8 bytes
// The bootstrap program's area. The build reads these two lines, as they are
// written here, and hands the numbers to the assembler and the embedding step.
constexpr std::size_t BOOTSTRAP_AREA = 62;
constexpr std::size_t BOOTSTRAP_AREA_LENGTH = 448;
constexpr std::size_t SIGNATURE = 510;             // 55h AAh

static_assert(BOOTSTRAP_AREA == FILE_SYSTEM_TYPE + 8, "the bootstrap follows the parameter block");
static_assert(BOOTSTRAP_AREA + BOOTSTRAP_AREA_LENGTH == SIGNATURE, "and reaches up to the signature");
static_assert(SIGNATURE + 2 == SECTOR_SIZE);
} // namespace boot_sector

// Offsets within the volume-label directory entry at the start of RootLabelSector.
namespace label_entry {
constexpr std::size_t NAME = 0;        // 11 bytes
constexpr std::size_t ATTRIBUTES = 11; // byte, 28h
constexpr std::size_t TIME = 22;       // word
constexpr std::size_t DATE = 24;       // word

static_assert(DATE + 2 + 2 + 4 == DIRECTORY_ENTRY_SIZE, "the first cluster and the file size end the entry");
} // namespace label_entry
