// The FAT12 layout of the volume: its parameters, and the areas that follow from them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "volume/geometry.h"

// The parameters the boot sector states. Apart from the total-sector count they
// are those of a standard 1.44 MB diskette.
constexpr int RESERVED_SECTOR_COUNT = 1; // the boot sector alone
constexpr int FAT_COUNT = 2;
constexpr int SECTORS_PER_FAT = 9;
constexpr int ROOT_ENTRY_COUNT = 224;
constexpr std::uint8_t MEDIA_DESCRIPTOR = 0xF0;
constexpr int SECTORS_PER_CLUSTER = 1;
constexpr std::size_t DIRECTORY_ENTRY_SIZE = 32;

// The areas, in logical sector numbers, as a FAT reader derives them.
constexpr int BOOT_SECTOR_NUMBER = 0; // the first reserved sector

constexpr int first_fat_sector(int copy)
{
    return RESERVED_SECTOR_COUNT + copy * SECTORS_PER_FAT;
}

constexpr int FIRST_ROOT_DIRECTORY_SECTOR = first_fat_sector(FAT_COUNT);
constexpr int ROOT_DIRECTORY_SECTORS =
    static_cast<int>((static_cast<std::size_t>(ROOT_ENTRY_COUNT) * DIRECTORY_ENTRY_SIZE + SECTOR_SIZE - 1) / SECTOR_SIZE);
constexpr int FIRST_DATA_SECTOR = FIRST_ROOT_DIRECTORY_SECTOR + ROOT_DIRECTORY_SECTORS;
constexpr int CLUSTER_COUNT = (TOTAL_SECTORS - FIRST_DATA_SECTOR) / SECTORS_PER_CLUSTER;

static_assert(first_fat_sector(0) == 1 && first_fat_sector(1) == 10);
static_assert(FIRST_ROOT_DIRECTORY_SECTOR == 19);
static_assert(ROOT_DIRECTORY_SECTORS == 14);
static_assert(FIRST_DATA_SECTOR == 33);
static_assert(CLUSTER_COUNT == 2919); // clusters 2..2920

// What makes the parameters a sound FAT12 volume that this system writes whole.
static_assert(static_cast<std::size_t>(ROOT_ENTRY_COUNT) * DIRECTORY_ENTRY_SIZE % SECTOR_SIZE == 0,
              "the root directory fills whole sectors");
static_assert(CLUSTER_COUNT < 4085, "few enough clusters for FAT12");
static_assert(static_cast<std::size_t>(SECTORS_PER_FAT) * SECTOR_SIZE * 2 / 3
                  >= static_cast<std::size_t>(CLUSTER_COUNT) + 2,
              "one FAT copy holds an entry for every cluster, and entries 0 and 1");
static_assert(FIRST_DATA_SECTOR <= SYSTEM_AREA_SECTORS,
              "the FATs and the root directory lie in cylinder 0, which the write plan covers");
