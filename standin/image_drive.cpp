// The image drive: an image file stands in for the diskette; lock, unlock,
// format track, verify and absolute write carried out on it.

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include "standin/device.h"
#include "standin/drive.h"
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

// The descriptor that holds the volume lock, from lock to unlock; -1 without
// it. An image that could not be opened for writing, or has no write
// permission bit, is a write-protected disk for the whole lock. While the lock
// holds, only this program writes the image, so it keeps the image's size
// itself rather than asking the system on every request.
int locked_image = -1;
bool locked_write_protected = false;
off_t locked_size = 0;

// ---------------------------------------------------------------------------
// The disk in the drive.

bool is_write_protection(int error)
{
    return error == EACCES || error == EPERM || error == EROFS || error == ETXTBSY;
}

bool fits_a_diskette(const struct stat& status)
{
    return S_ISREG(status.st_mode) && status.st_size <= LARGEST_DISKETTE_BYTES;
}

// Whether the folder that would hold `path` is there.
bool folder_exists(const char* path)
{
    const char* last_slash = std::strrchr(path, '/');
    if (last_slash == nullptr)
        return true; // the current folder
    char folder[4096];
    // "/image" lies in the root folder.
    std::size_t length = last_slash == path ? 1 : static_cast<std::size_t>(last_slash - path);
    if (length >= sizeof folder)
        return false;
    std::memcpy(folder, path, length);
    folder[length] = '\0';
    struct stat status {};
    return stat(folder, &status) == 0 && S_ISDIR(status.st_mode);
}

// Files of the kernel's own file systems look like regular files of size 0,
// but hold the kernel's values (a host name, another process's memory): no
// disk, whatever their names.
bool is_kernel_file_system(unsigned long type)
{
#if defined(__linux__)
    constexpr unsigned long CONFIGFS_MAGIC = 0x62656570;      // not in <linux/magic.h>
    constexpr unsigned long FUSECTL_SUPER_MAGIC = 0x65735543; // likewise
    constexpr unsigned long MQUEUE_MAGIC = 0x19800202;        // likewise
    constexpr unsigned long KERNEL_FILE_SYSTEMS[] = {
        PROC_SUPER_MAGIC, SYSFS_MAGIC, DEBUGFS_MAGIC, SECURITYFS_MAGIC, CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC,
        TRACEFS_MAGIC, CONFIGFS_MAGIC, BPF_FS_MAGIC, PSTOREFS_MAGIC, EFIVARFS_MAGIC, SELINUX_MAGIC, SMACK_MAGIC,
        BINFMTFS_MAGIC, NSFS_MAGIC, RDTGROUP_SUPER_MAGIC, FUSECTL_SUPER_MAGIC, MQUEUE_MAGIC, ANON_INODE_FS_MAGIC,
    };
    for (unsigned long kernel : KERNEL_FILE_SYSTEMS)
        if (type == kernel)
            return true;
#else
    (void)type;
#endif
    return false;
}

bool on_kernel_file_system(const char* path)
{
#if defined(__linux__)
    struct statfs file_system {};
    return statfs(path, &file_system) == 0 && is_kernel_file_system(static_cast<unsigned long>(file_system.f_type));
#else
    (void)path;
    return false;
#endif
}

bool opened_on_kernel_file_system(int descriptor)
{
#if defined(__linux__)
    struct statfs file_system {};
    return fstatfs(descriptor, &file_system) == 0
           && is_kernel_file_system(static_cast<unsigned long>(file_system.f_type));
#else
    (void)descriptor;
    return false;
#endif
}

// Standard output or error written into the image itself: the console is
// using the disk.
bool is_console(const struct stat& image)
{
    for (int stream : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat console {};
        if (fstat(stream, &console) == 0 && console.st_dev == image.st_dev && console.st_ino == image.st_ino)
            return true;
    }
    return false;
}

struct OpenedImage {
    DiskStatus status = STATUS_NOT_READY; // STATUS_SUCCESS when `descriptor` is usable
    int descriptor = -1;                  // -1 when no file is open
    bool owned = false;                   // closed by the service that opened it
    bool read_only = false;               // open for reading only: a write-protected disk
    off_t size = 0;                       // the image's size when it was opened
};

OpenedImage refused(DiskStatus status)
{
    OpenedImage image;
    image.status = status;
    return image;
}

