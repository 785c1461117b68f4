// The Linux floppy drive: a PC floppy drive behind the kernel's floppy driver,
// set to the 82-cylinder geometry, formatted, written and read back through its
// block device.
#if defined(__linux__)

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/fd.h>
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "diskio/drive_a.h"
#include "standin/device.h"
#include "standin/drive.h"
#include "standin/image_file.h"
#include "standin/posix_file.h"
#include "volume/geometry.h"

namespace {

// The volume in the driver's terms, with the driver's own values of its
// 1.44 MB format for the gaps, the data rate and the step rate.
constexpr floppy_struct VOLUME_GEOMETRY = {
    TOTAL_SECTORS,     // size
    SECTORS_PER_TRACK, // sect
    HEAD_COUNT,        // head
    CYLINDER_COUNT,    // track
    0,                 // stretch: single steps, sectors from 1
    0x1B,              // gap
    0x00,              // rate: 500 kb/s
    0xCF,              // step rate and head unload time
    0x6C,              // fmt_gap
    nullptr,           // name
};
static_assert(VOLUME_GEOMETRY.size == 2952 && VOLUME_GEOMETRY.track == 82);

// The minor number's bits 2-6 name a fixed format (/dev/fd0u1440 and the
// like); 0 is the node whose geometry a program sets (/dev/fd0).
bool has_fixed_format(dev_t device)
{
    return (minor(device) & 0x7C) != 0;
}

// The descriptor that holds the drive from lock to unlock; -1 without it.
int held_device = -1;
bool held_read_only = false;
// Once the descriptor has been readied for verifying, its reads reach the disk.
bool held_verifying = false;
// The driver's count of disk changes when the lock was taken, and whether the
// lock's disk has gone since (taken out, or changed for another): from then on
// nothing of this lock reaches the drive, whatever disk is in it now.
int held_generation = 0;
bool held_disk_gone = false;

DiskStatus status_for_error(int error)
{
    switch (error) {
    case EROFS: case EACCES: case EPERM: return STATUS_WRITE_PROTECTED;
    case ENXIO: case ENODEV: case ENOMEDIUM: case ENOENT: return STATUS_NOT_READY;
    case EBUSY: return STATUS_VOLUME_LOCKED;
    case ENOSPC: return STATUS_SECTOR_NOT_FOUND; // beyond the end of the disk
    default: return STATUS_CONTROLLER_FAILURE;
    }
}

// An I/O error of a format or a flush, read with what the driver learnt: a
// disk it found write-protected, or a disk that went away.
DiskStatus status_after_failure(int descriptor, int error)
{
    floppy_drive_struct state {};
    if (error == EIO && ioctl(descriptor, FDGETDRVSTAT, &state) == 0) {
        if ((state.flags & FD_VERIFY) != 0)
            return STATUS_NOT_READY;
        if ((state.flags & FD_DISK_WRITABLE) == 0)
            return STATUS_WRITE_PROTECTED;
    }
    return status_for_error(error);
}

// Asks the driver to look at the drive: whether the disk-change line goes off
// when the head steps (it stays on without a disk) and what the write-protect
// sensor says. The driver steps the head only from cylinder 0; from elsewhere
// the line stays untested and FD_DISK_NEWCHANGE stays set. Then a reset of the
// controller, which sends the head back to cylinder 0 (where `may_reset`: it
// takes a descriptor open for writing), makes the next look conclusive.
// Returns 0 with `state` filled, or -1 with errno set.
int poll_drive(int descriptor, bool may_reset, floppy_drive_struct* state)
{
    if (ioctl(descriptor, FDPOLLDRVSTAT, state) != 0)
        return -1;
    if ((state->flags & FD_DISK_NEWCHANGE) == 0 || !may_reset)
        return 0;
    if (ioctl(descriptor, FDRESET, FD_RESET_ALWAYS) != 0)
        return -1;
    return ioctl(descriptor, FDPOLLDRVSTAT, state);
}

// Why the drive could not be opened, in the words of the cause line.
void note_cause_of_error(int error)
{
    switch (error) {
    case EBUSY: note_drive_cause(CAUSE_IN_USE); break;
    case ENXIO: case ENODEV: note_drive_cause(CAUSE_NO_DEVICE); break;
    case ENOMEDIUM: note_drive_cause(CAUSE_NO_DISKETTE); break;
    default: note_drive_cause(CAUSE_CANNOT_OPEN, 0, error); break;
    }
}

struct OpenedDevice {
    DiskStatus status;
    int descriptor; // -1 unless the status is STATUS_SUCCESS
    bool read_only; // a write-protected disk, or no right to write to the drive
};

// Opens the drive that `found` names (a descriptor that reads and writes
// nothing, whose node was found to be the floppy driver's), alone, without
// the driver reading the disk (a blank disk has nothing to read): with
// O_NDELAY the open checks nothing, and a poll of the drive, which only seeks,
// tells whether a disk is in it and whether that disk is write-protected. A
// writable disk gets the volume's geometry. `lock` also takes a drive that may
// only be read.
OpenedDevice open_device(int found, bool lock)
{
    bool read_only = false;
    int descriptor = reopen_found(found, O_RDWR | O_EXCL | O_NDELAY);
    if (descriptor < 0 && lock && status_for_error(errno) == STATUS_WRITE_PROTECTED) {
        descriptor = reopen_found(found, O_RDONLY | O_EXCL | O_NDELAY);
        read_only = true;
    }
    if (descriptor < 0) {
        note_cause_of_error(errno);
        return {status_for_error(errno), -1, false};
    }
    descriptor = move_above_standard_streams(descriptor);
    if (descriptor < 0)
        return {STATUS_CONTROLLER_FAILURE, -1, false};

    DiskStatus status = STATUS_SUCCESS;
    struct stat device {};
    floppy_drive_struct state {};
    if (fstat(descriptor, &device) != 0 || !S_ISBLK(device.st_mode) || major(device.st_rdev) != FLOPPY_MAJOR)
        status = STATUS_NOT_READY; // what was opened is not what was looked at
    else if (ioctl(descriptor, FDGETDRVSTAT, &state) != 0)
        status = status_for_error(errno);
    else if (state.fd_ref != 1)
        status = STATUS_VOLUME_LOCKED; // another program has the drive open
    else if (poll_drive(descriptor, !read_only, &state) != 0)
        status = status_for_error(errno);
    else if ((state.flags & (FD_VERIFY | FD_DISK_NEWCHANGE)) != 0)
        status = STATUS_NOT_READY; // the disk-change line stayed on through a seek, or went untested: no disk
    else if ((state.flags & FD_DISK_WRITABLE) == 0)
        read_only = true;

    // FDFLUSH makes the driver take the new geometry (and the disk's size) at
    // once, without reading the disk.
    if (status == STATUS_SUCCESS && !read_only && !has_fixed_format(device.st_rdev)
        && (ioctl(descriptor, FDSETPRM, &VOLUME_GEOMETRY) != 0 || ioctl(descriptor, FDFLUSH) != 0))
        status = status_for_error(errno);
    if (status == STATUS_VOLUME_LOCKED)
        note_drive_cause(CAUSE_IN_USE);
    else if (status == STATUS_NOT_READY)
        note_drive_cause(CAUSE_NO_DISKETTE);
    else if (status == STATUS_SUCCESS && read_only)
        note_drive_cause(CAUSE_READ_ONLY);
    if (status != STATUS_SUCCESS) {
        close(descriptor);
        return {status, -1, false};
    }
    return {STATUS_SUCCESS, descriptor, read_only};
}

// Without a lock (only tests ask so): drive A:'s name looked at again, and
// the drive opened for this one request only when it is still the floppy
// driver's.
OpenedDevice open_named_device()
{
    ImageFile found = open_image_file(drive_a_path(), false);
    if (found.kind != FILE_FLOPPY_DRIVE) {
        if (found.handle != NO_IMAGE)
            close_image_file(found.handle);
        return {STATUS_NOT_READY, -1, false};
    }
    OpenedDevice device = open_device(static_cast<int>(found.handle), false);
    close(static_cast<int>(found.handle));
    return device;
}

// The node's geometry is the one open_device set (a fixed-format node keeps
// its own); the driver forgets it as soon as it sees the disk change.
bool geometry_is_ours(int descriptor)
{
    struct stat device {};
    return fstat(descriptor, &device) == 0 && !has_fixed_format(device.st_rdev);
}

// The driver writes the track's address fields itself: sectors 1..18 of 512
// bytes, as the device has checked the list names them, in its own order.
DiskStatus format_on(int descriptor, int cylinder, int head)
{
    if (cylinder >= CYLINDER_COUNT)
        return STATUS_SEEK_FAILED; // beyond the geometry set
    if (ioctl(descriptor, FDFMTBEG) != 0)
        return status_for_error(errno); // ENODEV: no disk; EROFS: write-protected
    format_descr track {};
    track.head = static_cast<unsigned>(head);
    track.track = static_cast<unsigned>(cylinder);
    DiskStatus status = STATUS_SUCCESS;
    if (ioctl(descriptor, FDFMTTRK, &track) != 0) {
        // EINVAL: a cylinder beyond the format of a fixed-format node, or our
        // geometry forgotten: the disk changed.
        if (errno == EINVAL)
            status = geometry_is_ours(descriptor) ? STATUS_NOT_READY : STATUS_SEEK_FAILED;
        else
            status = status_after_failure(descriptor, errno);
    }
    if (ioctl(descriptor, FDFMTEND) != 0 && status == STATUS_SUCCESS)
        status = status_after_failure(descriptor, errno);
    return status;
}

// The sectors go out one by one from an aligned copy: once the descriptor has
// been readied for verifying, its writes are direct, and a direct write takes
// a buffer aligned to the sector size, which the run's images need not be.
DiskStatus write_on(int descriptor, std::uint32_t first, std::uint32_t count, const std::uint8_t* bytes)
{
    if (first + count > static_cast<std::uint32_t>(TOTAL_SECTORS))
        return STATUS_SECTOR_NOT_FOUND;
    alignas(SECTOR_SIZE) std::uint8_t aligned[SECTOR_SIZE];
    for (std::uint32_t sector = first; sector < first + count; ++sector) {
        std::memcpy(aligned, bytes, SECTOR_SIZE);
        off_t offset = static_cast<off_t>(sector) * static_cast<off_t>(SECTOR_SIZE);
        std::size_t done = 0;
        while (done < SECTOR_SIZE) {
            ssize_t written = pwrite(descriptor, aligned + done, SECTOR_SIZE - done, offset + static_cast<off_t>(done));
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0)
                return status_after_failure(descriptor, errno);
            if (written == 0)
                return STATUS_SECTOR_NOT_FOUND;
            done += static_cast<std::size_t>(written);
        }
        bytes += SECTOR_SIZE;
    }
    return STATUS_SUCCESS;
}

