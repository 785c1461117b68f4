// The verify pass after the system-area writes: every track read back, the
// clusters of the failed ones marked bad, and the space the disk has left.
#pragma once

#include "volume/geometry.h"
#include "volume/images.h"

// A track that failed to verify, and the error code its line showed.
struct FailedTrack {
    int head;
    int cylinder;
    int error_code;
};

// Reads every track back in the order of the formats, then says which failed.
// `failed` and `failed_count` receive them. Returns 1 when all could be read.
int verify_drive_a(FailedTrack (&failed)[TRACK_COUNT], int* failed_count);

// Marks the clusters of the failed tracks bad in both FAT copies, writing
// again only the FAT sectors that carry a mark, and reports the space left.
// Nothing is written when a track of cylinder 0 failed: the boot sector, the
// FATs and the root directory are not to be trusted. Returns 1 when the disk
// holds every mark.
int mark_failed_tracks(const SystemAreaImages& images, const FailedTrack* failed, int failed_count);

// The verify pass of a disk that holds the new volume, `system_area_written`
// 1 when every write of the system area succeeded. On any other disk nothing
// is read: a verdict would be about the old contents, or about no disk at all,
// so it says only that the disk was not formatted. Returns 1 when every track
// verified and every mark was written.
int verify_written_disk(const SystemAreaImages& images, int system_area_written);
