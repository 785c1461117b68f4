// Marks the clusters of a failed track bad in a FAT copy, twelve bits an entry.
#include "volume/bad_clusters.h"

#include <cstring>

namespace {

// Entry n of a FAT12 table takes the twelve bits from bit 12 n on: its first
// byte is byte 3n/2, and an odd entry begins in that byte's high half.
constexpr std::size_t entry_offset(int cluster)
{
    return static_cast<std::size_t>(cluster) * 3 / 2;
}

constexpr std::size_t FAT_BYTES = static_cast<std::size_t>(SECTORS_PER_FAT) * SECTOR_SIZE;
static_assert(entry_offset(LAST_CLUSTER) + 1 < FAT_BYTES, "the last cluster's entry lies within one FAT copy");
static_assert(entry_offset(341) == SECTOR_SIZE - 1, "cluster 341's entry straddles the first two FAT sectors");

// The cluster of a data sector: one sector a cluster, from the first data sector on.
static_assert(SECTORS_PER_CLUSTER == 1);
constexpr int cluster_of_sector(int sector)
{
    return FIRST_CLUSTER + (sector - FIRST_DATA_SECTOR);
}
static_assert(cluster_of_sector(TOTAL_SECTORS - 1) == LAST_CLUSTER);

// Replaces the bits of `mask` in byte `offset` of the copy with those of
// `bits`, and notes the sector that holds it.
void patch_byte(FatCopy* fat, std::size_t offset, std::uint8_t mask, std::uint8_t bits)
{
    std::size_t sector = offset / SECTOR_SIZE;
    std::uint8_t* byte = &fat->sectors[sector][offset % SECTOR_SIZE];
    *byte = static_cast<std::uint8_t>((*byte & ~mask) | (bits & mask));
    fat->marked[sector] = true;
}

void store_entry(FatCopy* fat, int cluster, std::uint16_t entry)
{
    std::size_t offset = entry_offset(cluster);
    if (cluster % 2 == 0) {
        patch_byte(fat, offset, 0xFF, static_cast<std::uint8_t>(entry));
        patch_byte(fat, offset + 1, 0x0F, static_cast<std::uint8_t>(entry >> 8));
    } else {
        patch_byte(fat, offset, 0xF0, static_cast<std::uint8_t>(entry << 4));
        patch_byte(fat, offset + 1, 0xFF, static_cast<std::uint8_t>(entry >> 4));
    }
}

} // namespace

void start_fat_copy(const SystemAreaImages* images, FatCopy* fat)
{
    std::memcpy(fat->sectors[0], images->FatHeadSector, SECTOR_SIZE);
    for (int sector = 1; sector < SECTORS_PER_FAT; ++sector)
        std::memcpy(fat->sectors[sector], images->BlankSector, SECTOR_SIZE);
    for (bool& marked : fat->marked)
        marked = false;
}

int mark_bad_track(FatCopy* fat, int head, int cylinder)
{
    if (head < 0 || head >= HEAD_COUNT || cylinder < 0 || cylinder >= CYLINDER_COUNT)
        return 0;
    int marked = 0;
    for (int sector = 1; sector <= SECTORS_PER_TRACK; ++sector) {
        int number = logical_sector(cylinder, head, sector);
        if (number < FIRST_DATA_SECTOR)
            continue;
        store_entry(fat, cluster_of_sector(number), BAD_CLUSTER_ENTRY);
        ++marked;
    }
    return marked;
}
