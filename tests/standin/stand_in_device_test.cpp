// The stand-in device before drives that record each request and answer as the
// test says: what a record decodes to, which records never reach a drive, how a
// drive's status comes back in the registers, and which drive is asked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "diskio/device_call.h"
#include "standin/device.h"
#include "standin/drive.h"
#include "standin/image_file.h"
#include "track_address_fields.h"

namespace {

std::vector<DriveRequest> served;
std::string drives_asked; // 'i' the image drive, 'f' the floppy drive, per request
DiskStatus answer = STATUS_SUCCESS;

} // namespace

DiskStatus serve_image_drive(const DriveRequest& request)
{
    served.push_back(request);
    drives_asked += 'i';
    return answer;
}

DiskStatus lock_image_drive(const ImageFile& found)
{
    if (found.handle != NO_IMAGE)
        close_image_file(found.handle);
    served.push_back(DriveRequest{REQUEST_LOCK, 0, 0, nullptr, 0, 0, nullptr});
    drives_asked += 'i';
    return answer;
}

void release_image_drive() {}

#if defined(__linux__)
DiskStatus serve_floppy_drive(const DriveRequest& request)
{
    served.push_back(request);
    drives_asked += 'f';
    return answer;
}

DiskStatus lock_floppy_drive(int found)
{
    close(found);
    served.push_back(DriveRequest{REQUEST_LOCK, 0, 0, nullptr, 0, 0, nullptr});
    drives_asked += 'f';
    return answer;
}

void release_floppy_drive() {}
#endif

namespace {

DIOC_REGISTERS format_record(int cylinder, int head, const AddressFieldList* list)
{
    DIOC_REGISTERS record{};
    set_ah(&record, BIOS_FORMAT_TRACK);
    set_al(&record, 18);
    record.reg_ECX = static_cast<std::uint32_t>(cylinder & 0xFF) << 8 | ((cylinder >> 2) & 0xC0);
    record.reg_EDX = static_cast<std::uint32_t>(head) << 8 | BIOS_DRIVE_A;
    record.reg_EBX = list != nullptr ? lend_buffer(list, sizeof *list) : 0;
    return record;
}

DIOC_REGISTERS verify_record(int cylinder, int head, int sector, int count)
{
    DIOC_REGISTERS record{};
    set_ah(&record, BIOS_VERIFY_SECTORS);
    set_al(&record, static_cast<std::uint8_t>(count));
    record.reg_ECX = static_cast<std::uint32_t>(cylinder & 0xFF) << 8 | ((cylinder >> 2) & 0xC0) | sector;
    record.reg_EDX = static_cast<std::uint32_t>(head) << 8 | BIOS_DRIVE_A;
    return record;
}

DIOC_REGISTERS write_record(std::uint32_t first, std::uint32_t count, const std::uint8_t* bytes, std::size_t length)
{
    DIOC_REGISTERS record{};
    set_al(&record, ABSOLUTE_WRITE_DRIVE_A);
    record.reg_ECX = count;
    record.reg_EDX = first;
    record.reg_EBX = lend_buffer(bytes, length);
    return record;
}

DIOC_REGISTERS ioctl_record(std::uint16_t function, std::uint32_t drive, std::uint16_t request)
{
    DIOC_REGISTERS record{};
    record.reg_EAX = function;
    record.reg_EBX = drive;
    record.reg_ECX = request;
    return record;
}

class StandInDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        served.clear();
        drives_asked.clear();
        answer = STATUS_SUCCESS;
        setenv("DRIVE_A_IMAGE", "/dev/null", 1); // a lock's look finds a device, and makes nothing
    }
    void TearDown() override
    {
        release_drive_a();
        unsetenv("DRIVE_A_IMAGE");
    }
};