// A read-only image is a disk with its write-protect tab open, even for a
// user whom the file system would let write.
bool has_write_permission(const struct stat& status)
{
    return (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

// The image the lock holds: trusted as it was locked, without looking its
// path up or asking the system about it again; the unlock sees whether the disk
// was taken out (the file removed) meanwhile.
OpenedImage held_image(bool writing)
{
    if (writing && locked_write_protected)
        return refused(STATUS_WRITE_PROTECTED);
    OpenedImage image;
    image.status = STATUS_SUCCESS;
    image.descriptor = locked_image;
    image.read_only = locked_write_protected;
    image.size = locked_size;
    return image;
}

// Looks at what is in the drive and opens it for a service. `create` makes a
// missing image in an existing folder (a new, blank disk); `writing` asks for
// a disk that may be written, else one that cannot be is opened read-only.
// Without a disk nothing is created or opened for writing.
OpenedImage open_image(bool create, bool writing)
{
    if (locked_image >= 0)
        return held_image(writing);
    const char* path = drive_a_path();
    struct stat status {};
    bool exists = stat(path, &status) == 0;
    if (exists && (!fits_a_diskette(status) || on_kernel_file_system(path)))
        return refused(STATUS_NOT_READY);
    if (!exists) {
        struct stat link {};
        // A dangling link, or a folder that is not there, is no disk either.
        if (errno != ENOENT || lstat(path, &link) == 0 || !folder_exists(path))
            return refused(STATUS_NOT_READY);
        if (!create)
            return refused(STATUS_SECTOR_NOT_FOUND); // a blank disk: nothing formatted yet
    }
    if (writing && exists && !has_write_permission(status))
        return refused(STATUS_WRITE_PROTECTED);

    // A new image is made only where none is, so that the one made is known.
    bool creating = !exists;
    int flags = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int descriptor = open(path, flags | (creating ? O_CREAT | O_EXCL : 0), 0666);
    if (descriptor < 0 && creating && errno == EEXIST) {
        creating = false; // made by another program a moment ago
        descriptor = open(path, flags);
    }
    bool read_only = false;
    if (descriptor < 0) {
        int error = errno;
        if (!writing && is_write_protection(error)) {
            descriptor = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
            read_only = true;
        }
        if (descriptor < 0)
            return refused(is_write_protection(error) ? STATUS_WRITE_PROTECTED : STATUS_NOT_READY);
    }
    descriptor = move_above_standard_streams(descriptor);
    if (descriptor < 0)
        return refused(STATUS_CONTROLLER_FAILURE);
    // What was opened may not be what was looked at a moment ago.
    DiskStatus opened = STATUS_SUCCESS;
    if (fstat(descriptor, &status) != 0 || !fits_a_diskette(status) || opened_on_kernel_file_system(descriptor))
        opened = STATUS_NOT_READY;
    else if (is_console(status))
        opened = STATUS_VOLUME_LOCKED;
    if (opened != STATUS_SUCCESS) {
        close(descriptor);
        return refused(opened);
    }
    // Whatever the umask, the disk just made is writable by its maker.
    constexpr mode_t OWNER_READ_WRITE = S_IRUSR | S_IWUSR;
    if (creating && (status.st_mode & OWNER_READ_WRITE) != OWNER_READ_WRITE)
        (void)fchmod(descriptor, (status.st_mode & 07777) | OWNER_READ_WRITE);

    OpenedImage image;
    image.status = STATUS_SUCCESS;
    image.descriptor = descriptor;
    image.owned = true;
    image.read_only = read_only;
    image.size = status.st_size;
    return image;
}

void close_image(const OpenedImage& image)
{
    if (image.owned && image.descriptor >= 0)
        close(image.descriptor);
}

// Opens the disk for a service: one that writes, or a verify, which only reads.
// It runs only while no other program holds the volume lock (a verify shares
// the disk with other readers); the probe lock goes again when the image is
// closed.
OpenedImage open_image_for_service(bool create, bool writing)
{
    OpenedImage image = open_image(create, writing);
    if (image.status != STATUS_SUCCESS || !image.owned)
        return image; // no disk, or the drive's own lock
    struct stat status {};
    if (flock(image.descriptor, (writing ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        image.status = errno == EWOULDBLOCK ? STATUS_VOLUME_LOCKED : STATUS_CONTROLLER_FAILURE;
    } else if (fstat(image.descriptor, &status) != 0) {
        image.status = STATUS_CONTROLLER_FAILURE;
    } else {
        image.size = status.st_size; // as the last lock holder left it
        return image;
    }
    close_image(image);
    image.descriptor = -1;
    return image;
}

// Keeps the held image's size after a format: the track's end when it was
// written in full, else what the system says was written of it.
void note_held_image_grown(DiskStatus written, off_t end)
{
    struct stat status {};
    if (written == STATUS_SUCCESS) {
        if (end > locked_size)
            locked_size = end;
    } else if (fstat(locked_image, &status) == 0) {
        locked_size = status.st_size;
    }
}

// Writes all of `length` bytes at `offset`, or reports the controller failure.
DiskStatus write_image(int descriptor, const void* bytes, std::size_t length, off_t offset)
{
    const auto* next = static_cast<const std::uint8_t*>(bytes);
    while (length > 0) {
        ssize_t written = pwrite(descriptor, next, length, offset);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return STATUS_CONTROLLER_FAILURE;
        next += written;
        length -= static_cast<std::size_t>(written);
        offset += written;
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// The requests.

DiskStatus format_track(int cylinder, int head)
{
    OpenedImage image = open_image_for_service(true, true);
    DiskStatus status = image.status;
    if (status == STATUS_SUCCESS) {
        off_t offset = static_cast<off_t>(logical_sector(cylinder, head, 1)) * static_cast<off_t>(SECTOR_SIZE);
        status = write_image(image.descriptor, FORMATTED_TRACK.data(), FORMATTED_TRACK.size(), offset);
        if (!image.owned)
            note_held_image_grown(status, offset + static_cast<off_t>(FORMATTED_TRACK.size()));
    }
    close_image(image);
    return status;
}

DiskStatus write_sectors(std::uint32_t first, std::uint32_t count, const std::uint8_t* bytes)
{
    OpenedImage image = open_image_for_service(false, true);
    DiskStatus status = image.status;
    if (status == STATUS_SUCCESS) {
        // Only sectors that a format has reached exist.
        off_t offset = static_cast<off_t>(first) * static_cast<off_t>(SECTOR_SIZE);
        off_t length = static_cast<off_t>(count) * static_cast<off_t>(SECTOR_SIZE);
        if (image.size < offset + length)
            status = STATUS_SECTOR_NOT_FOUND;
        else
            status = write_image(image.descriptor, bytes, static_cast<std::size_t>(length), offset);
    }
    close_image(image);
    return status;
}

// Reads the sectors back as they are on the disk now: where the image ends
// before them (a track never formatted, or a file shortened since), a sector
// is missing. Nothing read is kept.
DiskStatus verify_sectors(std::uint32_t first, std::uint32_t count)
{
    OpenedImage image = open_image_for_service(false, false);
    DiskStatus status = image.status;
    if (status == STATUS_SUCCESS) {
        std::uint8_t track[TRACK_BYTES];
        std::size_t length = static_cast<std::size_t>(count) * SECTOR_SIZE;
        long long offset = static_cast<long long>(first) * static_cast<long long>(SECTOR_SIZE);
        long long read_bytes = read_back(image.descriptor, offset, length, track, sizeof track);
        if (read_bytes < 0)
            status = STATUS_CONTROLLER_FAILURE;
        else if (static_cast<std::size_t>(read_bytes) < length)
            status = STATUS_SECTOR_NOT_FOUND;
    }
    close_image(image);
    return status;
}

// Any disk there is can be locked, a write-protected one too (read-only);
// one that the console is using, or another program's lock, is busy; a disk
// that is not there, or not usable, reads as not ready.
DiskStatus lock()
{
    if (locked_image >= 0)
        return STATUS_SUCCESS;
    OpenedImage image = open_image(true, false);
    if (image.status == STATUS_VOLUME_LOCKED)
        return STATUS_VOLUME_LOCKED;
    if (image.status != STATUS_SUCCESS)
        return STATUS_NOT_READY;
    if (flock(image.descriptor, LOCK_EX | LOCK_NB) != 0) {
        close_image(image);
        return STATUS_VOLUME_LOCKED;
    }
    struct stat status {};
    if (fstat(image.descriptor, &status) != 0) {
        close_image(image);
        return STATUS_CONTROLLER_FAILURE;
    }
    locked_image = image.descriptor;
    locked_write_protected = image.read_only || !has_write_permission(status);
    locked_size = status.st_size;
    return STATUS_SUCCESS;
}

// Without our lock there is nothing to unlock: the lock is not ours. A disk
// taken out while locked (the image removed) took the run's writes with it.
DiskStatus unlock()
{
    if (locked_image < 0)
        return STATUS_VOLUME_LOCKED;
    struct stat status {};
    bool still_there = fstat(locked_image, &status) == 0 && status.st_nlink > 0;
    release_image_drive();
    return still_there ? STATUS_SUCCESS : STATUS_NOT_READY;
}

} // namespace

DiskStatus serve_image_drive(const DriveRequest& request)
{
#if defined(SIGXFSZ)
    // A file-size limit shows as a failed write (a controller failure), never
    // as the end of the process.
    static bool file_size_signal_ignored = (std::signal(SIGXFSZ, SIG_IGN), true);
    (void)file_size_signal_ignored;
#endif
    switch (request.kind) {
    case REQUEST_LOCK: return lock();
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
    if (locked_image >= 0) {
        close(locked_image); // closing the last descriptor drops the flock
        locked_image = -1;
        locked_write_protected = false;
        locked_size = 0;
    }
}
