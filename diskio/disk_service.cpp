// Lock, unlock, format track, verify track and write sector: each fills a register record,
// makes one device call and reads the result back from the record.
#include "diskio/disk_service.h"

#include <cstdio>

#include "diskio/device_call.h"
#include "volume/geometry.h"

namespace {

// R and N of every sector; C and H are filled in per call.
constexpr AddressFieldList make_address_field_template()
{
    AddressFieldList list{};
    for (int i = 0; i < SECTORS_PER_TRACK; ++i)
        list.fields[i] = AddressField{0, 0, static_cast<std::uint8_t>(i + 1), SIZE_CODE_512};
    return list;
}

constexpr AddressFieldList ADDRESS_FIELD_TEMPLATE = make_address_field_template();

// The error code a progress line shows: the whole EAX after the call shifted
// right by 8, which is AH, the BIOS status, while the upper half is zero.
int error_code(const DIOC_REGISTERS& record)
{
    return static_cast<int>(record.reg_EAX >> 8);
}

// The code of a call's line: a call that never reached a device (`result` 0)
// left in the record only what the program put there, so it shows "no disk".
int shown_code(int result, const DIOC_REGISTERS& record)
{
    return result != 0 ? error_code(record) : STATUS_NOT_READY;
}

// MS-DOS generic IOCTL for block devices, category 08h, on drive 1 (A:),
// lock level 0, permission flags 0.
int volume_ioctl(std::uint16_t request)
{
    DIOC_REGISTERS record{};
    record.reg_EAX = DOS_BLOCK_DEVICE_IOCTL;
    record.reg_EBX = DOS_DRIVE_A;
    record.reg_ECX = request;
    int result = disk_service_call(VWIN32_DIOC_DOS_IOCTL, &record);
    // A device call that went through but a lock the system refused is a failure.
    return result != 0 && !carry_set(record) ? 1 : 0;
}

// The progress lines, on standard error. Each is flushed at once: where standard
// error is not a console the Windows C runtime buffers it, and each line must be
// out before the next call, and before later standard-output text.
void report_format(int head, int cylinder, int code)
{
    std::fprintf(stderr, "     Formatting side %d of track %d, where error code = %d. \a \a \a \r", head, cylinder,
                 code);
    std::fflush(stderr);
}

void report_verify(int head, int cylinder, int code)
{
    std::fprintf(stderr, "     Verifying side %d of track %d, where error code = %d. \r", head, cylinder, code);
    std::fflush(stderr);
}

void report_write(int sector, int code)
{
    std::fprintf(stderr, "     Writing sector %d, where error code = %d. \r", sector, code);
    std::fflush(stderr);
}

// Sectors of a track are numbered from 1.
constexpr std::uint32_t FIRST_SECTOR = 1;

// The highest starting sector the absolute-write service takes in DX.
constexpr int LAST_ADDRESSABLE_SECTOR = 0xFFFF;

} // namespace

int disk_service_call(std::uint32_t control_code, DIOC_REGISTERS* record)
{
    int result = device_io_control(control_code, record);
    end_buffer_loans(); // the call's loans end with it
    return result;
}

int lock_volume()
{
    return volume_ioctl(IOCTL_LOCK_LOGICAL_VOLUME);
}

int unlock_volume()
{
    return volume_ioctl(IOCTL_UNLOCK_LOGICAL_VOLUME);
}

int format_track(int head, int cylinder)
{
    AddressFieldList list = ADDRESS_FIELD_TEMPLATE;
    for (AddressField& field : list.fields) {
        field.cylinder = static_cast<std::uint8_t>(cylinder & 0xFF);
        field.head = static_cast<std::uint8_t>(head & 0xFF);
    }
    BufferReference fields = lend_buffer(&list, sizeof list);

    DIOC_REGISTERS record{};
    set_ah(&record, BIOS_FORMAT_TRACK);
    set_al(&record, SECTORS_PER_TRACK);
    record.reg_ECX = static_cast<std::uint32_t>(cylinder & 0xFF) << 8;              // CH cylinder, CL 0
    record.reg_EDX = static_cast<std::uint32_t>(head & 0xFF) << 8 | BIOS_DRIVE_A; // DH head, DL drive A:
    record.reg_EBX = fields;
    record.reg_ESI = fields;
    record.reg_EDI = 0;
    set_carry(&record, true);
    int result = disk_service_call(VWIN32_DIOC_DOS_INT13, &record);

    report_format(head, cylinder, shown_code(result, record));
    return result != 0 && !carry_set(record) ? 1 : 0;
}

int verify_track(int head, int cylinder, int* error_code_shown)
{
    DIOC_REGISTERS record{};
    set_ah(&record, BIOS_VERIFY_SECTORS);
    set_al(&record, SECTORS_PER_TRACK);
    record.reg_ECX = static_cast<std::uint32_t>(cylinder & 0xFF) << 8 | FIRST_SECTOR; // CH cylinder, CL sector 1
    record.reg_EDX = static_cast<std::uint32_t>(head & 0xFF) << 8 | BIOS_DRIVE_A; // DH head, DL drive A:
    set_carry(&record, true);
    int result = disk_service_call(VWIN32_DIOC_DOS_INT13, &record);

    int code = shown_code(result, record);
    report_verify(head, cylinder, code);
    if (error_code_shown != nullptr)
        *error_code_shown = code;
    return result != 0 && !carry_set(record) ? 1 : 0;
}

int write_sector(int sector, const std::uint8_t* buffer)
{
    if (sector < 0 || sector > LAST_ADDRESSABLE_SECTOR) {
        // Sent on, the number would wrap to another sector of the disk.
        report_write(sector, STATUS_SECTOR_NOT_FOUND);
        return 0;
    }
    DIOC_REGISTERS record{};
    set_al(&record, ABSOLUTE_WRITE_DRIVE_A);
    record.reg_EBX = lend_buffer(buffer, SECTOR_SIZE);
    record.reg_ECX = 1;                                   // one sector
    record.reg_EDX = static_cast<std::uint32_t>(sector);  // starting logical sector
    int result = disk_service_call(VWIN32_DIOC_DOS_INT26, &record);

    report_write(sector, shown_code(result, record));
    return result != 0 && !carry_set(record) ? 1 : 0;
}
