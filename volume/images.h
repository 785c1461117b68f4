// The system-area images of the volume and the order in which they are written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "volume/geometry.h"

using SectorImage = std::uint8_t[SECTOR_SIZE];

// The four images of the system area, each a separate 512-byte buffer.
struct SystemAreaImages {
    SectorImage BootSectorImage;
    SectorImage FatHeadSector;  // the first sector of both FAT copies
    SectorImage RootLabelSector;
    SectorImage BlankSector;
};

// Copies the constant templates into the caller's buffers.
void build_images(SystemAreaImages* images);

// Which image a step of the write plan writes.
enum class PlannedImage : std::uint8_t { BootSector, FatHead, RootLabel, Blank };

struct PlannedWrite {
    int sector;
    PlannedImage image;
};

constexpr PlannedImage planned_image_for(int sector)
{
    if (sector == 0)
        return PlannedImage::BootSector;
    if (sector == 1 || sector == 10) // the first sector of each FAT copy
        return PlannedImage::FatHead;
    if (sector == 19)                // the first root-directory sector
        return PlannedImage::RootLabel;
    return PlannedImage::Blank;
}

constexpr std::array<PlannedWrite, SYSTEM_AREA_SECTORS> make_write_plan()
{
    std::array<PlannedWrite, SYSTEM_AREA_SECTORS> plan{};
    for (int sector = 0; sector < SYSTEM_AREA_SECTORS; ++sector)
        plan[sector] = PlannedWrite{sector, planned_image_for(sector)};
    return plan;
}

// Logical sectors 0..35, each once, ascending.
inline constexpr std::array<PlannedWrite, SYSTEM_AREA_SECTORS> SystemAreaWritePlan = make_write_plan();

// The buffer of `images` that a step of the plan writes.
const std::uint8_t* planned_image(const SystemAreaImages* images, PlannedImage image);

// Boot-sector offsets that other parts of the system patch or read.
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
constexpr std::size_t HIDDEN_SECTORS = 28;         // doubleword
constexpr std::size_t TOTAL_SECTORS_32 = 32;       // doubleword
constexpr std::size_t PHYSICAL_DRIVE = 36;         // byte
constexpr std::size_t EXTENDED_SIGNATURE = 38;     // byte, 29h
constexpr std::size_t SERIAL_NUMBER = 39;          // doubleword
constexpr std::size_t VOLUME_LABEL = 43;           // 11 bytes
constexpr std::size_t FILE_SYSTEM_TYPE = 54;       // 8 bytes
constexpr std::size_t BOOTSTRAP_AREA = 62;         // 448 bytes, up to the signature
constexpr std::size_t BOOTSTRAP_AREA_LENGTH = 448;
constexpr std::size_t SIGNATURE = 510;             // 55h AAh
} // namespace boot_sector

// Offsets within the volume-label directory entry at the start of RootLabelSector.
namespace label_entry {
constexpr std::size_t NAME = 0;        // 11 bytes
constexpr std::size_t ATTRIBUTES = 11; // byte, 28h
constexpr std::size_t TIME = 22;       // word
constexpr std::size_t DATE = 24;       // word
} // namespace label_entry