// What was written reaches the disk, and the driver forgets what it cached.
DiskStatus flush(int descriptor)
{
    if (fsync(descriptor) != 0 || ioctl(descriptor, FDFLUSH) != 0)
        return status_after_failure(descriptor, errno);
    return STATUS_SUCCESS;
}

// A read that failed: the disk went away, or its data could not be read.
DiskStatus status_after_read_failure(int descriptor, int error)
{
    floppy_drive_struct state {};
    if (error != EIO)
        return status_for_error(error);
    if (ioctl(descriptor, FDGETDRVSTAT, &state) == 0 && (state.flags & FD_VERIFY) != 0)
        return STATUS_NOT_READY;
    return STATUS_READ_ERROR;
}

// Readies a descriptor for verifying: what was written goes to the disk, the
// driver drops its track buffer, and reads and writes bypass the page cache
// from now on, so that every read of a verify reaches the disk (and a write
// after it, a bad-cluster mark, is direct). Nothing was written to a
// disk held `read_only`, and the driver may refuse it the flush.
DiskStatus prepare_to_verify(int descriptor, bool read_only)
{
    DiskStatus status = read_only ? STATUS_SUCCESS : flush(descriptor);
    int flags = fcntl(descriptor, F_GETFL);
    if (status == STATUS_SUCCESS && (flags < 0 || fcntl(descriptor, F_SETFL, flags | O_DIRECT) != 0))
        status = STATUS_CONTROLLER_FAILURE;
    return status;
}

