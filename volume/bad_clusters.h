// Bad-cluster marks: the FAT12 entries of the clusters on a track that could not be read back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "volume/images.h"

// The FAT12 entry of a cluster that must never be allocated.
constexpr std::uint16_t BAD_CLUSTER_ENTRY = 0xFF7;

// Clusters are numbered from 2, the first data sector's; entries 0 and 1 are the FAT head's.
constexpr int FIRST_CLUSTER = 2;
constexpr int LAST_CLUSTER = FIRST_CLUSTER + CLUSTER_COUNT - 1;
static_assert(LAST_CLUSTER == 2920);

// The data area, all of it free on a new volume.
constexpr long CLUSTER_BYTES = static_cast<long>(SECTORS_PER_CLUSTER) * static_cast<long>(SECTOR_SIZE);
constexpr long DATA_AREA_BYTES = CLUSTER_COUNT * CLUSTER_BYTES;
static_assert(DATA_AREA_BYTES == 1'494'528);

// One FAT copy as it is written again: its sectors, and which of them carry a
// mark. The same bytes serve every copy.
struct FatCopy {
    SectorImage sectors[SECTORS_PER_FAT];
    bool marked[SECTORS_PER_FAT];
};

// Starts `fat` as the write plan wrote it: the FAT head image, then blank
// sectors; no sector marked.
void start_fat_copy(const SystemAreaImages* images, FatCopy* fat);

// Marks every cluster whose sector lies on track (head, cylinder) bad, and
// every FAT sector that holds a part of such an entry; the neighbouring
// entries keep their values. Returns the number of clusters marked: 0 for a
// track outside the volume, and for the sectors of cylinder 0 that precede the
// data area.
int mark_bad_track(FatCopy* fat, int head, int cylinder);
