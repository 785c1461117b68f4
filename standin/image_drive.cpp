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

// The image that holds the volume lock, from lock to unlock: its handle is
// NO_IMAGE without it. An image opened read-only, or marked read-only, is a
// write-protected disk for the whole lock. While the lock holds, only this
// program writes the image, so it keeps the image's size itself rather than
// asking the host on every request.
ImageFile locked;

// ---------------------------------------------------------------------------
// What the disk in the drive is.

// The status of each finding, for the formats, writes and verifies. (The lock
// takes any disk there is, and reads every other refusal as no disk.)
DiskStatus status_of(ImageFinding finding)
{
    switch (finding) {
    case IMAGE_OPENED: return STATUS_SUCCESS;
    case IMAGE_ABSENT: return STATUS_SECTOR_NOT_FOUND; // a blank disk: nothing formatted yet
    case IMAGE_REFUSED: return STATUS_NOT_READY;
    case IMAGE_PROTECTED: return STATUS_WRITE_PROTECTED;
    case IMAGE_BUSY: return STATUS_VOLUME_LOCKED;
    case IMAGE_FAILED: break;
    }
    return STATUS_CONTROLLER_FAILURE;
}

// The sizes of the diskettes there are, 512-byte sectors each: 160, 180, 320,
// 360 and 720 KB, 1.2, 1.44, 1.68 and 2.88 MB, this volume, and this volume in
// 21-sector tracks as emulators take it.
constexpr long long DISKETTE_SIZES[] = {
    163'840, 184'320, 327'680, 368'640, 737'280, 1'228'800, 1'474'560, 1'720'320, 2'949'120,
    static_cast<long long>(VOLUME_BYTES), 21LL * TRACK_COUNT * static_cast<long long>(SECTOR_SIZE),
};
static_assert(DISKETTE_SIZES[8] == LARGEST_DISKETTE_BYTES);

// Whether an open file can be a diskette image: empty, the size of a
// diskette, or whole sectors whose first is one byte repeated (blank, or a
// format's fill) or a boot sector (55h AAh at its end). Anything else is a
// document named by mistake, never to be overwritten.
bool could_be_a_diskette(const ImageFile& file)
{
    if (file.size == 0)
        return true;
    for (long long size : DISKETTE_SIZES)
        if (file.size == size)
            return true;
    std::uint8_t first[SECTOR_SIZE];
    if (file.size % static_cast<long long>(SECTOR_SIZE) != 0
        || read_image_file(file.handle, 0, sizeof first, first, sizeof first) != static_cast<long long>(sizeof first))
        return false;
    if (first[SECTOR_SIZE - 2] == 0x55 && first[SECTOR_SIZE - 1] == 0xAA)
        return true;
    for (std::uint8_t byte : first)
        if (byte != first[0])
            return false;
    return true;
}

// The image the lock holds: trusted as it was locked, without looking its
// path up or asking the host about it again; the unlock sees whether the disk
// was taken out (the file removed) meanwhile.
ImageFile held_image(ImageUse use)
{
    ImageFile image = locked;
    if (use == USE_WRITE && locked.read_only)
        image.finding = IMAGE_PROTECTED;
    return image;
}

bool is_held(const ImageFile& image)
{
    return image.handle != NO_IMAGE && image.handle == locked.handle;
}

// Looks at what is in the drive and opens it for `use`; `create` makes a
// missing image in an ordinary folder (a new, blank disk). Notes why a disk is
// refused, protected or busy.
ImageFile open_image(ImageUse use, bool create)
{
    if (locked.handle != NO_IMAGE)
        return held_image(use);
    ImageFile image = open_image_file(drive_a_path(), use, create);
    if (image.finding == IMAGE_OPENED && !could_be_a_diskette(image)) {
        close_image_file(image.handle);
        image.handle = NO_IMAGE;
        image.finding = IMAGE_REFUSED;
        image.cause = CAUSE_NOT_AN_IMAGE;
    }
    if (image.cause != CAUSE_NONE)
        note_drive_cause(image.cause, image.size, image.system_error);
    return image;
}

