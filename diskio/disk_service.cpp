// Lock, unlock, format track and write sector: each fills a register record,
// makes one device call and reads the result back from the record.
#include "diskio/disk_service.h"

#include <cstdio>

#include "diskio/device_call.h"
#include "volume/geometry.h"

namespace {

// Sector address fields of one track, as the format-track service writes them
// into the track headers: C, H, R, N for each sector.
struct AddressField {
    std::uint8_t cylinder;    // offset 0, C
    std::uint8_t head;        // offset 1, H
    std::uint8_t sector;      // offset 2, R: 1..18
    std::uint8_t size_code;   // offset 3, N: 128 << 2 = 512 bytes
};
static_assert(sizeof(AddressField) == 4);

using AddressFieldList = AddressField[SECTORS_PER_TRACK];
static_assert(sizeof(AddressFieldList) == 72);

constexpr std::uint8_t SIZE_CODE_512 = 2;

struct AddressFieldTemplate {
    AddressField fields[SECTORS_PER_TRACK];
};

constexpr AddressFieldTemplate make_address_field_template()
{
    AddressFieldTemplate list{};
    for (int i = 0; i < SECTORS_PER_TRACK; ++i)
        list.fields[i] = AddressField{0, 0, static_cast<std::uint8_t>(i + 1), SIZE_CODE_512};
    return list;
}

constexpr AddressFieldTemplate ADDRESS_FIELD_TEMPLATE = make_address_field_template();

// The error code a progress line shows: the whole EAX after the call shifted
// right by 8, which is AH, the BIOS status, while the upper half is zero.
int error_code(const DIOC_REGISTERS& record)
{
    return static_cast<int>(record.reg_EAX >> 8);
}

bool carry_clear(const DIOC_REGISTERS& record)
{
    return (record.reg_Flags & CARRY_FLAG) == 0;
}

// MS-DOS generic IOCTL for block devices, category 08h, on drive 1 (A:),
// lock level 0, permission flags 0.
int volume_ioctl(std::uint32_t minor_code)
{
    DIOC_REGISTERS record{};
    record.reg_EAX = 0x440D;
    record.reg_EBX = 1;
    record.reg_ECX = 0x0800 | minor_code;
    int result = device_io_control(VWIN32_DIOC_DOS_IOCTL, &record);
    // A device call that went through but a lock the system refused is a failure.
    return result != 0 && carry_clear(record) ? 1 : 0;
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

void report_write(int sector, int code)
{
    std::fprintf(stderr, "     Writing sector %d, where error code = %d. \r", sector, code);
    std::fflush(stderr);
}

// The highest starting sector the absolute-write service takes in DX.
constexpr int LAST_ADDRESSABLE_SECTOR = 0xFFFF;

// The BIOS status shown for a sector number the service cannot take: sector not found.
constexpr int STATUS_SECTOR_NOT_FOUND = 0x04;

} // namespace

int lock_volume()
{
    return volume_ioctl(0x4A);
}

int unlock_volume()
{
    return volume_ioctl(0x6A);
}

int format_track(int head, int cylinder)
{
    AddressFieldTemplate list = ADDRESS_FIELD_TEMPLATE;
    for (AddressField& field : list.fields) {
        field.cylinder = static_cast<std::uint8_t>(cylinder & 0xFF);
        field.head = static_cast<std::uint8_t>(head & 0xFF);
    }
    BufferReference fields = lend_buffer(list.fields, sizeof list.fields);

    DIOC_REGISTERS record{};
    record.reg_EAX = 0x0500 | SECTORS_PER_TRACK;                    // AH 05h format, AL 18 sectors
    record.reg_ECX = static_cast<std::uint32_t>(cylinder & 0xFF) << 8; // CH cylinder, CL 0
    record.reg_EDX = static_cast<std::uint32_t>(head & 0xFF) << 8;     // DH head, DL 0: drive A:
    record.reg_EBX = fields;
    record.reg_ESI = fields;
    record.reg_EDI = 0;
    record.reg_Flags = CARRY_FLAG;
    int result = device_io_control(VWIN32_DIOC_DOS_INT13, &record);

    report_format(head, cylinder, error_code(record));
    return result != 0 && carry_clear(record) ? 1 : 0;
}

int write_sector(int sector, const std::uint8_t* buffer)
{
    if (sector < 0 || sector > LAST_ADDRESSABLE_SECTOR) {
        // Sent on, the number would wrap to another sector of the disk.
        report_write(sector, STATUS_SECTOR_NOT_FOUND);
        return 0;
    }
    DIOC_REGISTERS record{};
    record.reg_EAX = 0;                                   // drive 0: A:
    record.reg_EBX = lend_buffer(buffer, SECTOR_SIZE);
    record.reg_ECX = 1;                                   // one sector
    record.reg_EDX = static_cast<std::uint32_t>(sector);  // starting logical sector
    int result = device_io_control(VWIN32_DIOC_DOS_INT26, &record);

    report_write(sector, error_code(record));
    return result != 0 && carry_clear(record) ? 1 : 0;
}