TEST_F(StandInDeviceTest, EachServiceDecodesToOneRequest)
{
    AddressFieldList list = fields_for(82, 1);
    DIOC_REGISTERS record = format_record(82, 1, &list);
    EXPECT_EQ(disk_service_call(VWIN32_DIOC_DOS_INT13, &record), 1);
    std::uint8_t bytes[3 * 512];
    record = write_record(0xFFF0, 3, bytes, sizeof bytes);
    EXPECT_EQ(disk_service_call(VWIN32_DIOC_DOS_INT26, &record), 1);
    record = DIOC_REGISTERS{};
    EXPECT_EQ(disk_service_call(VWIN32_DIOC_DOS_INT13, &record), 1);
    record = verify_record(0x1FF, 1, 5, 14); // cylinder 511: 40h, never served
    EXPECT_EQ(disk_service_call(VWIN32_DIOC_DOS_INT13, &record), 1);
    EXPECT_EQ(read_ah(record), STATUS_SEEK_FAILED);
    record = verify_record(82, 1, 5, 14);
    EXPECT_EQ(disk_service_call(VWIN32_DIOC_DOS_INT13, &record), 1);
    for (std::uint16_t minor : {IOCTL_LOCK_LOGICAL_VOLUME, IOCTL_UNLOCK_LOGICAL_VOLUME}) {
        record = ioctl_record(DOS_BLOCK_DEVICE_IOCTL, DOS_DRIVE_A, minor);
        EXPECT_EQ(disk_service_call(VWIN32_DIOC_DOS_IOCTL, &record), 1);
    }

    ASSERT_EQ(served.size(), 6u);
    EXPECT_EQ(served[0].kind, REQUEST_FORMAT_TRACK);
    EXPECT_EQ(served[0].cylinder, 82);
    EXPECT_EQ(served[0].head, 1);
    EXPECT_EQ(served[0].fields, &list); // the caller's list itself, not a copy
    EXPECT_EQ(served[1].kind, REQUEST_WRITE_SECTORS);
    EXPECT_EQ(served[1].first_sector, 0xFFF0u);
    EXPECT_EQ(served[1].sector_count, 3u);
    EXPECT_EQ(served[1].bytes, bytes);
    EXPECT_EQ(served[2].kind, REQUEST_RESET);
    EXPECT_EQ(served[3].kind, REQUEST_VERIFY_SECTORS);
    EXPECT_EQ(served[3].cylinder, 82);
    EXPECT_EQ(served[3].head, 1);
    EXPECT_EQ(served[3].first_sector, (82u * 2 + 1) * 18 + 4); // sectors 5..18 of that track
    EXPECT_EQ(served[3].sector_count, 14u);
    EXPECT_EQ(served[4].kind, REQUEST_LOCK);
    EXPECT_EQ(served[5].kind, REQUEST_UNLOCK);
}

