// The constant templates of the system area and the plan that writes them.
#include "volume/images.h"

#include <array>
#include <cstring>

#include "volume/bootstrap_area.h"

namespace {

using SectorTemplate = std::array<std::uint8_t, SECTOR_SIZE>;

constexpr void put_bytes(SectorTemplate& sector, std::size_t offset, const char* text, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        sector[offset + i] = static_cast<std::uint8_t>(text[i]);
}

constexpr void put_word(SectorTemplate& sector, std::size_t offset, std::uint16_t value)
{
    sector[offset] = static_cast<std::uint8_t>(value & 0xFF);
    sector[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr char VOLUME_LABEL_TEXT[] = "MARVESTO   ";
static_assert(sizeof(VOLUME_LABEL_TEXT) - 1 == 11);

constexpr SectorTemplate make_boot_sector()
{
    using namespace boot_sector;
    SectorTemplate sector{};
    sector[JUMP] = 0xEB;                   // short jump to offset 62
    sector[JUMP + 1] = 0x3C;
    sector[JUMP + 2] = 0x90;               // no-op
    put_bytes(sector, OEM_NAME, "({:iZIHC", 8);
    put_word(sector, BYTES_PER_SECTOR, SECTOR_SIZE);
    sector[SECTORS_PER_CLUSTER] = 1;
    put_word(sector, RESERVED_SECTORS, 1);
    sector[FAT_COUNT] = 2;
    put_word(sector, ROOT_ENTRIES, 224);
    put_word(sector, TOTAL_SECTORS_16, TOTAL_SECTORS);
    sector[MEDIA_DESCRIPTOR] = 0xF0;
    put_word(sector, SECTORS_PER_FAT, 9);
    put_word(sector, SECTORS_PER_TRACK_FIELD, SECTORS_PER_TRACK);
    put_word(sector, HEAD_COUNT_FIELD, HEAD_COUNT);
    // Hidden sectors, the 32-bit total, the drive number (00h, drive A:) and the
    // reserved byte stay 0; so does the serial number until the stamp is stored.
    sector[EXTENDED_SIGNATURE] = 0x29;
    put_bytes(sector, VOLUME_LABEL, VOLUME_LABEL_TEXT, 11);
    put_bytes(sector, FILE_SYSTEM_TYPE, "FAT12   ", 8);
    for (std::size_t i = 0; i < BOOTSTRAP_AREA_LENGTH; ++i)
        sector[BOOTSTRAP_AREA + i] = BOOTSTRAP_AREA_BYTES[i];
    sector[SIGNATURE] = 0x55;
    sector[SIGNATURE + 1] = 0xAA;
    return sector;
}

constexpr SectorTemplate make_fat_head()
{
    SectorTemplate sector{};
    sector[0] = 0xF0; // FAT entry 0: the media descriptor with the high bits set
    sector[1] = 0xFF;
    sector[2] = 0xFF; // FAT entry 1: end of chain
    return sector;
}

constexpr SectorTemplate make_root_label()
{
    SectorTemplate sector{};
    put_bytes(sector, label_entry::NAME, VOLUME_LABEL_TEXT, 11);
    sector[label_entry::ATTRIBUTES] = 0x28; // volume label + archive
    return sector;
}

constexpr SectorTemplate BOOT_SECTOR_TEMPLATE = make_boot_sector();
constexpr SectorTemplate FAT_HEAD_TEMPLATE = make_fat_head();
constexpr SectorTemplate ROOT_LABEL_TEMPLATE = make_root_label();

static_assert(boot_sector::BOOTSTRAP_AREA + boot_sector::BOOTSTRAP_AREA_LENGTH == boot_sector::SIGNATURE);
static_assert(BOOT_SECTOR_TEMPLATE[boot_sector::TOTAL_SECTORS_16] == 0x88
              && BOOT_SECTOR_TEMPLATE[boot_sector::TOTAL_SECTORS_16 + 1] == 0x0B);

} // namespace

void build_images(SystemAreaImages* images)
{
    std::memcpy(images->BootSectorImage, BOOT_SECTOR_TEMPLATE.data(), SECTOR_SIZE);
    std::memcpy(images->FatHeadSector, FAT_HEAD_TEMPLATE.data(), SECTOR_SIZE);
    std::memcpy(images->RootLabelSector, ROOT_LABEL_TEMPLATE.data(), SECTOR_SIZE);
    std::memset(images->BlankSector, 0, SECTOR_SIZE);
}

const std::uint8_t* planned_image(const SystemAreaImages* images, PlannedImage image)
{
    switch (image) {
    case PlannedImage::BootSector: return images->BootSectorImage;
    case PlannedImage::FatHead: return images->FatHeadSector;
    case PlannedImage::RootLabel: return images->RootLabelSector;
    case PlannedImage::Blank: break;
    }
    return images->BlankSector;
}
