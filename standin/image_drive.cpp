// The image drive: an image file stands in for the diskette; lock, unlock,
// format track, verify and absolute write carried out on it, on every host.
// The file access under it is the host's (standin/image_file.h).

#include <array>

#include "diskio/drive_a.h"
#include "standin/drive.h"
#include "standin/image_file.h"
#include "volume/geometry.h"

namespace {

constexpr std::uint8_t FORMAT_FILL_BYTE = 0xF6;
constexpr std::size_t TRACK_BYTES = SECTORS_PER_TRACK * SECTOR_SIZE;

// What a format leaves on a track, built once with the program.
constexpr std::array<std::uint8_t, TRACK_BYTES> make_formatted_track()
{
    std::array<std::uint8_t, TRACK_BYTES> track{};
    track.fill(FORMAT_FILL_BYTE);
    return track;
}
constexpr std::array<std::uint8_t, TRACK_BYTES> FORMATTED_TRACK = make_formatted_track();

// Only the run's own lock sees the image: 21-sector tracks of 82 cylinders,
// the size at which QEMU's 1.44 MB drive type reaches all 82 cylinders, is
// the one size beyond the volume's that an image keeps.
constexpr long long VOLUME_FILE_BYTES = static_cast<long long>(VOLUME_BYTES);
constexpr long long EMULATOR_IMAGE_BYTES = 21LL * TRACK_COUNT * static_cast<long long>(SECTOR_SIZE);
static_assert(VOLUME_FILE_BYTES == 1'511'424 && EMULATOR_IMAGE_BYTES == 1'763'328);

// The image that holds the volume lock, from lock to unlock. A write-protected
// disk (an image that may not be written, or a new image that could not be
// made) stays so for the whole lock. While the lock holds, only this program
// writes the image, so it keeps the image's size itself.
struct HeldImage {
    bool locked = false;
    ImageHandle handle = NO_IMAGE; // NO_IMAGE for a new image that could not be made
    bool read_only = false;
    long long size = 0;
};
HeldImage held;

// ---------------------------------------------------------------------------
// What the disk in the drive is: every rule of the image drive, on every host,
// decided here from the facts the host's file part reports.

struct Verdict {
    DiskStatus status; // the lock's: STATUS_SUCCESS for a disk, else why there is none
    DriveCause cause;
    bool read_only;    // a write-protected disk
};

// Whether drive A:'s name is a floppy drive's in the device folder (fd0 and the like).
bool names_a_floppy_drive(const char* path)
{
    const char* name = path;
    for (const char* next = path; *next != '\0'; ++next)
        if (*next == '/')
            name = next + 1;
    return name[0] == 'f' && name[1] == 'd';
}

// Whether an open file's first sector is that of a diskette: one byte
// repeated (blank, or a format's fill) or a boot sector (55h AAh at its end).
bool first_sector_is_a_diskettes(ImageHandle handle)
{
    std::uint8_t first[SECTOR_SIZE];
    if (read_image_file(handle, 0, sizeof first, first, sizeof first) != static_cast<long long>(sizeof first))
        return false;
    if (first[SECTOR_SIZE - 2] == 0x55 && first[SECTOR_SIZE - 1] == 0xAA)
        return true;
    for (std::uint8_t byte : first)
        if (byte != first[0])
            return false;
    return true;
}

// What is not a plain file: no disk, for its own reason.
Verdict judge_other(const ImageFile& found)
{
    switch (found.kind) {
    case FILE_MISSING:
        // A new image that could not be made: a disk that will not be written,
        // or, for any other reason of the system's, none.
        return found.write_refused ? Verdict{STATUS_SUCCESS, CAUSE_CANNOT_CREATE, true}
                                   : Verdict{STATUS_NOT_READY, CAUSE_CANNOT_CREATE, false};
    case FILE_NO_FOLDER: return {STATUS_NOT_READY, CAUSE_NO_FOLDER, false};
    case FILE_NOT_A_FOLDER: return {STATUS_NOT_READY, CAUSE_NOT_A_FOLDER, false};
    case FILE_IN_DEVICE_FOLDER:
        return {STATUS_NOT_READY, names_a_floppy_drive(drive_a_path()) ? CAUSE_NO_FLOPPY_DRIVER : CAUSE_NO_DEVICE,
                false};
    case FILE_DANGLING_LINK: return {STATUS_NOT_READY, CAUSE_DANGLING_LINK, false};
    case FILE_FOREIGN_LINK: return {STATUS_NOT_READY, CAUSE_FOREIGN_LINK, false};
    case FILE_NAME_TOO_LONG: return {STATUS_NOT_READY, CAUSE_NAME_TOO_LONG, false};
    case FILE_FOLDER: return {STATUS_NOT_READY, CAUSE_FOLDER, false};
    case FILE_DRIVE: return {STATUS_NOT_READY, CAUSE_DRIVE, false};
    case FILE_BLOCK_DEVICE: return {STATUS_NOT_READY, CAUSE_NOT_FLOPPY_DRIVE, false};
    case FILE_FLOPPY_DRIVE: // the floppy drive's to serve, never this drive's
    case FILE_DEVICE: return {STATUS_NOT_READY, CAUSE_DEVICE, false};
    case FILE_KERNEL_FILE: return {STATUS_NOT_READY, CAUSE_KERNEL_FILE, false};
    case FILE_PLAIN:
    case FILE_UNREACHABLE: break;
    }
    return {STATUS_NOT_READY, CAUSE_CANNOT_OPEN, false};
}

// Whether what was found is a disk, and of what kind. Only a plain file that
// can be a diskette image is: empty (a new disk, or one never formatted), or
// whole sectors, no more than the largest diskette, whose first sector is a
// diskette's. Anything else is a document named by mistake, never to be
// overwritten. Standard output going into the file comes first: what the
// program itself has written there so far must not make it a document.
Verdict judge(const ImageFile& found)
{
    if (found.kind != FILE_PLAIN)
        return judge_other(found);
    if (found.console)
        return {STATUS_VOLUME_LOCKED, CAUSE_CONSOLE, false};
    if (found.held_elsewhere)
        return {STATUS_VOLUME_LOCKED, CAUSE_IN_USE, false};
    if (found.size > LARGEST_DISKETTE_BYTES)
        return {STATUS_NOT_READY, CAUSE_TOO_LARGE, false};
    if (found.size != 0
        && (found.size % static_cast<long long>(SECTOR_SIZE) != 0 || !first_sector_is_a_diskettes(found.handle)))
        return {STATUS_NOT_READY, CAUSE_NOT_AN_IMAGE, false};
    if (!found.writable)
        return {STATUS_SUCCESS, CAUSE_READ_ONLY, true};
    return {STATUS_SUCCESS, CAUSE_NONE, false};
}

// Judges what was found, notes why it is no disk or a protected one, and
// closes it unless it is a disk.
Verdict take(const ImageFile& found)
{
    Verdict verdict = judge(found);
    if (verdict.cause != CAUSE_NONE)
        note_drive_cause(verdict.cause, found.size, found.system_error);
    if (verdict.status != STATUS_SUCCESS && found.handle != NO_IMAGE)
        close_image_file(found.handle);
    return verdict;
}

long long byte_offset(std::uint32_t sector)
{
    return static_cast<long long>(sector) * static_cast<long long>(SECTOR_SIZE);
}

// ---------------------------------------------------------------------------
// One request on an image: the lock's, or, without a lock (only tests ask so),
// one looked up and opened for that request alone.

// A disk: its handle is NO_IMAGE where a new image could not be made, a blank
// disk that is write-protected (`read_only`).
struct Disk {
    DiskStatus status; // STATUS_SUCCESS when the disk may be used
    ImageHandle handle;
    bool read_only;
    long long size;
    bool own; // opened for this request, closed after it
};

Disk disk_for(bool create)
{
    if (held.locked)
        return {STATUS_SUCCESS, held.handle, held.read_only, held.size, false};
    ImageFile found = open_image_file(drive_a_path(), create);
    if (found.kind == FILE_MISSING && !create)
        return {STATUS_SECTOR_NOT_FOUND, NO_IMAGE, false, 0, false}; // a blank disk: nothing formatted yet
    Verdict verdict = take(found);
    if (verdict.status != STATUS_SUCCESS)
        return {verdict.status, NO_IMAGE, false, 0, false};
    return {STATUS_SUCCESS, found.handle, verdict.read_only, found.size, true};
}

void done_with(const Disk& disk)
{
    if (disk.own && disk.handle != NO_IMAGE)
        close_image_file(disk.handle);
}

// A write that the host failed: its reason said once.
DiskStatus failed_write(int system_error)
{
    note_drive_cause(CAUSE_CANNOT_WRITE, 0, system_error);
    return STATUS_CONTROLLER_FAILURE;
}

// ---------------------------------------------------------------------------
// The requests.

DiskStatus format_track(int cylinder, int head)
{
    Disk disk = disk_for(true);
    DiskStatus status = disk.status;
    if (status == STATUS_SUCCESS && disk.read_only)
        status = STATUS_WRITE_PROTECTED;
    if (status == STATUS_SUCCESS) {
        long long offset = byte_offset(static_cast<std::uint32_t>(logical_sector(cylinder, head, 1)));
        int system_error = 0;
        bool written = write_image_file(disk.handle, FORMATTED_TRACK.data(), FORMATTED_TRACK.size(), offset,
                                        &system_error) == 1;
        long long end = offset + static_cast<long long>(FORMATTED_TRACK.size());
        // The held image's size: the track's end when it was written in full,
        // else what the host says was written of it.
        if (held.locked && written && end > held.size)
            held.size = end;
        else if (held.locked && !written)
            if (long long size = image_file_size(held.handle); size >= 0)
                held.size = size;
        status = written ? STATUS_SUCCESS : failed_write(system_error);
    }
    done_with(disk);
    return status;
}

DiskStatus write_sectors(std::uint32_t first, std::uint32_t count, const std::uint8_t* bytes)
{
    Disk disk = disk_for(false);
    DiskStatus status = disk.status;
    if (status == STATUS_SUCCESS && disk.read_only)
        status = STATUS_WRITE_PROTECTED;
    if (status == STATUS_SUCCESS) {
        // Only sectors that a format has reached exist.
        long long offset = byte_offset(first);
        std::size_t length = static_cast<std::size_t>(count) * SECTOR_SIZE;
        int system_error = 0;
        if (disk.size < offset + static_cast<long long>(length))
            status = STATUS_SECTOR_NOT_FOUND;
        else if (write_image_file(disk.handle, bytes, length, offset, &system_error) != 1)
            status = failed_write(system_error);
    }
    done_with(disk);
    return status;
}

// Reads the sectors back as they are on the disk now: where the image ends
// before them (a track never formatted, or a file shortened since), a sector
// is missing. Nothing read is kept.
DiskStatus verify_sectors(std::uint32_t first, std::uint32_t count)
{
    Disk disk = disk_for(false);
    DiskStatus status = disk.status;
    if (status == STATUS_SUCCESS && disk.handle == NO_IMAGE)
        status = STATUS_SECTOR_NOT_FOUND; // blank: nothing formatted
    if (status == STATUS_SUCCESS) {
        std::uint8_t track[TRACK_BYTES];
        std::size_t length = static_cast<std::size_t>(count) * SECTOR_SIZE;
        long long read_bytes = read_image_file(disk.handle, byte_offset(first), length, track, sizeof track);
        if (read_bytes < 0)
            status = STATUS_CONTROLLER_FAILURE;
        else if (static_cast<std::size_t>(read_bytes) < length)
            status = STATUS_SECTOR_NOT_FOUND;
    }
    done_with(disk);
    return status;
}

// Without our lock there is nothing to unlock: the lock is not ours. The
// unlock succeeds only once the image is the volume (a larger one cut to its
// size), what was written is on the medium under it, and it closed cleanly; a
// disk taken out while locked (the image removed) took the run's writes with it.
DiskStatus unlock()
{
    if (!held.locked)
        return STATUS_VOLUME_LOCKED;
    HeldImage image = held;
    held = HeldImage{};
    if (image.handle == NO_IMAGE)
        return STATUS_SUCCESS;
    bool still_there = image_file_present(image.handle) == 1;
    bool cut = image.read_only || image.size <= VOLUME_FILE_BYTES || image.size == EMULATOR_IMAGE_BYTES
               || truncate_image_file(image.handle, VOLUME_FILE_BYTES) == 1;
    bool flushed = image.read_only || flush_image_file(image.handle) == 1;
    bool closed = close_image_file(image.handle) == 1;
    if (!still_there)
        return STATUS_NOT_READY;
    return cut && flushed && closed ? STATUS_SUCCESS : STATUS_CONTROLLER_FAILURE;
}

} // namespace

