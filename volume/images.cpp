// The constant templates of the system area and the plan that writes them.
#include "volume/images.h"

#include <array>
#include <cstring>

#include "volume/bootstrap_area.h"
#include "volume/little_endian.h"

namespace {

using SectorTemplate = std::array<std::uint8_t, SECTOR_SIZE>;

constexpr void put_bytes(SectorTemplate& sector, std::size_t offset, const char* text, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        sector[offset + i] = static_cast<std::uint8_t>(text[i]);
}

constexpr char VOLUME_LABEL_TEXT[] = "MARVESTO   ";
static_assert(sizeof(VOLUME_LABEL_TEXT) - 1 == VOLUME_LABEL_LENGTH);

constexpr SectorTemplate make_boot_sector()
{
    namespace field = boot_sector;
    SectorTemplate sector{};
    std::uint8_t* bytes = sector.data();
    sector[field::JUMP] = 0xEB; // short jump to the bootstrap, then a no-op
    sector[field::JUMP + 1] = static_cast<std::uint8_t>(field::BOOTSTRAP_AREA - (field::JUMP + 2));
    sector[field::JUMP + 2] = 0x90;
    put_bytes(sector, field::OEM_NAME, "({:iZIHC", 8);
    store_word(bytes, field::BYTES_PER_SECTOR, static_cast<std::uint16_t>(SECTOR_SIZE));
    sector[field::SECTORS_PER_CLUSTER] = static_cast<std::uint8_t>(SECTORS_PER_CLUSTER);
    store_word(bytes, field::RESERVED_SECTORS, static_cast<std::uint16_t>(RESERVED_SECTOR_COUNT));
    sector[field::FAT_COUNT] = static_cast<std::uint8_t>(FAT_COUNT);
    store_word(bytes, field::ROOT_ENTRIES, static_cast<std::uint16_t>(ROOT_ENTRY_COUNT));
    store_word(bytes, field::TOTAL_SECTORS_16, static_cast<std::uint16_t>(TOTAL_SECTORS));
    sector[field::MEDIA_DESCRIPTOR] = MEDIA_DESCRIPTOR;
    store_word(bytes, field::SECTORS_PER_FAT, static_cast<std::uint16_t>(SECTORS_PER_FAT));
    store_word(bytes, field::SECTORS_PER_TRACK_FIELD, static_cast<std::uint16_t>(SECTORS_PER_TRACK));
    store_word(bytes, field::HEAD_COUNT_FIELD, static_cast<std::uint16_t>(HEAD_COUNT));
    // The serial number stays 0 until the stamp is stored.
    sector[field::EXTENDED_SIGNATURE] = 0x29;
    put_bytes(sector, field::VOLUME_LABEL, VOLUME_LABEL_TEXT, VOLUME_LABEL_LENGTH);
    put_bytes(sector, field::FILE_SYSTEM_TYPE, "FAT12   ", 8);
    for (std::size_t i = 0; i < field::BOOTSTRAP_AREA_LENGTH; ++i)
        sector[field::BOOTSTRAP_AREA + i] = BOOTSTRAP_AREA_BYTES[i];
    sector[field::SIGNATURE] = 0x55;
    sector[field::SIGNATURE + 1] = 0xAA;
    return sector;
}

constexpr SectorTemplate make_fat_head()
{
    SectorTemplate sector{};
    // FAT entries 0 and 1, twelve bits each: FF0h (the media descriptor with the
    // high bits set) and FFFh (end of chain).
    sector[0] = MEDIA_DESCRIPTOR;
    sector[1] = 0xFF;
    sector[2] = 0xFF;
    return sector;
}

constexpr SectorTemplate make_root_label()
{
    SectorTemplate sector{};
    put_bytes(sector, label_entry::NAME, VOLUME_LABEL_TEXT, VOLUME_LABEL_LENGTH);
    sector[label_entry::ATTRIBUTES] = 0x28; // volume label + archive
    return sector;
}

constexpr SectorTemplate BOOT_SECTOR_TEMPLATE = make_boot_sector();
constexpr SectorTemplate FAT_HEAD_TEMPLATE = make_fat_head();
constexpr SectorTemplate ROOT_LABEL_TEMPLATE = make_root_label();

static_assert(TOTAL_SECTORS <= 0xFFFF, "the 16-bit total-sector field holds the volume");
static_assert(BOOT_SECTOR_TEMPLATE[boot_sector::JUMP + 1] == 0x3C);

} // namespace

void build_images(SystemAreaImages* images)
{
    std::memcpy(images->BootSectorImage, BOOT_SECTOR_TEMPLATE.data(), SECTOR_SIZE);
    std::memcpy(images->FatHeadSector, FAT_HEAD_TEMPLATE.data(), SECTOR_SIZE);
    std::memcpy(images->RootLabelSector, ROOT_LABEL_TEMPLATE.data(), SECTOR_SIZE);
    std::memset(images->BlankSector, 0, SECTOR_SIZE);
}

int is_volume_label(const char* name)
{
    static const char refused[] = "\"*+,./:;<=>?[\\]|";
    std::size_t length = std::strlen(name);
    if (length == 0 || length > VOLUME_LABEL_LENGTH || name[0] == ' ')
        return 0;
    for (std::size_t i = 0; i < length; ++i) {
        auto byte = static_cast<unsigned char>(name[i]);
        if (byte < 0x20 || byte >= 0x7F || std::strchr(refused, name[i]) != nullptr)
            return 0;
    }
    return 1;
}

void label_images(SystemAreaImages* images, const char* name)
{
    char label[VOLUME_LABEL_LENGTH];
    std::memset(label, ' ', sizeof label);
    for (std::size_t i = 0; i < sizeof label && name[i] != '\0'; ++i)
        label[i] = name[i] >= 'a' && name[i] <= 'z' ? static_cast<char>(name[i] - 'a' + 'A') : name[i];
    std::memcpy(images->BootSectorImage + boot_sector::VOLUME_LABEL, label, sizeof label);
    std::memcpy(images->RootLabelSector + label_entry::NAME, label, sizeof label);
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