// Reads the sectors back from the disk and keeps nothing of them.
DiskStatus verify_on(int descriptor, int cylinder, std::uint32_t first, std::uint32_t count)
{
    if (cylinder >= CYLINDER_COUNT)
        return STATUS_SEEK_FAILED; // beyond the geometry set
    // Direct reads take a buffer aligned to the sector size.
    alignas(SECTOR_SIZE) std::uint8_t track[SECTORS_PER_TRACK * SECTOR_SIZE];
    std::size_t length = static_cast<std::size_t>(count) * SECTOR_SIZE;
    long long offset = static_cast<long long>(first) * static_cast<long long>(SECTOR_SIZE);
    long long read_bytes = read_back(descriptor, offset, length, track, sizeof track);
    if (read_bytes < 0)
        return status_after_read_failure(descriptor, errno);
    if (static_cast<std::size_t>(read_bytes) < length)
        return STATUS_SECTOR_NOT_FOUND; // beyond the end of the disk
    return STATUS_SUCCESS;
}

// Whether the driver's record of the drive shows a disk change since the
// lock, read without stepping the head: its count of changes moved (it counts
// one as it takes in a changed disk), or a change seen and not yet taken in
// (FD_DISK_CHANGED), or the change line seen on (FD_VERIFY).
bool driver_saw_change()
{
    floppy_drive_struct state {};
    if (ioctl(held_device, FDGETDRVSTAT, &state) != 0)
        return false;
    return state.generation != held_generation || (state.flags & (FD_DISK_CHANGED | FD_VERIFY)) != 0;
}