// Any disk there is can be locked, a write-protected one too; one that the
// console is using, or another program's lock, is busy; anything else is no
// disk, and that is the run's answer from then on (standin/device.cpp).
DiskStatus lock_image_drive(const ImageFile& found)
{
    if (held.locked) {
        if (found.handle != NO_IMAGE)
            close_image_file(found.handle);
        return STATUS_SUCCESS;
    }
    Verdict verdict = take(found);
    if (verdict.status != STATUS_SUCCESS)
        return verdict.status;
    held.locked = true;
    held.handle = found.handle;
    held.read_only = verdict.read_only;
    held.size = found.size;
    return STATUS_SUCCESS;
}

DiskStatus serve_image_drive(const DriveRequest& request)
{
    switch (request.kind) {
    case REQUEST_LOCK: return held.locked ? STATUS_SUCCESS : STATUS_NOT_READY; // a lock comes with what it found
    case REQUEST_UNLOCK: return unlock();
    case REQUEST_RESET: return STATUS_SUCCESS; // nothing to do for a file
    case REQUEST_FORMAT_TRACK: return format_track(request.cylinder, request.head);
    case REQUEST_VERIFY_SECTORS: return verify_sectors(request.first_sector, request.sector_count);
    case REQUEST_WRITE_SECTORS: return write_sectors(request.first_sector, request.sector_count, request.bytes);
    }
    return STATUS_BAD_COMMAND;
}

void release_image_drive()
{
    if (held.handle != NO_IMAGE)
        close_image_file(held.handle); // closing drops the lock
    held = HeldImage{};
}
