// The shape of the enlarged 3.5-inch volume: 82 cylinders, 2 heads, 18 sectors.
#pragma once

#include <cstddef>

constexpr int CYLINDER_COUNT = 82;
constexpr int HEAD_COUNT = 2;
constexpr int SECTORS_PER_TRACK = 18;
constexpr std::size_t SECTOR_SIZE = 512;
constexpr int TRACK_COUNT = CYLINDER_COUNT * HEAD_COUNT;
constexpr int TOTAL_SECTORS = TRACK_COUNT * SECTORS_PER_TRACK;
constexpr std::size_t VOLUME_BYTES = static_cast<std::size_t>(TOTAL_SECTORS) * SECTOR_SIZE;

// The system area: every sector of cylinder 0.
constexpr int SYSTEM_AREA_SECTORS = HEAD_COUNT * SECTORS_PER_TRACK;

static_assert(TRACK_COUNT == 164);
static_assert(TOTAL_SECTORS == 2952);
static_assert(VOLUME_BYTES == 1'511'424);
static_assert(SYSTEM_AREA_SECTORS == 36);

// Logical sector number of cylinder c, head h, sector r (sectors count from 1).
constexpr int logical_sector(int cylinder, int head, int sector)
{
    return (cylinder * HEAD_COUNT + head) * SECTORS_PER_TRACK + (sector - 1);
}