// A format, write or verify of the lock that failed, read for a change of
// disk. The disk was there and writable at the lock, so no disk, or a
// protected one, is another disk; so is any change the driver shows.
DiskStatus held_failure(DiskStatus status)
{
    if (status == STATUS_SUCCESS)
        return status;
    if (status == STATUS_NOT_READY || status == STATUS_WRITE_PROTECTED || driver_saw_change())
        held_disk_gone = true;
    return held_disk_gone ? STATUS_NOT_READY : status;
}

// A format of the lock. The driver looks at the change line as a format
// starts and fails it when the disk went away, so a track formatted was on the
// lock's disk. But the format's end (FDFMTEND) looks at the line again when
// 1.5 s have passed since the driver last did (after a pause of the program),
// and takes in a new disk with the geometry it finds there, counting a
// change; no later request fails. So the count is read after each format: a
// copy of the driver's record, which waits for nothing.
DiskStatus held_format(int cylinder, int head)
{
    DiskStatus status = held_failure(format_on(held_device, cylinder, head));
    if (status == STATUS_SUCCESS && driver_saw_change())
        held_disk_gone = true;
    return status;
}

// A writable disk's lock notes the driver's count of disk changes once the
// geometry is set (the flush that takes it in may count a change seen before).
DiskStatus lock(int found)
{
    if (held_device >= 0)
        return STATUS_SUCCESS;
    OpenedDevice device = open_device(found, true);
    if (device.status != STATUS_SUCCESS)
        return device.status;
    floppy_drive_struct state {};
    if (!device.read_only && ioctl(device.descriptor, FDGETDRVSTAT, &state) != 0) {
        int error = errno;
        close(device.descriptor);
        return status_for_error(error);
    }
    held_device = device.descriptor;
    held_read_only = device.read_only;
    held_generation = state.generation;
    held_disk_gone = false;
    return STATUS_SUCCESS;
}

// Only once the written sectors are on the disk the lock was taken on is the
// unlock a success; the drive is let go either way. After a change nothing is
// flushed: what is still cached belongs to a disk that is gone (and while the
// driver holds the change, it refuses to write it to another).
DiskStatus unlock()
{
    if (held_device < 0)
        return STATUS_VOLUME_LOCKED; // not ours to unlock
    DiskStatus status = STATUS_SUCCESS;
    if (held_disk_gone)
        status = STATUS_NOT_READY;
    else if (!held_read_only) {
        status = held_failure(flush(held_device));
        if (status == STATUS_SUCCESS && driver_saw_change())
            status = STATUS_NOT_READY; // the flush took in a change the driver had seen
    }
    release_floppy_drive();
    return status;
}

