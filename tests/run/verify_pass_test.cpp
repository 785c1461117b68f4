// The verify pass against the recording device: what it reads, what it writes
// again and what it tells the user.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "recording_device.h"
#include "run/verify_pass.h"
#include "volume/bad_clusters.h"

namespace {

// Standard output of `pass` with the device answering `answer`; the progress lines are dropped.
template <typename Pass> std::string shown_by(Pass pass, ScriptedAnswer answer, int expected_result)
{
    reset_recording_device();
    scripted_answer = answer;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(pass(), expected_result);
    testing::internal::GetCapturedStderr();
    return testing::internal::GetCapturedStdout();
}

TEST(VerifyPassTest, OnlyADiskThatTookEveryWriteIsReadBackAndItsFailedTracksMarked)
{
    SystemAreaImages images;
    build_images(&images);
    const ScriptedAnswer success{1, false, true, 0};
    EXPECT_EQ(shown_by([&] { return verify_written_disk(images, 0); }, success, 0),
              "\n     The disk was not formatted, so it was not verified.\n");
    EXPECT_TRUE(recorded_calls.empty());

    EXPECT_EQ(shown_by([&] { return verify_written_disk(images, 1); }, success, 1),
              "\n\n     All 164 tracks verified.\n\n     1494528 bytes total disk space.\n"
              "     0 bytes in bad sectors.\n     1494528 bytes available on disk.\n");
    ASSERT_EQ(recorded_calls.size(), 164u); // nothing written again
    for (std::uint32_t track = 0; track < 164; ++track)
        EXPECT_EQ(recorded_calls[track].sent.reg_ECX >> 8 << 1 | recorded_calls[track].sent.reg_EDX >> 8, track);

    // Side 1 of track 81 failed: its clusters' entries lie in the last sector
    // of each copy, logical sectors 9 and 18, each written even when the other fails.
    FatCopy expected;
    start_fat_copy(&images, &expected);
    mark_bad_track(&expected, 1, 81);
    const FailedTrack failed[] = {{1, 81, 16}};
    EXPECT_EQ(shown_by([&] { return mark_failed_tracks(images, failed, 1); }, {1, true, true, 0x0300}, 0),
              "\n     The bad sectors could not be marked, so the disk is unusable.\n");
    ASSERT_EQ(recorded_calls.size(), 2u);
    for (std::size_t copy = 0; copy < 2; ++copy)
        EXPECT_TRUE(recorded_calls[copy].sent.reg_EDX == 9 * (copy + 1)
                    && std::equal(recorded_calls[copy].ebx_buffer.begin(), recorded_calls[copy].ebx_buffer.end(),
                                  expected.sectors[8], expected.sectors[8] + SECTOR_SIZE));
    EXPECT_TRUE(shown_by([&] { return mark_failed_tracks(images, failed, 1); }, success, 1)
                    .ends_with("     9216 bytes in bad sectors.\n     1485312 bytes available on disk.\n"));
}

} // namespace