void close_image(const ImageFile& image)
{
    if (image.finding == IMAGE_OPENED && !is_held(image))
        close_image_file(image.handle);
}

// Keeps the held image's size after a format: the track's end when it was
// written in full, else what the host says was written of it.
void note_held_image_grown(bool written, long long end)
{
    if (written) {
        if (end > locked.size)
            locked.size = end;
    } else if (long long size = image_file_size(locked.handle); size >= 0) {
        locked.size = size;
    }
}

long long byte_offset(std::uint32_t sector)
{
    return static_cast<long long>(sector) * static_cast<long long>(SECTOR_SIZE);
}

// ---------------------------------------------------------------------------
// The requests.

DiskStatus format_track(int cylinder, int head)
{
    ImageFile image = open_image(USE_WRITE, true);
    DiskStatus status = status_of(image.finding);
    if (status == STATUS_SUCCESS) {
        long long offset = byte_offset(static_cast<std::uint32_t>(logical_sector(cylinder, head, 1)));
        bool written = write_image_file(image.handle, FORMATTED_TRACK.data(), FORMATTED_TRACK.size(), offset) == 1;
        if (is_held(image))
            note_held_image_grown(written, offset + static_cast<long long>(FORMATTED_TRACK.size()));
        status = written ? STATUS_SUCCESS : STATUS_CONTROLLER_FAILURE;
    }
    close_image(image);
    return status;
}

DiskStatus write_sectors(std::uint32_t first, std::uint32_t count, const std::uint8_t* bytes)
{
    ImageFile image = open_image(USE_WRITE, false);
    DiskStatus status = status_of(image.finding);
    if (status == STATUS_SUCCESS) {
        // Only sectors that a format has reached exist.
        long long offset = byte_offset(first);
        std::size_t length = static_cast<std::size_t>(count) * SECTOR_SIZE;
        if (image.size < offset + static_cast<long long>(length))
            status = STATUS_SECTOR_NOT_FOUND;
        else if (write_image_file(image.handle, bytes, length, offset) != 1)
            status = STATUS_CONTROLLER_FAILURE;
    }
    close_image(image);
    return status;
}

// Reads the sectors back as they are on the disk now: where the image ends
// before them (a track never formatted, or a file shortened since), a sector
// is missing. Nothing read is kept.
DiskStatus verify_sectors(std::uint32_t first, std::uint32_t count)
{
    ImageFile image = open_image(USE_VERIFY, false);
    DiskStatus status = status_of(image.finding);
    if (status == STATUS_SUCCESS) {
        std::uint8_t track[TRACK_BYTES];
        std::size_t length = static_cast<std::size_t>(count) * SECTOR_SIZE;
        long long read_bytes = read_image_file(image.handle, byte_offset(first), length, track, sizeof track);
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
    if (locked.handle != NO_IMAGE)
        return STATUS_SUCCESS;
    ImageFile image = open_image(USE_LOCK, true);
    if (image.finding != IMAGE_OPENED)
        return image.finding == IMAGE_BUSY ? STATUS_VOLUME_LOCKED : STATUS_NOT_READY;
    locked = image;
    return STATUS_SUCCESS;
}

// Without our lock there is nothing to unlock: the lock is not ours. The
// unlock succeeds only once what was written is on the medium under the image
// and the image closed cleanly; a disk taken out while locked (the image
// removed) took the run's writes with it.
DiskStatus unlock()
{
    if (locked.handle == NO_IMAGE)
        return STATUS_VOLUME_LOCKED;
    bool still_there = image_file_present(locked.handle) == 1;
    bool flushed = locked.read_only || flush_image_file(locked.handle) == 1;
    bool closed = close_image_file(locked.handle) == 1;
    locked = ImageFile{};
    if (!still_there)
        return STATUS_NOT_READY;
    return flushed && closed ? STATUS_SUCCESS : STATUS_CONTROLLER_FAILURE;
}

} // namespace

DiskStatus serve_image_drive(const DriveRequest& request)
{
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
    if (locked.handle != NO_IMAGE) {
        close_image_file(locked.handle); // closing drops the lock
        locked = ImageFile{};
    }
}
