// The virtual drive: decodes the register record, routes it to the service it
// names, and carries that service out on the image file.
#include "virtualdrive/virtual_drive.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "diskio/device_call.h"
#include "volume/geometry.h"

namespace {

constexpr char DEFAULT_IMAGE_PATH[] = "drive_a.img";
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
// Turning a status into registers: one place for every service.

struct StatusEntry {
    DiskStatus status;
    CriticalError error; // what the absolute write reports in AL
};

constexpr StatusEntry STATUS_TABLE[] = {
    {STATUS_BAD_COMMAND, CRITICAL_UNKNOWN_COMMAND},
    {STATUS_WRITE_PROTECTED, CRITICAL_WRITE_PROTECTED},
    {STATUS_SECTOR_NOT_FOUND, CRITICAL_SECTOR_NOT_FOUND},
    {STATUS_CONTROLLER_FAILURE, CRITICAL_GENERAL_FAILURE},
    {STATUS_SEEK_FAILED, CRITICAL_SEEK_ERROR},
    {STATUS_NOT_READY, CRITICAL_NOT_READY},
    {STATUS_VOLUME_LOCKED, CRITICAL_NOT_READY},
};

CriticalError critical_error_for(DiskStatus status)
{
    for (const StatusEntry& entry : STATUS_TABLE)
        if (entry.status == status)
            return entry.error;
    return CRITICAL_GENERAL_FAILURE;
}

// BIOS services: AH = the status, carry set on a failure.
void finish_bios_service(DIOC_REGISTERS* record, DiskStatus status)
{
    set_ah(record, status);
    set_carry(record, status != STATUS_SUCCESS);
}

// The absolute write: AH 0 on success; on a failure AH the BIOS status and AL
// the MS-DOS critical-error code, carry set.
void finish_absolute_write(DIOC_REGISTERS* record, DiskStatus status)
{
    set_ah(record, status);
    if (status != STATUS_SUCCESS)
        set_al(record, critical_error_for(status));
    set_carry(record, status != STATUS_SUCCESS);
}

// MS-DOS IOCTL: AX = the error code and carry set on a failure.
void finish_ioctl(DIOC_REGISTERS* record, std::uint16_t error)
{
    if (error != 0)
        set_ax(record, error);
    set_carry(record, error != 0);
}

// ---------------------------------------------------------------------------
// The disk in the drive.

// Keeps the image off standard input, output and error, so that console output
// can never land in it when one of them is closed.
int move_above_standard_streams(int descriptor)
{
    if (descriptor > STDERR_FILENO)
        return descriptor;
    int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(descriptor);
    return moved;
}

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
    const char* path = virtual_drive_image_path();
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
// BIOS Int 13h.

// The list names every sector 1..18 of this cylinder and head once, 512 bytes each.
bool address_fields_match(const AddressFieldList& list, int cylinder, int head)
{
    bool seen[SECTORS_PER_TRACK + 1] = {};
    for (const AddressField& field : list.fields) {
        if (field.cylinder != (cylinder & 0xFF) || field.head != head || field.size_code != SIZE_CODE_512)
            return false;
        if (field.sector < 1 || field.sector > SECTORS_PER_TRACK || seen[field.sector])
            return false;
        seen[field.sector] = true;
    }
    return true;
}

DiskStatus format_track_service(const DIOC_REGISTERS& record)
{
    int sector_count = read_al(record);
    int drive = low_byte(record.reg_EDX);
    int head = high_byte(record.reg_EDX);
    int cylinder = high_byte(record.reg_ECX) | (low_byte(record.reg_ECX) & 0xC0) << 2;
    if (drive != BIOS_DRIVE_A || head >= HEAD_COUNT || sector_count != SECTORS_PER_TRACK)
        return STATUS_BAD_COMMAND;
    if (cylinder > LAST_REACHABLE_CYLINDER)
        return STATUS_SEEK_FAILED;
    const auto* fields = static_cast<const AddressFieldList*>(borrow_lent_buffer(record.reg_EBX, sizeof(AddressFieldList)));
    if (fields == nullptr || !address_fields_match(*fields, cylinder, head))
        return STATUS_BAD_COMMAND;

    OpenedImage image = open_image_for_writing(true);
    DiskStatus status = image.status;
    if (status == STATUS_SUCCESS) {
        off_t offset = static_cast<off_t>(logical_sector(cylinder, head, 1)) * static_cast<off_t>(SECTOR_SIZE);
        status = write_image(image.descriptor, FORMATTED_TRACK.data(), FORMATTED_TRACK.size(), offset);
    }
    close_image(image);
    return status;
}

void bios_disk_service(DIOC_REGISTERS* record)
{
    int function = read_ah(*record);
    DiskStatus status = STATUS_BAD_COMMAND;
    if (function == BIOS_RESET_DISK) // nothing to do for a file
        status = low_byte(record->reg_EDX) == BIOS_DRIVE_A ? STATUS_SUCCESS : STATUS_BAD_COMMAND;
    else if (function == BIOS_FORMAT_TRACK)
        status = format_track_service(*record);
    finish_bios_service(record, status);
}

// ---------------------------------------------------------------------------
// MS-DOS Int 26h.

DiskStatus absolute_write_service(const DIOC_REGISTERS& record)
{
    int drive = read_al(record);
    std::uint32_t count = low_word(record.reg_ECX);
    std::uint32_t first = low_word(record.reg_EDX);
    // A diskette has no packet form.
    if (drive != ABSOLUTE_WRITE_DRIVE_A || count == 0 || count == ABSOLUTE_WRITE_PACKET)
        return STATUS_BAD_COMMAND;
    std::size_t length = static_cast<std::size_t>(count) * SECTOR_SIZE;
    const void* buffer = borrow_lent_buffer(record.reg_EBX, length);
    if (buffer == nullptr)
        return STATUS_BAD_COMMAND;

    OpenedImage image = open_image_for_writing(false);
    DiskStatus status = image.status;
    if (status == STATUS_SUCCESS) {
        // Only sectors that a format has reached exist.
        struct stat file {};
        off_t offset = static_cast<off_t>(first) * static_cast<off_t>(SECTOR_SIZE);
        if (fstat(image.descriptor, &file) != 0)
            status = STATUS_CONTROLLER_FAILURE;
        else if (file.st_size < offset + static_cast<off_t>(length))
            status = STATUS_SECTOR_NOT_FOUND;
        else
            status = write_image(image.descriptor, buffer, length, offset);
    }
    close_image(image);
    return status;
}

// ---------------------------------------------------------------------------
// MS-DOS Int 21h, function 440Dh: lock and unlock of the logical volume.

std::uint16_t lock_service()
{
    if (locked_image >= 0)
        return 0;
    OpenedImage image = open_image(true, false);
    if (image.status != STATUS_SUCCESS)
        return DOS_NOT_READY;
    if (flock(image.descriptor, LOCK_EX | LOCK_NB) != 0) {
        close_image(image);
        return DOS_ACCESS_DENIED;
    }
    locked_image = image.descriptor;
    return 0;
}

std::uint16_t unlock_service()
{
    if (locked_image < 0)
        return DOS_ACCESS_DENIED;
    virtual_drive_release();
    return 0;
}

void dos_ioctl_service(DIOC_REGISTERS* record)
{
    std::uint16_t function = read_ax(*record);
    std::uint16_t request = low_word(record->reg_ECX);
    int drive = low_byte(record->reg_EBX);
    std::uint16_t error = DOS_INVALID_FUNCTION;
    if (function == DOS_BLOCK_DEVICE_IOCTL && drive != DOS_DRIVE_A)
        error = DOS_INVALID_DRIVE;
    else if (function == DOS_BLOCK_DEVICE_IOCTL && request == IOCTL_LOCK_LOGICAL_VOLUME)
        error = lock_service();
    else if (function == DOS_BLOCK_DEVICE_IOCTL && request == IOCTL_UNLOCK_LOGICAL_VOLUME)
        error = unlock_service();
    finish_ioctl(record, error);
}

} // namespace