// Beside the refusals the image drive's tests show through a whole run.
TEST_F(StandInDeviceTest, MalformedRecordsNeverReachADrive)
{
    AddressFieldList good = fields_for(3, 0);
    std::uint8_t bytes[2 * 512] = {};
    // Each record is made just before its call: loans last for one call.
    struct Case {
        const char* what;
        std::uint32_t code;
        std::function<DIOC_REGISTERS()> record;
        std::uint16_t status; // AH, or AX for the IOCTL
    };
    const Case cases[] = {
        {"format on drive B:", VWIN32_DIOC_DOS_INT13,
         [&] { DIOC_REGISTERS r = format_record(3, 0, &good); r.reg_EDX |= 1; return r; }, 0x01},
        {"head 2", VWIN32_DIOC_DOS_INT13, [&] { return format_record(3, 2, &good); }, 0x01},
        {"17 sectors", VWIN32_DIOC_DOS_INT13,
         [&] { DIOC_REGISTERS r = format_record(3, 0, &good); set_al(&r, 17); return r; }, 0x01},
        {"a verify from sector 0", VWIN32_DIOC_DOS_INT13, [&] { return verify_record(3, 0, 0, 18); }, 0x01},
        {"a verify beyond the track", VWIN32_DIOC_DOS_INT13, [&] { return verify_record(3, 0, 2, 18); }, 0x01},
        {"a verify of no sectors", VWIN32_DIOC_DOS_INT13, [&] { return verify_record(3, 0, 1, 0); }, 0x01},
        {"write to drive B:", VWIN32_DIOC_DOS_INT26,
         [&] { DIOC_REGISTERS r = write_record(0, 1, bytes, 512); set_al(&r, 1); return r; }, 0x01},
        {"no sectors", VWIN32_DIOC_DOS_INT26, [&] { return write_record(0, 0, bytes, 512); }, 0x01},
        {"the packet form", VWIN32_DIOC_DOS_INT26, [&] { return write_record(0, 0xFFFF, bytes, 512); }, 0x01},
        {"a buffer short of the count", VWIN32_DIOC_DOS_INT26, [&] { return write_record(0, 3, bytes, sizeof bytes); },
         0x01},
        {"another IOCTL function", VWIN32_DIOC_DOS_IOCTL,
         [&] { return ioctl_record(0x440C, DOS_DRIVE_A, IOCTL_LOCK_LOGICAL_VOLUME); }, 0x01},
    };
    for (const Case& entry : cases) {
        served.clear();
        DIOC_REGISTERS record = entry.record();
        EXPECT_EQ(disk_service_call(entry.code, &record), 1) << entry.what;
        EXPECT_TRUE(served.empty()) << entry.what;
        EXPECT_TRUE(carry_set(record)) << entry.what;
        std::uint16_t status = entry.code == VWIN32_DIOC_DOS_IOCTL ? read_ax(record) : read_ah(record);
        EXPECT_EQ(status, entry.status) << entry.what;
    }
}

TEST_F(StandInDeviceTest, ADrivesStatusComesBackAsEachServiceLeavesIt)
{
    AddressFieldList list = fields_for(0, 0);
    std::uint8_t bytes[512] = {};
    struct Expected {
        DiskStatus status;
        std::uint16_t write_ax; // AH the status, AL the critical-error code
        std::uint16_t ioctl_ax; // the MS-DOS error code of a lock
    };
    const Expected table[] = {
        {STATUS_WRITE_PROTECTED, 0x0300, 0x05},    // a write-protect code of 0, with the carry set
        {STATUS_NOT_READY, 0x8002, 0x15},          // no disk
        {STATUS_VOLUME_LOCKED, 0xAA02, 0x05},      // another program holds it
        {STATUS_CONTROLLER_FAILURE, 0x200C, 0x1F}, // say, a flush that failed
    };
    for (const Expected& expected : table) {
        answer = expected.status;
        DIOC_REGISTERS record = format_record(0, 0, &list);
        record.reg_EAX |= 0xABCD0000u;
        disk_service_call(VWIN32_DIOC_DOS_INT13, &record);
        EXPECT_TRUE(carry_set(record));
        EXPECT_EQ(record.reg_EAX, 0xABCD0012u | expected.status << 8); // AL and the upper half kept

        record = write_record(1, 1, bytes, sizeof bytes);
        disk_service_call(VWIN32_DIOC_DOS_INT26, &record);
        EXPECT_TRUE(carry_set(record));
        EXPECT_EQ(read_ax(record), expected.write_ax);

        record = ioctl_record(DOS_BLOCK_DEVICE_IOCTL, DOS_DRIVE_A, IOCTL_LOCK_LOGICAL_VOLUME);
        disk_service_call(VWIN32_DIOC_DOS_IOCTL, &record);
        EXPECT_TRUE(carry_set(record));
        EXPECT_EQ(read_ax(record), expected.ioctl_ax);
        release_drive_a(); // a new run: the refused lock decided the last one
    }

    answer = STATUS_SUCCESS;
    DIOC_REGISTERS record = format_record(0, 0, &list);
    set_carry(&record, true);
    disk_service_call(VWIN32_DIOC_DOS_INT13, &record);
    EXPECT_FALSE(carry_set(record));
    EXPECT_EQ(read_ax(record), 0x0012u);
    record = write_record(1, 1, bytes, sizeof bytes);
    set_carry(&record, true);
    disk_service_call(VWIN32_DIOC_DOS_INT26, &record);
    EXPECT_FALSE(carry_set(record));
    EXPECT_EQ(read_ax(record), 0u);
    record = ioctl_record(DOS_BLOCK_DEVICE_IOCTL, DOS_DRIVE_A, IOCTL_UNLOCK_LOGICAL_VOLUME);
    disk_service_call(VWIN32_DIOC_DOS_IOCTL, &record);
    EXPECT_FALSE(carry_set(record));
    EXPECT_EQ(read_ax(record), DOS_BLOCK_DEVICE_IOCTL); // untouched
}

