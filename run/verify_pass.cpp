// The verify pass: read back, marks, space report.
#include "run/verify_pass.h"

#include "diskio/disk_service.h"
#include "run/console.h"
#include "volume/bad_clusters.h"

namespace {

const char ALL_TRACKS_VERIFIED[] = "\n\n     All 164 tracks verified.\n";
const char TRACKS_FAILED_TO_VERIFY[] = "\n\n     %d of 164 tracks failed to verify.\n";
const char FAILED_TRACK[] = "     side %d of track %d, error code %d.\n";
static_assert(TRACK_COUNT == 164, "the verify summary names the track count");
const char SPACE_REPORT[] =
    "\n     %ld bytes total disk space.\n"
    "     %ld bytes in bad sectors.\n"
    "     %ld bytes available on disk.\n";
const char TRACK_ZERO_UNREADABLE[] = "\n     Track 0 could not be read back, so the disk is unusable.\n";
const char MARKS_NOT_WRITTEN[] = "\n     The bad sectors could not be marked, so the disk is unusable.\n";
const char NOT_FORMATTED[] = "\n     The disk was not formatted, so it was not verified.\n";

} // namespace

int verify_drive_a(FailedTrack (&failed)[TRACK_COUNT], int* failed_count)
{
    *failed_count = 0;
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder)
        for (int head = 0; head < HEAD_COUNT; ++head) {
            int code = 0;
            if (verify_track(head, cylinder, &code) != 1)
                failed[(*failed_count)++] = FailedTrack{head, cylinder, code};
        }

    if (*failed_count == 0) {
        printf_and_flush("%s", ALL_TRACKS_VERIFIED);
        return 1;
    }
    printf_and_flush(TRACKS_FAILED_TO_VERIFY, *failed_count);
    for (int index = 0; index < *failed_count; ++index)
        printf_and_flush(FAILED_TRACK, failed[index].head, failed[index].cylinder, failed[index].error_code);
    return 0;
}

int mark_failed_tracks(const SystemAreaImages& images, const FailedTrack* failed, int failed_count)
{
    for (int index = 0; index < failed_count; ++index)
        if (failed[index].cylinder == 0) {
            printf_and_flush("%s", TRACK_ZERO_UNREADABLE);
            return 0;
        }

    FatCopy fat;
    start_fat_copy(&images, &fat);
    long bad_clusters = 0;
    for (int index = 0; index < failed_count; ++index)
        bad_clusters += mark_bad_track(&fat, failed[index].head, failed[index].cylinder);

    // Every mark is written, whatever became of the one before.
    int all_written = 1;
    for (int copy = 0; copy < FAT_COUNT; ++copy)
        for (int sector = 0; sector < SECTORS_PER_FAT; ++sector)
            if (fat.marked[sector] && write_sector(first_fat_sector(copy) + sector, fat.sectors[sector]) != 1)
                all_written = 0;
    if (all_written != 1) {
        printf_and_flush("%s", MARKS_NOT_WRITTEN);
        return 0;
    }
    long bad_bytes = bad_clusters * CLUSTER_BYTES;
    printf_and_flush(SPACE_REPORT, DATA_AREA_BYTES, bad_bytes, DATA_AREA_BYTES - bad_bytes);
    return 1;
}

int verify_written_disk(const SystemAreaImages& images, int system_area_written)
{
    if (system_area_written != 1) {
        printf_and_flush("%s", NOT_FORMATTED);
        return 0;
    }
    FailedTrack failed[TRACK_COUNT];
    int failed_count = 0;
    int all_verified = verify_drive_a(failed, &failed_count);
    int all_marked = mark_failed_tracks(images, failed, failed_count);
    return all_verified == 1 && all_marked == 1 ? 1 : 0;
}
