// The image drive as the program meets it: register records in through the
// stand-in device, registers out, and the image file it leaves.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "diskio/device_call.h"
#include "standin/device.h"
#include "track_address_fields.h"

namespace {

constexpr std::size_t TRACK = 18 * 512;

struct Answer {
    int result;
    DIOC_REGISTERS record;
};

Answer format(int cylinder, int head, const AddressFieldList& list)
{
    DIOC_REGISTERS record{};
    BufferReference fields = lend_buffer(&list, sizeof list);
    set_ah(&record, BIOS_FORMAT_TRACK);
    set_al(&record, 18);
    record.reg_ECX = static_cast<std::uint32_t>(cylinder & 0xFF) << 8 | ((cylinder >> 2) & 0xC0);
    record.reg_EDX = static_cast<std::uint32_t>(head) << 8 | BIOS_DRIVE_A;
    record.reg_EBX = fields;
    record.reg_ESI = fields;
    set_carry(&record, true);
    int result = disk_service_call(VWIN32_DIOC_DOS_INT13, &record);
    return {result, record};
}

Answer format(int cylinder, int head)
{
    return format(cylinder, head, fields_for(cylinder, head));
}

Answer write(int sector, const std::uint8_t* bytes)
{
    DIOC_REGISTERS record{};
    record.reg_EBX = lend_buffer(bytes, 512);
    record.reg_ECX = 1;
    record.reg_EDX = static_cast<std::uint32_t>(sector);
    int result = disk_service_call(VWIN32_DIOC_DOS_INT26, &record);
    return {result, record};
}

Answer volume_ioctl(std::uint16_t request)
{
    DIOC_REGISTERS record{};
    record.reg_EAX = DOS_BLOCK_DEVICE_IOCTL;
    record.reg_EBX = DOS_DRIVE_A;
    record.reg_ECX = request;
    int result = disk_service_call(VWIN32_DIOC_DOS_IOCTL, &record);
    return {result, record};
}

Answer lock() { return volume_ioctl(IOCTL_LOCK_LOGICAL_VOLUME); }
Answer unlock() { return volume_ioctl(IOCTL_UNLOCK_LOGICAL_VOLUME); }

std::vector<std::uint8_t> file_bytes(const std::string& path)
{
    std::vector<std::uint8_t> bytes;
    int descriptor = open(path.c_str(), O_RDONLY);
    if (descriptor < 0)
        return bytes;
    std::uint8_t block[4096];
    for (ssize_t count; (count = read(descriptor, block, sizeof block)) > 0;)
        bytes.insert(bytes.end(), block, block + count);
    close(descriptor);
    return bytes;
}

bool exists(const std::string& path)
{
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

class ImageDriveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/image-drive-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        image = folder + "/a.img";
        use(image);
    }
    void TearDown() override
    {
        release_drive_a();
        std::string command = "chmod -R u+w '" + folder + "' && rm -rf '" + folder + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    void use(const std::string& path) { setenv("DRIVE_A_IMAGE", path.c_str(), 1); }
    void make_file(const std::string& path, std::size_t size, std::uint8_t fill)
    {
        std::vector<std::uint8_t> bytes(size, fill);
        int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(descriptor, 0);
        ASSERT_EQ(::write(descriptor, bytes.data(), size), static_cast<ssize_t>(size));
        close(descriptor);
    }

    std::string folder;
    std::string image;
};

TEST_F(ImageDriveTest, FormatTrackFillsItsEighteenSectorsAndGrowsTheImage)
{
    mode_t previous_mask = umask(027);
    Answer answer = format(1, 1);
    umask(previous_mask);
    EXPECT_EQ(answer.result, 1);
    EXPECT_FALSE(carry_set(answer.record));
    EXPECT_EQ(read_ah(answer.record), 0u);
    EXPECT_EQ(read_al(answer.record), 18u);

    struct stat status {};
    ASSERT_EQ(stat(image.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    std::vector<std::uint8_t> bytes = file_bytes(image);
    ASSERT_EQ(bytes.size(), 4 * TRACK); // tracks 0..3, cylinder 1 head 1 being the fourth
    for (std::size_t i = 0; i < 3 * TRACK; ++i)
        ASSERT_EQ(bytes[i], 0) << i;
    for (std::size_t i = 3 * TRACK; i < 4 * TRACK; ++i)
        ASSERT_EQ(bytes[i], 0xF6) << i;

    // Formatting an earlier track fills it without touching the others.
    EXPECT_FALSE(carry_set(format(0, 0).record));
    bytes = file_bytes(image);
    EXPECT_EQ(bytes[0], 0xF6);
    EXPECT_EQ(bytes[TRACK - 1], 0xF6);
    EXPECT_EQ(bytes[TRACK], 0);
    EXPECT_EQ(bytes.size(), 4 * TRACK);
}

TEST_F(ImageDriveTest, CylindersBeyondEightyTwoCannotBeReached)
{
    EXPECT_FALSE(carry_set(format(82, 1).record));
    EXPECT_EQ(file_bytes(image).size(), 83 * 2 * TRACK);

    Answer answer = format(83, 0);
    EXPECT_EQ(answer.result, 1); // the request reached the device
    EXPECT_TRUE(carry_set(answer.record));
    EXPECT_EQ(read_ah(answer.record), 0x40u);
    answer = format(300, 0); // cylinder bits 8 and 9 travel in CL
    EXPECT_TRUE(carry_set(answer.record));
    EXPECT_EQ(read_ah(answer.record), 0x40u);
    EXPECT_EQ(file_bytes(image).size(), 83 * 2 * TRACK);
}

TEST_F(ImageDriveTest, AWrongAddressFieldListIsRefused)
{
    AddressFieldList wrong_cylinder = fields_for(4, 0);
    AddressFieldList wrong_head = fields_for(5, 1);
    AddressFieldList wrong_size = fields_for(5, 0);
    wrong_size.fields[3].size_code = 3;
    AddressFieldList repeated_sector = fields_for(5, 0);
    repeated_sector.fields[7].sector = 1;
    for (const AddressFieldList* list : {&wrong_cylinder, &wrong_head, &wrong_size, &repeated_sector}) {
        Answer answer = format(5, 0, *list);
        EXPECT_TRUE(carry_set(answer.record));
        EXPECT_EQ(read_ah(answer.record), 0x01u);
    }
    // A list that is not lent at all.
    DIOC_REGISTERS record{};
    record.reg_EAX = 0x0512;
    record.reg_EBX = 0x12345678;
    EXPECT_EQ(disk_service_call(VWIN32_DIOC_DOS_INT13, &record), 1);
    EXPECT_EQ(read_ah(record), 0x01u);
    EXPECT_FALSE(exists(image));

    // Sectors in another order still describe the whole track.
    AddressFieldList interleaved = fields_for(5, 0);
    std::swap(interleaved.fields[0].sector, interleaved.fields[1].sector);
    EXPECT_FALSE(carry_set(format(5, 0, interleaved).record));
}

TEST_F(ImageDriveTest, AbsoluteWriteReachesOnlyFormattedSectors)
{
    std::uint8_t sector[512];
    for (int i = 0; i < 512; ++i)
        sector[i] = static_cast<std::uint8_t>(i);

    Answer answer = write(0, sector); // nothing formatted: the image is not even there
    EXPECT_EQ(answer.result, 1);
    EXPECT_TRUE(carry_set(answer.record));
    EXPECT_EQ(read_ah(answer.record), 0x04u);
    EXPECT_EQ(read_al(answer.record), 0x08u);
    EXPECT_FALSE(exists(image));

    format(0, 0);
    format(0, 1);
    answer = write(19, sector);
    EXPECT_FALSE(carry_set(answer.record));
    EXPECT_EQ(read_ax(answer.record), 0u);
    answer = write(36, sector); // cylinder 1 is not formatted
    EXPECT_TRUE(carry_set(answer.record));
    EXPECT_EQ(read_ah(answer.record), 0x04u);

    std::vector<std::uint8_t> bytes = file_bytes(image);
    ASSERT_EQ(bytes.size(), 2 * TRACK);
    EXPECT_EQ(std::memcmp(bytes.data() + 19 * 512, sector, 512), 0);
    EXPECT_EQ(bytes[18 * 512], 0xF6);
    EXPECT_EQ(bytes[20 * 512], 0xF6);
}

TEST_F(ImageDriveTest, AReadOnlyImageIsAWriteProtectedDisk)
{
    make_file(image, 2 * TRACK, 0x5A);
    ASSERT_EQ(chmod(image.c_str(), 0444), 0);
    std::uint8_t sector[512] = {};

    Answer answer = format(0, 0);
    EXPECT_TRUE(carry_set(answer.record));
    EXPECT_EQ(read_ah(answer.record), 0x03u);
    answer = write(1, sector);
    EXPECT_TRUE(carry_set(answer.record));
    EXPECT_EQ(read_ah(answer.record), 0x03u);
    EXPECT_EQ(read_al(answer.record), 0x00u);
    // Locked or not, it stays protected.
    EXPECT_FALSE(carry_set(lock().record));
    EXPECT_EQ(read_ah(format(0, 1).record), 0x03u);
    EXPECT_FALSE(carry_set(unlock().record));

    EXPECT_EQ(file_bytes(image), std::vector<std::uint8_t>(2 * TRACK, 0x5A));
}

TEST_F(ImageDriveTest, NoDiskInTheDrive)
{
    std::string oversized = folder + "/hard-disk.img";
    make_file(oversized, 2'949'121, 0x11);
    std::string exactly_largest = folder + "/largest.img";
    make_file(exactly_largest, 2'949'120, 0x22);
    std::string link = folder + "/dangling";
    ASSERT_EQ(symlink((folder + "/elsewhere/x.img").c_str(), link.c_str()), 0);
    std::uint8_t sector[512] = {};

    for (const std::string& path :
         {folder + "/missing/a.img", folder, std::string("/dev/null"), oversized, link}) {
        use(path);
        Answer answer = format(0, 0);
        EXPECT_TRUE(carry_set(answer.record)) << path;
        EXPECT_EQ(read_ah(answer.record), 0x80u) << path;
        answer = write(0, sector);
        EXPECT_EQ(read_ah(answer.record), 0x80u) << path;
        EXPECT_EQ(read_al(answer.record), 0x02u) << path;
        answer = lock();
        EXPECT_TRUE(carry_set(answer.record)) << path;
        EXPECT_EQ(read_ax(answer.record), 0x15u) << path;
        release_drive_a(); // the refused lock decided that run
    }
    EXPECT_FALSE(exists(folder + "/missing"));
    EXPECT_FALSE(exists(folder + "/elsewhere"));
    EXPECT_EQ(file_bytes(oversized), std::vector<std::uint8_t>(2'949'121, 0x11));

    // A 2.88 MB image is still a diskette.
    use(exactly_largest);
    EXPECT_FALSE(carry_set(format(0, 0).record));
}

TEST_F(ImageDriveTest, TheLockIsHeldFromLockToUnlock)
{
    Answer answer = lock();
    EXPECT_EQ(answer.result, 1);
    EXPECT_FALSE(carry_set(answer.record));
    EXPECT_TRUE(exists(image));

    // Another program cannot take the volume while it is locked.
    int other = open(image.c_str(), O_RDWR);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(carry_set(format(0, 0).record)); // the lock holder formats

    EXPECT_FALSE(carry_set(unlock().record));
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);

    answer = unlock(); // nothing left to unlock
    EXPECT_TRUE(carry_set(answer.record));
    EXPECT_NE(read_ax(answer.record), 0u);
}

TEST_F(ImageDriveTest, TheLockHolderTrustsItsImageAndTheUnlockSeesADiskTakenOut)
{
    std::uint8_t sector[512];
    std::memset(sector, 0x3C, sizeof sector);
    EXPECT_FALSE(carry_set(lock().record));
    // The path is not looked at again: the locked image is the disk.
    std::string moved = folder + "/moved.img";
    ASSERT_EQ(rename(image.c_str(), moved.c_str()), 0);
    EXPECT_FALSE(carry_set(format(0, 0).record));
    EXPECT_FALSE(carry_set(write(1, sector).record));
    EXPECT_FALSE(exists(image));
    std::vector<std::uint8_t> bytes = file_bytes(moved);
    ASSERT_EQ(bytes.size(), TRACK);
    EXPECT_EQ(bytes[512], 0x3C);

    // Removed, the disk took the writes with it: nothing is made in its place,
    // and the unlock says the disk is gone.
    ASSERT_EQ(unlink(moved.c_str()), 0);
    format(0, 1);
    write(2, sector);
    EXPECT_FALSE(exists(image));
    Answer answer = unlock();
    EXPECT_TRUE(carry_set(answer.record));
    EXPECT_EQ(read_ax(answer.record), 0x15u);
    EXPECT_TRUE(carry_set(unlock().record)); // and the lock is gone
}

TEST_F(ImageDriveTest, AVolumeLockedByAnotherProgramIsRefused)
{
    make_file(image, 2 * TRACK, 0x5A);
    int other = open(image.c_str(), O_RDWR);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX), 0);
    std::uint8_t sector[512] = {};

