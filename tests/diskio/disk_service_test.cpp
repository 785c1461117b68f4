// The register records the disk operations send, their progress lines and
// how they read the device's answer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "diskio/disk_service.h"
#include "recording_device.h"

namespace {

class DiskServiceTest : public ::testing::Test {
protected:
    void SetUp() override { reset_recording_device(); }
};

std::string format_line(int head, int cylinder, long long code)
{
    return "     Formatting side " + std::to_string(head) + " of track " + std::to_string(cylinder)
           + ", where error code = " + std::to_string(code) + ". \a \a \a \r";
}

std::string write_line(int sector, long long code)
{
    return "     Writing sector " + std::to_string(sector) + ", where error code = " + std::to_string(code) + ". \r";
}

TEST_F(DiskServiceTest, LockAndUnlockSendTheVolumeIoctlForDriveA)
{
    EXPECT_EQ(lock_volume(), 1);
    EXPECT_EQ(unlock_volume(), 1);
    ASSERT_EQ(recorded_calls.size(), 2u);
    const std::uint32_t minor_codes[2] = {0x084A, 0x086A};
    for (int i = 0; i < 2; ++i) {
        const DIOC_REGISTERS& sent = recorded_calls[i].sent;
        EXPECT_EQ(recorded_calls[i].control_code, 1u);
        EXPECT_EQ(sent.reg_EAX, 0x440Du);
        EXPECT_EQ(sent.reg_EBX, 1u);
        EXPECT_EQ(sent.reg_ECX, minor_codes[i]);
        EXPECT_EQ(sent.reg_EDX, 0u);
        EXPECT_EQ(sent.reg_EDI, 0u);
        EXPECT_EQ(sent.reg_ESI, 0u);
        EXPECT_EQ(sent.reg_Flags, 0u);
    }
}

TEST_F(DiskServiceTest, LockAndUnlockFailWhenTheCallFailsOrTheSystemRefuses)
{
    scripted_answer.result = 0;
    EXPECT_EQ(lock_volume(), 0);
    EXPECT_EQ(unlock_volume(), 0);
    // The call reached the device, but the system refused: still a failure.
    scripted_answer = ScriptedAnswer{1, true, true, 5};
    EXPECT_EQ(lock_volume(), 0);
    EXPECT_EQ(unlock_volume(), 0);
    // Any nonzero BOOL with the carry clear is success, reported as 1.
    scripted_answer = ScriptedAnswer{7, false, false, 0};
    EXPECT_EQ(lock_volume(), 1);
}

TEST_F(DiskServiceTest, FormatTrackSendsTheTrackAndItsAddressFields)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(format_track(1, 81), 1);
    std::string line = testing::internal::GetCapturedStderr();

    ASSERT_EQ(recorded_calls.size(), 1u);
    const RecordedCall& call = recorded_calls[0];
    EXPECT_EQ(call.control_code, 4u);
    EXPECT_EQ(call.sent.reg_EAX, 0x0512u); // AH 05h, AL 18
    EXPECT_EQ(call.sent.reg_ECX, 81u << 8);
    EXPECT_EQ(call.sent.reg_EDX, 1u << 8);
    EXPECT_EQ(call.sent.reg_EDI, 0u);
    EXPECT_EQ(call.sent.reg_Flags, 1u);
    EXPECT_TRUE(call.esi_names_same_buffer);
    ASSERT_EQ(call.ebx_buffer.size(), 72u);
    for (int r = 1; r <= 18; ++r) {
        const std::uint8_t* field = &call.ebx_buffer[(r - 1) * 4];
        EXPECT_EQ(field[0], 81);
        EXPECT_EQ(field[1], 1);
        EXPECT_EQ(field[2], r);
        EXPECT_EQ(field[3], 2);
    }
    // The record came back with AH 05h still in it: that is what the line shows.
    EXPECT_EQ(line, format_line(1, 81, 5));
}

TEST_F(DiskServiceTest, FormatTrackResultAndErrorCode)
{
    scripted_answer = ScriptedAnswer{1, false, true, 0x0012};
    testing::internal::CaptureStderr();
    EXPECT_EQ(format_track(0, 0), 1);
    std::string line = testing::internal::GetCapturedStderr();
    EXPECT_EQ(line, format_line(0, 0, 0));
    EXPECT_EQ(line.find('\n'), std::string::npos);

    // The service failed: carry set, status in AH.
    scripted_answer = ScriptedAnswer{1, true, true, 0x0312};
    testing::internal::CaptureStderr();
    EXPECT_EQ(format_track(1, 3), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), format_line(1, 3, 3));

    // The whole register shifted, not only AH.
    scripted_answer = ScriptedAnswer{1, true, true, 0xFFFF8012u};
    testing::internal::CaptureStderr();
    EXPECT_EQ(format_track(0, 7), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), format_line(0, 7, 0xFFFF80));

    // No device: the record holds only what was sent (AH 05h), or whatever
    // the failed call left, carry clear and AH 0 included. The line shows 128,
    // no disk, and the track failed.
    scripted_answer = ScriptedAnswer{0, true, false, 0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(format_track(0, 1), 0);
    scripted_answer = ScriptedAnswer{0, false, true, 0x0012};
    EXPECT_EQ(format_track(0, 2), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), format_line(0, 1, 128) + format_line(0, 2, 128));
}

