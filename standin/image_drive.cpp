// The image drive: an image file stands in for the diskette; lock, unlock,
// format track and absolute write carried out on it.

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The descriptor that holds the volume lock, from lock to unlock; -1 without it.
int locked_image = -1;

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

struct OpenedImage {
    DiskStatus status;  // STATUS_SUCCESS when `descriptor` is usable
    int descriptor;     // -1 when no file is open
    bool owned;         // closed by the service that opened it
};

// Looks at what is in the drive and opens it for a service. `create` makes a
// missing image in an existing folder (a new, blank disk); `writing` asks for
// a disk that may be written. Without a disk nothing is created or opened.
OpenedImage open_image(bool create, bool writing)
{
    const char* path = drive_a_path();
    struct stat status {};
    bool exists = stat(path, &status) == 0;
    if (exists && !fits_a_diskette(status))
        return {STATUS_NOT_READY, -1, false};
    if (!exists) {
        struct stat link {};
        // A dangling link, or a folder that is not there, is no disk either.
        if (errno != ENOENT || lstat(path, &link) == 0 || !folder_exists(path))
            return {STATUS_NOT_READY, -1, false};
        if (!create)
            return {STATUS_SECTOR_NOT_FOUND, -1, false}; // a blank disk: nothing formatted yet
    }
    // A read-only image is a disk with its write-protect tab open, even for a
    // user whom the file system would let write.
    if (writing && exists && (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return {STATUS_WRITE_PROTECTED, -1, false};

    if (locked_image >= 0)
        return {STATUS_SUCCESS, locked_image, false};

    int flags = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (create ? O_CREAT : 0);
    int descriptor = open(path, flags, 0666);
    if (descriptor < 0) {
        int error = errno;
        if (!writing && is_write_protection(error))
            descriptor = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (descriptor < 0) {
            if (is_write_protection(error))
                return {STATUS_WRITE_PROTECTED, -1, false};
            return {STATUS_NOT_READY, -1, false};
        }
    }
    descriptor = move_above_standard_streams(descriptor);
    if (descriptor < 0)
        return {STATUS_CONTROLLER_FAILURE, -1, false};
    // What was opened may not be what was looked at a moment ago.
    if (fstat(descriptor, &status) != 0 || !fits_a_diskette(status)) {
        close(descriptor);
        return {STATUS_NOT_READY, -1, false};
    }
    return {STATUS_SUCCESS, descriptor, true};
}

void close_image(const OpenedImage& image)
{
    if (image.owned && image.descriptor >= 0)
        close(image.descriptor);
}

// Opens the disk for a service that writes. It runs only while no other program
// holds the volume lock; the probe lock goes again when the image is closed.
OpenedImage open_image_for_writing(bool create)
{
    OpenedImage image = open_image(create, true);
    if (image.status != STATUS_SUCCESS || !image.owned)
        return image; // no disk, or the drive's own lock
    if (flock(image.descriptor, LOCK_EX | LOCK_NB) != 0) {
        image.status = errno == EWOULDBLOCK ? STATUS_VOLUME_LOCKED : STATUS_CONTROLLER_FAILURE;
        close_image(image);
        image.descriptor = -1;
    }
    return image;
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
    OpenedImage image = open_image_for_writing(true);
    DiskStatus status = image.status;
    if (status == STATUS_SUCCESS) {
        off_t offset = static_cast<off_t>(logical_sector(cylinder, head, 1)) * static_cast<off_t>(SECTOR_SIZE);
        status = write_image(image.descriptor, FORMATTED_TRACK.data(), FORMATTED_TRACK.size(), offset);
    }
    close_image(image);
    return status;
}

DiskStatus write_sectors(std::uint32_t first, std::uint32_t count, const std::uint8_t* bytes)
{
    OpenedImage image = open_image_for_writing(false);
    DiskStatus status = image.status;
    if (status == STATUS_SUCCESS) {
        // Only sectors that a format has reached exist.
        struct stat file {};
        off_t offset = static_cast<off_t>(first) * static_cast<off_t>(SECTOR_SIZE);
        off_t length = static_cast<off_t>(count) * static_cast<off_t>(SECTOR_SIZE);
        if (fstat(image.descriptor, &file) != 0)
            status = STATUS_CONTROLLER_FAILURE;
        else if (file.st_size < offset + length)
            status = STATUS_SECTOR_NOT_FOUND;
        else
            status = write_image(image.descriptor, bytes, static_cast<std::size_t>(length), offset);
    }
    close_image(image);
    return status;
}

// Any disk there is can be locked, a write-protected one too; a disk that is
// not there, or not usable, reads as not ready.
DiskStatus lock()
{
    if (locked_image >= 0)
        return STATUS_SUCCESS;
    OpenedImage image = open_image(true, false);
    if (image.status != STATUS_SUCCESS)
        return STATUS_NOT_READY;
    if (flock(image.descriptor, LOCK_EX | LOCK_NB) != 0) {
        close_image(image);
        return STATUS_VOLUME_LOCKED;
    }
    locked_image = image.descriptor;
    return STATUS_SUCCESS;
}

// Without our lock there is nothing to unlock: the lock is not ours.
DiskStatus unlock()
{
    if (locked_image < 0)
        return STATUS_VOLUME_LOCKED;
    release_image_drive();
    return STATUS_SUCCESS;
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
    case REQUEST_WRITE_SECTORS: return write_sectors(request.first_sector, request.sector_count, request.bytes);
    }
    return STATUS_BAD_COMMAND;
}

void release_image_drive()
{
    if (locked_image >= 0) {
        close(locked_image); // closing the last descriptor drops the flock
        locked_image = -1;
    }
}