const char* virtual_drive_image_path()
{
    const char* path = std::getenv("DRIVE_A_IMAGE");
    return path != nullptr && path[0] != '\0' ? path : DEFAULT_IMAGE_PATH;
}

int virtual_drive_control(std::uint32_t control_code, DIOC_REGISTERS* record)
{
#if defined(SIGXFSZ)
    // A file-size limit shows as a failed write (a controller failure), never
    // as the end of the process.
    static bool file_size_signal_ignored = (std::signal(SIGXFSZ, SIG_IGN), true);
    (void)file_size_signal_ignored;
#endif
    switch (control_code) {
    case VWIN32_DIOC_DOS_IOCTL: dos_ioctl_service(record); return 1;
    case VWIN32_DIOC_DOS_INT26: {
        DiskStatus status = absolute_write_service(*record);
        finish_absolute_write(record, status);
        return 1;
    }
    case VWIN32_DIOC_DOS_INT13: bios_disk_service(record); return 1;
    default: break;
    }
    // Not a service of this device: the call itself fails.
    finish_ioctl(record, DOS_INVALID_FUNCTION);
    return 0;
}

void virtual_drive_release()
{
    if (locked_image >= 0) {
        close(locked_image); // closing the last descriptor drops the flock
        locked_image = -1;
    }
}