    Answer answer = lock();
    EXPECT_EQ(answer.result, 1);
    EXPECT_TRUE(carry_set(answer.record));
    EXPECT_EQ(read_ax(answer.record), 5u);
    answer = format(0, 0);
    EXPECT_TRUE(carry_set(answer.record));
    EXPECT_NE(read_ah(answer.record), 0u);
    answer = write(0, sector);
    EXPECT_TRUE(carry_set(answer.record));
    EXPECT_NE(read_ah(answer.record), 0u);
    EXPECT_TRUE(carry_set(unlock().record));
    EXPECT_EQ(file_bytes(image), std::vector<std::uint8_t>(2 * TRACK, 0x5A));
    close(other);

    // Free again, the image stays refused for the rest of the run: the cause
    // line's promise holds.
    EXPECT_EQ(read_ah(format(0, 0).record), 0xAAu);
    EXPECT_EQ(read_ah(write(0, sector).record), 0xAAu);
    EXPECT_EQ(read_ax(lock().record), 5u);
    EXPECT_EQ(file_bytes(image), std::vector<std::uint8_t>(2 * TRACK, 0x5A));
    release_drive_a();

    // A record lock, as QEMU takes on its images, is another program's lock too.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int descriptor = open(image.c_str(), O_RDWR);
        struct flock record {};
        record.l_type = F_RDLCK;
        record.l_whence = SEEK_SET;
        record.l_start = 100;
        record.l_len = 1;
        char held = descriptor >= 0 && fcntl(descriptor, F_SETLK, &record) == 0 ? 'y' : 'n';
        (void)!::write(ready[1], &held, 1);
        pause();
        _exit(0);
    }
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    EXPECT_EQ(held, 'y');
    EXPECT_EQ(read_ax(lock().record), 5u);
    EXPECT_EQ(read_ah(format(0, 0).record), 0xAAu);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(file_bytes(image), std::vector<std::uint8_t>(2 * TRACK, 0x5A));
}

