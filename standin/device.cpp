// The stand-in device, on every host: decodes the register record into a
// request, checks it, hands it to the drive in the slot, turns the drive's
// status into the registers the service would leave, and says once why drive
// A: fails.
#include "standin/device.h"

#include <cstdio>
#include <cstring>

#include "diskio/device_call.h"
#include "diskio/drive_a.h"
#include "standin/drive.h"
#include "standin/image_file.h"
#include "volume/geometry.h"

namespace {

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

// The run's drive, chosen once, at its lock, from what drive A:'s name was
// found to be then: the holder gets every request from lock to unlock,
// without the name being looked at again. A lock that fails decides the run:
// from then on no request opens, locks or writes anything, and each format,
// write, verify and lock answers the failed lock's status, even once the
// disk would be free.
bool lock_held = false;
DriveKind lock_holder = IMAGE_DRIVE;
bool lock_refused = false;
DiskStatus refused_status = STATUS_SUCCESS;

// Without a lock (only tests ask so), a block device of the kernel's floppy
// driver is that drive; anything else is for the image drive to take or refuse.
DriveKind drive_named()
{
#if defined(__linux__)
    if (names_floppy_drive(drive_a_path()))
        return FLOPPY_DRIVE;
#endif
    return IMAGE_DRIVE;
}

// The lock: one look at drive A:'s name, and the drive found there takes it.
DiskStatus lock_drive_a(DriveKind* drive)
{
    ImageFile found = open_image_file(drive_a_path(), true);
#if defined(__linux__)
    if (found.kind == FILE_FLOPPY_DRIVE) {
        *drive = FLOPPY_DRIVE;
        return lock_floppy_drive(static_cast<int>(found.handle));
    }
#endif
    *drive = IMAGE_DRIVE;
    return lock_image_drive(found);
}

DiskStatus serve(const DriveRequest& request)
{
    if (lock_refused)
        return request.kind == REQUEST_UNLOCK ? STATUS_VOLUME_LOCKED // not ours to unlock
               : request.kind == REQUEST_RESET ? STATUS_SUCCESS
                                               : refused_status;
    if (request.kind == REQUEST_LOCK && !lock_held) {
        DriveKind drive = IMAGE_DRIVE;
        DiskStatus status = lock_drive_a(&drive);
        lock_held = status == STATUS_SUCCESS;
        lock_holder = drive;
        lock_refused = !lock_held;
        refused_status = status;
        return status;
    }
    DriveKind drive = lock_held ? lock_holder : drive_named();
    DiskStatus status = STATUS_BAD_COMMAND;
    switch (drive) {
    case IMAGE_DRIVE: status = serve_image_drive(request); break;
#if defined(__linux__)
    case FLOPPY_DRIVE: status = serve_floppy_drive(request); break;
#endif
    default: break;
    }
    if (request.kind == REQUEST_UNLOCK)
        lock_held = false; // a holder's unlock lets go even when its flush fails
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

// ---------------------------------------------------------------------------
// Why drive A: fails: said once in a run, on standard error, at the end of the
// request that found it (the lock's, before its text, or the first write that
// failed). A run that can succeed says nothing.

struct CauseText {
    DriveCause cause;
    const char* text; // the printf form; %lld the file's size, %s the system's reason
};

constexpr CauseText CAUSE_TEXTS[] = {
    {CAUSE_NO_FOLDER, "no such folder"},
    {CAUSE_NOT_A_FOLDER, "not a folder"},
    {CAUSE_NO_DEVICE, "no such device"},
    {CAUSE_NO_FLOPPY_DRIVER, "no such device; is the floppy driver loaded? (modprobe floppy)"},
    {CAUSE_FOLDER, "a folder, not a diskette image"},
    {CAUSE_DRIVE, "a drive, not a diskette image"},
    {CAUSE_DANGLING_LINK, "a link to nothing"},
    {CAUSE_FOREIGN_LINK, "a link that belongs to another user; name the file itself"},
    {CAUSE_NAME_TOO_LONG, "the name is too long"},
    {CAUSE_NOT_FLOPPY_DRIVE,
     "a block device that is not a PC floppy drive (USB floppy drives cannot format 82 cylinders)"},
    {CAUSE_DEVICE, "a device, not a diskette image"},
    {CAUSE_KERNEL_FILE, "a kernel pseudo file, not a diskette image"},
    {CAUSE_NOT_AN_IMAGE, "not a diskette image (%lld bytes); name a new file, or delete this one first"},
    {CAUSE_TOO_LARGE, "larger than any diskette (%lld bytes)"},
    {CAUSE_READ_ONLY, "read-only: every format and write will fail with error code 3"},
    {CAUSE_IN_USE, "in use by another program: every format and write will fail with error code 170"},
    {CAUSE_CONSOLE, "the program's own output goes into it"},
    {CAUSE_NO_DISKETTE, "no diskette in the drive"},
    {CAUSE_CANNOT_OPEN, "cannot be opened: %s"},
    {CAUSE_CANNOT_CREATE, "cannot be created: %s"},
    {CAUSE_CANNOT_WRITE, "cannot be written: %s"},
};

// The cause noted during the request under way, and whether the run has said one.
DriveCause noted_cause = CAUSE_NONE;
long long noted_bytes = 0;
int noted_system_error = 0;
bool cause_said = false;

// Drive A:'s name as a cause line shows it: control characters and bytes
// that are no text escaped (\n, \xHH), so that the cause stays one line;
// the separating colon left out after a name that ends in one (A:, B:).
void print_drive_name(std::FILE* stream, const char* name, bool colon = true)
{
    std::size_t length = std::strlen(name);
    for (std::size_t index = 0; index < length; ++index) {
        auto byte = static_cast<unsigned char>(name[index]);
        if (byte == '\n')
            std::fputs("\\n", stream);
        else if (byte == '\t')
            std::fputs("\\t", stream);
        else if (byte < 0x20 || byte == 0x7F)
            std::fprintf(stream, "\\x%02X", byte);
        else
            std::fputc(byte, stream);
    }
    if (colon && (length == 0 || name[length - 1] != ':'))
        std::fputc(':', stream);
}

// Ends a request: the cause noted, if the run has said none yet.
void say_cause_once()
{
    if (!cause_said && noted_cause != CAUSE_NONE) {
        for (const CauseText& entry : CAUSE_TEXTS) {
            if (entry.cause != noted_cause)
                continue;
            char cause[320];
            if (noted_cause == CAUSE_CANNOT_OPEN || noted_cause == CAUSE_CANNOT_CREATE
                || noted_cause == CAUSE_CANNOT_WRITE) {
                char reason[256];
                describe_system_error(noted_system_error, reason, sizeof reason);
                std::snprintf(cause, sizeof cause, entry.text, reason);
            } else if (noted_cause == CAUSE_NOT_AN_IMAGE || noted_cause == CAUSE_TOO_LARGE) {
                std::snprintf(cause, sizeof cause, entry.text, noted_bytes);
            } else {
                std::snprintf(cause, sizeof cause, "%s", entry.text);
            }
#if defined(_WIN32)
            // Where no program may format a diskette, the drive named cannot be reached either.
            if (noted_cause == CAUSE_DRIVE && vwin32_device_present() != 1)
                std::snprintf(cause, sizeof cause, "%s; %s", entry.text, ONLY_WINDOWS_9X_FORMATS);
#endif
            std::fputs("format149: ", stderr);
            print_drive_name(stderr, drive_a_path());
            std::fprintf(stderr, " %s\n", cause);
            std::fflush(stderr);
        }
        cause_said = true;
    }
    noted_cause = CAUSE_NONE;
}

} // namespace

void note_drive_cause(DriveCause cause, long long bytes, int system_error)
{
    noted_cause = cause;
    noted_bytes = bytes;
    noted_system_error = system_error;
}

void say_what_drive_a_is()
{
    if (drive_a_device() != DEVICE_STAND_IN) {
#if defined(_WIN32)
        // The system's own drive A:, which only the VWIN32 device reaches:
        // without it (the NT family) no request will, said once here.
        if (vwin32_device_present() != 1) {
            std::fprintf(stderr, "format149: A: %s; name an image file: format149 DISK.IMG\n", ONLY_WINDOWS_9X_FORMATS);
            std::fflush(stderr);
        }
#endif
        return;
    }
    ImageFile found = look_at_image_file(drive_a_path());
    const char* what = "not there";
    switch (found.kind) {
    case FILE_PLAIN: what = nullptr; break;
    case FILE_MISSING: what = "a new image file"; break;
    case FILE_FLOPPY_DRIVE: what = "the floppy drive"; break;
    case FILE_FOLDER: what = "a folder"; break;
    case FILE_DRIVE: what = "a drive"; break;
    case FILE_KERNEL_FILE: what = "a kernel file"; break;
    case FILE_BLOCK_DEVICE:
    case FILE_DEVICE:
    case FILE_IN_DEVICE_FOLDER: what = "a device"; break;
    case FILE_DANGLING_LINK:
    case FILE_FOREIGN_LINK: what = "a link"; break;
    default: break;
    }
    std::fputs("format149: drive A: is ", stderr);
    print_drive_name(stderr, drive_a_path(), false);
    if (what != nullptr)
        std::fprintf(stderr, ", %s\n", what);
    else
        std::fprintf(stderr, ", an existing file of %lld bytes\n", found.size);
    std::fflush(stderr);
}

void release_drive_a()
{
    release_image_drive();
#if defined(__linux__)
    release_floppy_drive();
#endif
    lock_held = false;
    lock_refused = false;
    cause_said = false;
    noted_cause = CAUSE_NONE;
}

int stand_in_device_io_control(std::uint32_t control_code, DIOC_REGISTERS* record)
{
    DriveRequest request{};
    switch (control_code) {
    case VWIN32_DIOC_DOS_IOCTL: {
        std::uint16_t error = decode_volume_ioctl(*record, &request);
        if (error == 0)
            error = ioctl_error_for(serve(request));
        say_cause_once();
        answer_ioctl(record, error);
        return 1;
    }
    case VWIN32_DIOC_DOS_INT26: {
        DiskStatus status = decode_absolute_write(*record, &request);
        if (status == STATUS_SUCCESS)
            status = serve(request);
        say_cause_once();
        answer_absolute_write(record, status);
        return 1;
    }
    case VWIN32_DIOC_DOS_INT13: {
        DiskStatus status = decode_bios_request(*record, &request);
        if (status == STATUS_SUCCESS)
            status = serve(request);
        say_cause_once();
        answer_bios(record, status);
        return 1;
    }
    default: break;
    }
    // Not a service of this device: the call itself fails.
    answer_ioctl(record, DOS_INVALID_FUNCTION);
    return 0;
}