#if defined(__linux__)
TEST_F(StandInDeviceTest, TheFloppyDriversBlockDevicesAreTheFloppyDriveAndTheLockHolderGetsEverything)
{
    char folder[] = "/tmp/stand-in-device-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string floppy = std::string(folder) + "/fd0";
    std::string fixed_format = std::string(folder) + "/fd0u1440";
    std::string loop = std::string(folder) + "/loop0";
    bool made = mknod(floppy.c_str(), S_IFBLK | 0600, makedev(2, 0)) == 0
                && mknod(fixed_format.c_str(), S_IFBLK | 0600, makedev(2, 28)) == 0
                && mknod(loop.c_str(), S_IFBLK | 0600, makedev(7, 0)) == 0;
    auto ask = [](const std::string& path, std::uint16_t request) {
        setenv("DRIVE_A_IMAGE", path.c_str(), 1);
        DIOC_REGISTERS record = ioctl_record(DOS_BLOCK_DEVICE_IOCTL, DOS_DRIVE_A, request);
        disk_service_call(VWIN32_DIOC_DOS_IOCTL, &record);
    };
    if (made) {
        for (const std::string* path : {&floppy, &fixed_format, &loop})
            ask(*path, IOCTL_UNLOCK_LOGICAL_VOLUME);
        ask(std::string(folder) + "/a.img", IOCTL_UNLOCK_LOGICAL_VOLUME);
        EXPECT_EQ(drives_asked, "ffii");

        // Locked, the holder gets every request, whatever the path names by now.
        drives_asked.clear();
        ask(floppy, IOCTL_LOCK_LOGICAL_VOLUME);
        ask(loop, IOCTL_LOCK_LOGICAL_VOLUME);
        ask(loop, IOCTL_UNLOCK_LOGICAL_VOLUME);
        ask(loop, IOCTL_UNLOCK_LOGICAL_VOLUME);
        // A lock refused decides the run: no drive is asked again, whatever
        // the path names by now, and every request answers the lock's status.
        answer = STATUS_VOLUME_LOCKED;
        ask(floppy, IOCTL_LOCK_LOGICAL_VOLUME);
        answer = STATUS_SUCCESS;
        ask(loop, IOCTL_LOCK_LOGICAL_VOLUME);
        AddressFieldList list = fields_for(0, 0);
        DIOC_REGISTERS record = format_record(0, 0, &list);
        disk_service_call(VWIN32_DIOC_DOS_INT13, &record);
        EXPECT_EQ(read_ah(record), STATUS_VOLUME_LOCKED);
        EXPECT_EQ(drives_asked, "fffif");
    }
    for (const std::string* path : {&floppy, &fixed_format, &loop})
        unlink(path->c_str());
    rmdir(folder);
    if (!made)
        GTEST_SKIP() << "skipped: cannot make device nodes here (mknod needs CAP_MKNOD)";
}
#endif

} // namespace