TEST_F(ImageDriveTest, OnlyADiskettesImageIsTakenAndTheVolumeIsWhatItLeaves)
{
    // A text of a 360 KB diskette's size, and 4 GiB that a 32-bit size reads as empty.
    std::string text = folder + "/notes.txt";
    std::vector<std::uint8_t> notes;
    for (int line = 0; notes.size() < 368'640; ++line)
        for (char character : "line " + std::to_string(line) + " of the notes\n")
            notes.push_back(static_cast<std::uint8_t>(character));
    notes.resize(368'640);
    int descriptor = open(text.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(::write(descriptor, notes.data(), notes.size()), static_cast<ssize_t>(notes.size()));
    close(descriptor);
    std::string huge = folder + "/huge.img";
    ASSERT_EQ(truncate((make_file(huge, 0, 0), huge).c_str(), 4LL << 30), 0);
    for (const std::string* path : {&text, &huge}) {
        use(*path);
        EXPECT_EQ(read_ax(lock().record), 0x15u) << *path;
        EXPECT_EQ(read_ah(format(0, 0).record), 0x80u) << *path;
        release_drive_a();
    }
    EXPECT_EQ(file_bytes(text), notes);
    struct stat status {};
    ASSERT_EQ(stat(huge.c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 4LL << 30);
    EXPECT_EQ(status.st_blocks, 0);

    // A larger image is cut to the volume at the unlock; 82 tracks of 21
    // sectors keep their size, for the emulators that read it so.
    for (long long size : {2'949'120LL, 1'763'328LL}) {
        use(image);
        make_file(image, static_cast<std::size_t>(size), 0xF6);
        EXPECT_FALSE(carry_set(lock().record));
        EXPECT_FALSE(carry_set(format(0, 0).record));
        EXPECT_FALSE(carry_set(unlock().record));
        ASSERT_EQ(stat(image.c_str(), &status), 0);
        EXPECT_EQ(status.st_size, size == 1'763'328LL ? size : 1'511'424LL);
        release_drive_a();
    }
}

TEST_F(ImageDriveTest, AHostWriteFailureIsAControllerFailure)
{
    rlimit previous {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit small = previous;
    small.rlim_cur = 2 * TRACK + 1000; // the third track fits only in part
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Answer first = format(0, 0);
    Answer second = format(0, 1);
    Answer third = format(1, 0);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &previous), 0);

    EXPECT_FALSE(carry_set(first.record));
    EXPECT_FALSE(carry_set(second.record));
    EXPECT_TRUE(carry_set(third.record));
    EXPECT_EQ(read_ah(third.record), 0x20u);
}

TEST_F(ImageDriveTest, RequestsTheDriveDoesNotServe)
{
    DIOC_REGISTERS record{};
    EXPECT_EQ(disk_service_call(2, &record), 0);
    EXPECT_TRUE(carry_set(record));

    Answer answer = volume_ioctl(0x0840); // another minor code
    EXPECT_TRUE(carry_set(answer.record));
    EXPECT_EQ(read_ax(answer.record), 1u);
    record = DIOC_REGISTERS{};
    record.reg_EAX = DOS_BLOCK_DEVICE_IOCTL;
    record.reg_EBX = 2; // drive B:
    record.reg_ECX = IOCTL_LOCK_LOGICAL_VOLUME;
    disk_service_call(VWIN32_DIOC_DOS_IOCTL, &record);
    EXPECT_EQ(read_ax(record), 0x0Fu);

    record = DIOC_REGISTERS{};
    record.reg_EAX = 0x0312; // BIOS write: not served
    disk_service_call(VWIN32_DIOC_DOS_INT13, &record);
    EXPECT_EQ(read_ah(record), 0x01u);
    EXPECT_TRUE(carry_set(record));
    EXPECT_FALSE(exists(image));
}

#if defined(__linux__)
// Not the image drive: the floppy drive, on a host whose kernel has no floppy
// driver, where opening the drive's block device answers ENXIO.
TEST_F(ImageDriveTest, AFloppyDriveTheKernelDoesNotHaveIsAnEmptyDrive)
{
    std::string node = folder + "/fd0";
    if (mknod(node.c_str(), S_IFBLK | 0600, makedev(2, 0)) != 0)
        GTEST_SKIP() << "skipped: cannot make a device node here (mknod needs CAP_MKNOD)";
    int probe = open(node.c_str(), O_RDONLY | O_NONBLOCK);
    if (probe >= 0 || errno != ENXIO) {
        if (probe >= 0)
            close(probe);
        GTEST_SKIP() << "skipped: this host has a floppy driver, or device nodes cannot be opened here";
    }
    use(node);
    std::uint8_t sector[512] = {};
    Answer answer = lock();
    EXPECT_TRUE(carry_set(answer.record));
    EXPECT_EQ(read_ax(answer.record), 0x15u);
    answer = format(0, 0);
    EXPECT_EQ(read_ah(answer.record), 0x80u);
    answer = write(0, sector);
    EXPECT_EQ(read_ax(answer.record), 0x8002u);
    EXPECT_TRUE(carry_set(unlock().record));
}
#endif

} // namespace
