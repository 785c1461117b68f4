// The device call on hosts without VWIN32: decodes the register record into a
// request, checks it, hands it to the drive in the slot, and turns the drive's
// status into the registers the service would leave.
#include "standin/device.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/major.h>
#include <sys/sysmacros.h>
#endif

#include "diskio/device_call.h"
#include "standin/drive.h"
#include "volume/geometry.h"

namespace {

constexpr char DEFAULT_IMAGE_PATH[] = "drive_a.img";

// The drive named on the command line; nullptr when none was.
const char* named_drive_a = nullptr;

// ---------------------------------------------------------------------------
// Decoding and checking.

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

// BIOS Int 13h. Returns STATUS_SUCCESS with `request` filled, or the status
// that refuses the record.
DiskStatus decode_bios_request(const DIOC_REGISTERS& record, DriveRequest* request)
{
    int drive = low_byte(record.reg_EDX);
    std::uint8_t function = read_ah(record);
    if (function == BIOS_RESET_DISK) {
        request->kind = REQUEST_RESET;
        return drive == BIOS_DRIVE_A ? STATUS_SUCCESS : STATUS_BAD_COMMAND;
    }
    if (function != BIOS_FORMAT_TRACK && function != BIOS_VERIFY_SECTORS)
        return STATUS_BAD_COMMAND;
    bool verify = function == BIOS_VERIFY_SECTORS;
    int head = high_byte(record.reg_EDX);
    int cylinder = high_byte(record.reg_ECX) | (low_byte(record.reg_ECX) & 0xC0) << 2;
    // A format takes the whole track; a verify sectors r .. r + AL - 1 of it.
    int sector = verify ? low_byte(record.reg_ECX) & 0x3F : 1;
    int count = read_al(record);
    bool on_the_track = verify ? count >= 1 && sector >= 1 && sector + count - 1 <= SECTORS_PER_TRACK
                               : count == SECTORS_PER_TRACK;
    if (drive != BIOS_DRIVE_A || head >= HEAD_COUNT || !on_the_track)
        return STATUS_BAD_COMMAND;
    if (cylinder > CYLINDER_BEYOND_VOLUME)
        return STATUS_SEEK_FAILED;
    request->cylinder = cylinder;
    request->head = head;
    if (verify) {
        request->kind = REQUEST_VERIFY_SECTORS;
        request->first_sector = static_cast<std::uint32_t>(logical_sector(cylinder, head, sector));
        request->sector_count = static_cast<std::uint32_t>(count);
        return STATUS_SUCCESS;
    }
    const auto* fields = static_cast<const AddressFieldList*>(borrow_lent_buffer(record.reg_EBX, sizeof(AddressFieldList)));
    if (fields == nullptr || !address_fields_match(*fields, cylinder, head))
        return STATUS_BAD_COMMAND;
    request->kind = REQUEST_FORMAT_TRACK;
    request->fields = fields;
    return STATUS_SUCCESS;
}

// MS-DOS Int 26h.
DiskStatus decode_absolute_write(const DIOC_REGISTERS& record, DriveRequest* request)
{
    std::uint16_t count = low_word(record.reg_ECX);
    // A diskette has no packet form.
    if (read_al(record) != ABSOLUTE_WRITE_DRIVE_A || count == 0 || count == ABSOLUTE_WRITE_PACKET)
        return STATUS_BAD_COMMAND;
    const void* bytes = borrow_lent_buffer(record.reg_EBX, count * SECTOR_SIZE);
    if (bytes == nullptr)
        return STATUS_BAD_COMMAND;
    request->kind = REQUEST_WRITE_SECTORS;
    request->first_sector = low_word(record.reg_EDX);
    request->sector_count = count;
    request->bytes = static_cast<const std::uint8_t*>(bytes);
    return STATUS_SUCCESS;
}

// MS-DOS Int 21h, function 440Dh. Returns 0 with `request` filled, or the
// MS-DOS error code that refuses the record.
std::uint16_t decode_volume_ioctl(const DIOC_REGISTERS& record, DriveRequest* request)
{
    if (read_ax(record) != DOS_BLOCK_DEVICE_IOCTL)
        return DOS_INVALID_FUNCTION;
    if (low_byte(record.reg_EBX) != DOS_DRIVE_A)
        return DOS_INVALID_DRIVE;
    std::uint16_t minor = low_word(record.reg_ECX);
    if (minor == IOCTL_LOCK_LOGICAL_VOLUME)
        request->kind = REQUEST_LOCK;
    else if (minor == IOCTL_UNLOCK_LOGICAL_VOLUME)
        request->kind = REQUEST_UNLOCK;
    else
        return DOS_INVALID_FUNCTION;
    return 0;
}

// ---------------------------------------------------------------------------
// The drive in the slot.

enum DriveKind : std::uint8_t { IMAGE_DRIVE, FLOPPY_DRIVE };

// The drive that holds the volume lock, from lock to unlock: it gets every
// request meanwhile, without the path being looked at again.
bool lock_held = false;
DriveKind lock_holder = IMAGE_DRIVE;

// A block device of the kernel's floppy driver is that drive; anything else,
// other block devices included, is for the image drive to take or refuse.
DriveKind drive_named()
{
#if defined(__linux__)
    struct stat status {};
    if (stat(drive_a_path(), &status) == 0 && S_ISBLK(status.st_mode) && major(status.st_rdev) == FLOPPY_MAJOR)
        return FLOPPY_DRIVE;
#endif
    return IMAGE_DRIVE;
}

DiskStatus serve(const DriveRequest& request)
{
    DriveKind drive = lock_held ? lock_holder : drive_named();
    DiskStatus status = STATUS_BAD_COMMAND;
    switch (drive) {
    case IMAGE_DRIVE: status = serve_image_drive(request); break;
#if defined(__linux__)
    case FLOPPY_DRIVE: status = serve_floppy_drive(request); break;
#endif
    default: break;
    }
    if (request.kind == REQUEST_LOCK && status == STATUS_SUCCESS) {
        lock_held = true;
        lock_holder = drive;
    } else if (request.kind == REQUEST_UNLOCK) {
        lock_held = false; // a holder's unlock lets go even when its flush fails
    }
    return status;
}

// ---------------------------------------------------------------------------
// Turning a status into registers: one place for every service.

// BIOS services: AH = the status, carry set on a failure.
void answer_bios(DIOC_REGISTERS* record, DiskStatus status)
{
    set_ah(record, status);
    set_carry(record, status != STATUS_SUCCESS);
}

// What each failure means to MS-DOS: the critical-error code an absolute write
// leaves in AL, and the error code a lock or unlock leaves in AX (a volume held
// by another program, or a lock that is not ours to drop, is access denied).
struct StatusEntry {
    DiskStatus status;
    CriticalError critical_error;
    DosError ioctl_error;
};

constexpr StatusEntry STATUS_TABLE[] = {
    {STATUS_BAD_COMMAND, CRITICAL_UNKNOWN_COMMAND, DOS_INVALID_FUNCTION},
    {STATUS_WRITE_PROTECTED, CRITICAL_WRITE_PROTECTED, DOS_ACCESS_DENIED},
    {STATUS_SECTOR_NOT_FOUND, CRITICAL_SECTOR_NOT_FOUND, DOS_GENERAL_FAILURE},
    {STATUS_CONTROLLER_FAILURE, CRITICAL_GENERAL_FAILURE, DOS_GENERAL_FAILURE},
    {STATUS_SEEK_FAILED, CRITICAL_SEEK_ERROR, DOS_GENERAL_FAILURE},
    {STATUS_NOT_READY, CRITICAL_NOT_READY, DOS_NOT_READY},
    {STATUS_VOLUME_LOCKED, CRITICAL_NOT_READY, DOS_ACCESS_DENIED},
};

// The entry of a failure; one not in the table is a general failure.
StatusEntry entry_for(DiskStatus status)
{
    for (const StatusEntry& entry : STATUS_TABLE)
        if (entry.status == status)
            return entry;
    return {status, CRITICAL_GENERAL_FAILURE, DOS_GENERAL_FAILURE};
}

// The absolute write: AH 0 on success; on a failure AH the BIOS status and AL
// the MS-DOS critical-error code, carry set.
void answer_absolute_write(DIOC_REGISTERS* record, DiskStatus status)
{
    set_ah(record, status);
    if (status != STATUS_SUCCESS)
        set_al(record, entry_for(status).critical_error);
    set_carry(record, status != STATUS_SUCCESS);
}

// MS-DOS IOCTL: AX = the error code and carry set on a failure.
void answer_ioctl(DIOC_REGISTERS* record, std::uint16_t error)
{
    if (error != 0)
        set_ax(record, error);
    set_carry(record, error != 0);
}

// The MS-DOS error code a lock or unlock status leaves in AX; 0 for success.
std::uint16_t ioctl_error_for(DiskStatus status)
{
    return status == STATUS_SUCCESS ? 0 : entry_for(status).ioctl_error;
}

} // namespace