TEST_F(DiskServiceTest, VerifyTrackAsksForEverySectorOfTheTrackAndTellsItsCode)
{
    scripted_answer = ScriptedAnswer{1, false, true, 0x0012};
    int code = -1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(verify_track(1, 81, &code), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "     Verifying side 1 of track 81, where error code = 0. \r");
    EXPECT_EQ(code, 0);
    ASSERT_EQ(recorded_calls.size(), 1u);
    const RecordedCall& call = recorded_calls[0];
    EXPECT_EQ(call.control_code, 4u);
    EXPECT_EQ(call.sent.reg_EAX, 0x0412u);          // AH 04h, AL 18
    EXPECT_EQ(call.sent.reg_ECX, 81u << 8 | 1u);    // CH the cylinder, CL sector 1
    EXPECT_EQ(call.sent.reg_EDX, 1u << 8);          // DH the head, DL drive A:
    EXPECT_EQ(call.sent.reg_Flags, 1u);

    // A read error, and a device that was never reached (128, not the 04h sent).
    scripted_answer = ScriptedAnswer{1, true, true, 0x1000};
    testing::internal::CaptureStderr();
    EXPECT_EQ(verify_track(0, 5, &code), 0);
    EXPECT_EQ(code, 0x10);
    scripted_answer = ScriptedAnswer{0, true, false, 0};
    EXPECT_EQ(verify_track(0, 6, &code), 0);
    EXPECT_EQ(code, 128);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "     Verifying side 0 of track 5, where error code = 16. \r"
                                                      "     Verifying side 0 of track 6, where error code = 128. \r");
}

TEST_F(DiskServiceTest, WriteSectorSendsTheSectorAndItsImage)
{
    std::uint8_t image[512];
    for (int i = 0; i < 512; ++i)
        image[i] = static_cast<std::uint8_t>(i * 7);
    scripted_answer = ScriptedAnswer{1, false, true, 0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_sector(19, image), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), write_line(19, 0));

    ASSERT_EQ(recorded_calls.size(), 1u);
    const RecordedCall& call = recorded_calls[0];
    EXPECT_EQ(call.control_code, 3u);
    EXPECT_EQ(call.sent.reg_EAX, 0u);
    EXPECT_EQ(call.sent.reg_ECX, 1u);
    EXPECT_EQ(call.sent.reg_EDX, 19u);
    EXPECT_EQ(call.sent.reg_EDI, 0u);
    EXPECT_EQ(call.sent.reg_ESI, 0u);
    EXPECT_EQ(call.sent.reg_Flags, 0u);
    ASSERT_EQ(call.ebx_buffer.size(), 512u);
    EXPECT_EQ(std::memcmp(call.ebx_buffer.data(), image, 512), 0);
}

TEST_F(DiskServiceTest, WriteSectorFailures)
{
    std::uint8_t image[512] = {};
    // Carry set by the service: reported in the line and in the result.
    scripted_answer = ScriptedAnswer{1, true, true, 0x0408};
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_sector(2, image), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), write_line(2, 4));

    // No device: the record comes back as passed, AH 0, which is no success.
    scripted_answer = ScriptedAnswer{0, false, false, 0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_sector(35, image), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), write_line(35, 128));
}

TEST_F(DiskServiceTest, WriteSectorNeverWrapsTheSectorNumber)
{
    std::uint8_t image[512] = {};
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_sector(256, image), 1);
    EXPECT_EQ(write_sector(65535, image), 1);
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(recorded_calls.size(), 2u);
    EXPECT_EQ(recorded_calls[0].sent.reg_EDX, 256u);
    EXPECT_EQ(recorded_calls[1].sent.reg_EDX, 65535u);

    // Beyond what the service takes: refused without a call, and shown.
    for (int sector : {65536, 70000, -1}) {
        recorded_calls.clear();
        testing::internal::CaptureStderr();
        EXPECT_EQ(write_sector(sector, image), 0);
        std::string line = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(recorded_calls.empty());
        EXPECT_EQ(line.rfind("     Writing sector " + std::to_string(sector) + ", where error code = ", 0), 0u);
        EXPECT_EQ(line.find("error code = 0."), std::string::npos) << line;
    }
}

} // namespace