// Without our lock, a format or a write has the drive to itself for that one call.
DiskStatus format_track(int cylinder, int head)
{
    if (held_device >= 0)
        return held_read_only ? STATUS_WRITE_PROTECTED : held_format(cylinder, head);
    OpenedDevice device = open_named_device();
    if (device.status != STATUS_SUCCESS)
        return device.status;
    DiskStatus status = device.read_only ? STATUS_WRITE_PROTECTED : format_on(device.descriptor, cylinder, head);
    close(device.descriptor);
    return status;
}

DiskStatus verify_sectors(int cylinder, std::uint32_t first, std::uint32_t count)
{
    if (held_device >= 0) {
        DiskStatus status = STATUS_SUCCESS;
        if (!held_verifying) {
            status = prepare_to_verify(held_device, held_read_only);
            held_verifying = status == STATUS_SUCCESS;
        }
        if (status == STATUS_SUCCESS)
            status = verify_on(held_device, cylinder, first, count);
        // A disk held read-only is not watched for a change: nothing is written to it.
        return held_read_only ? status : held_failure(status);
    }
    OpenedDevice device = open_named_device();
    if (device.status != STATUS_SUCCESS)
        return device.status;
    DiskStatus status = prepare_to_verify(device.descriptor, device.read_only);
    if (status == STATUS_SUCCESS)
        status = verify_on(device.descriptor, cylinder, first, count);
    close(device.descriptor);
    return status;
}

DiskStatus write_sectors(std::uint32_t first, std::uint32_t count, const std::uint8_t* bytes)
{
    if (held_device >= 0)
        return held_read_only ? STATUS_WRITE_PROTECTED : held_failure(write_on(held_device, first, count, bytes));
    OpenedDevice device = open_named_device();
    if (device.status != STATUS_SUCCESS)
        return device.status;
    DiskStatus status = device.read_only ? STATUS_WRITE_PROTECTED : write_on(device.descriptor, first, count, bytes);
    if (status == STATUS_SUCCESS && fsync(device.descriptor) != 0)
        status = status_after_failure(device.descriptor, errno);
    close(device.descriptor);
    return status;
}

// The requests that reach the disk itself.
bool reaches_disk(RequestKind kind)
{
    return kind == REQUEST_FORMAT_TRACK || kind == REQUEST_WRITE_SECTORS || kind == REQUEST_VERIFY_SECTORS;
}

} // namespace

DiskStatus serve_floppy_drive(const DriveRequest& request)
{
    // Once the lock's disk has gone, nothing more of this lock reaches the
    // drive, whatever disk is in it now.
    if (held_disk_gone && reaches_disk(request.kind))
        return STATUS_NOT_READY;
    switch (request.kind) {
    case REQUEST_LOCK: return held_device >= 0 ? STATUS_SUCCESS : STATUS_NOT_READY; // a lock comes with its drive
    case REQUEST_UNLOCK: return unlock();
    case REQUEST_RESET: return STATUS_SUCCESS; // the driver resets the controller as it needs
    case REQUEST_FORMAT_TRACK: return format_track(request.cylinder, request.head);
    case REQUEST_VERIFY_SECTORS: return verify_sectors(request.cylinder, request.first_sector, request.sector_count);
    case REQUEST_WRITE_SECTORS: return write_sectors(request.first_sector, request.sector_count, request.bytes);
    }
    return STATUS_BAD_COMMAND;
}

DiskStatus lock_floppy_drive(int found)
{
    DiskStatus status = lock(found);
    close(found);
    return status;
}

void release_floppy_drive()
{
    if (held_device >= 0) {
        close(held_device);
        held_device = -1;
        held_read_only = false;
        held_verifying = false;
        held_disk_gone = false;
    }
}

#endif