void name_drive_a(const char* path)
{
    named_drive_a = path;
}

const char* drive_a_path()
{
    if (named_drive_a != nullptr)
        return named_drive_a;
    const char* path = std::getenv("DRIVE_A_IMAGE");
    return path != nullptr && path[0] != '\0' ? path : DEFAULT_IMAGE_PATH;
}

int move_above_standard_streams(int descriptor)
{
    if (descriptor > STDERR_FILENO)
        return descriptor;
    int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(descriptor);
    return moved;
}

long long read_back(int descriptor, long long offset, std::size_t length, std::uint8_t* buffer,
                    std::size_t buffer_size)
{
    long long done = 0;
    while (static_cast<std::size_t>(done) < length) {
        std::size_t left = length - static_cast<std::size_t>(done);
        ssize_t read_bytes = pread(descriptor, buffer, left < buffer_size ? left : buffer_size, offset + done);
        if (read_bytes < 0 && errno == EINTR)
            continue;
        if (read_bytes < 0)
            return -1;
        if (read_bytes == 0)
            break; // the end of the disk
        done += read_bytes;
    }
    return done;
}

void release_drive_a()
{
    release_image_drive();
#if defined(__linux__)
    release_floppy_drive();
#endif
    lock_held = false;
}

int device_io_control(std::uint32_t control_code, DIOC_REGISTERS* record)
{
    DriveRequest request{};
    switch (control_code) {
    case VWIN32_DIOC_DOS_IOCTL: {
        std::uint16_t error = decode_volume_ioctl(*record, &request);
        if (error == 0)
            error = ioctl_error_for(serve(request));
        answer_ioctl(record, error);
        return 1;
    }
    case VWIN32_DIOC_DOS_INT26: {
        DiskStatus status = decode_absolute_write(*record, &request);
        if (status == STATUS_SUCCESS)
            status = serve(request);
        answer_absolute_write(record, status);
        return 1;
    }
    case VWIN32_DIOC_DOS_INT13: {
        DiskStatus status = decode_bios_request(*record, &request);
        if (status == STATUS_SUCCESS)
            status = serve(request);
        answer_bios(record, status);
        return 1;
    }
    default: break;
    }
    // Not a service of this device: the call itself fails.
    answer_ioctl(record, DOS_INVALID_FUNCTION);
    return 0;
}
