// The register protocol of the disk services: the record exchanged with the
// VWIN32 device, its control codes, the requests, statuses and error codes the
// services carry, the address fields of a track, and the register helpers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "volume/geometry.h"

// Seven doublewords, in the order the device expects them.
struct DIOC_REGISTERS {
    std::uint32_t reg_EBX;   // offset 0
    std::uint32_t reg_EDX;   // offset 4
    std::uint32_t reg_ECX;   // offset 8
    std::uint32_t reg_EAX;   // offset 12
    std::uint32_t reg_EDI;   // offset 16
    std::uint32_t reg_ESI;   // offset 20
    std::uint32_t reg_Flags; // offset 24; bit 0 is the carry flag
};
static_assert(sizeof(DIOC_REGISTERS) == 28, "the device takes a 28-byte record");
static_assert(offsetof(DIOC_REGISTERS, reg_EBX) == 0);
static_assert(offsetof(DIOC_REGISTERS, reg_EDX) == 4);
static_assert(offsetof(DIOC_REGISTERS, reg_ECX) == 8);
static_assert(offsetof(DIOC_REGISTERS, reg_EAX) == 12);
static_assert(offsetof(DIOC_REGISTERS, reg_EDI) == 16);
static_assert(offsetof(DIOC_REGISTERS, reg_ESI) == 20);
static_assert(offsetof(DIOC_REGISTERS, reg_Flags) == 24);

// ---------------------------------------------------------------------------
// Control codes: which service the device carries.

constexpr std::uint32_t VWIN32_DIOC_DOS_IOCTL = 1; // MS-DOS Int 21h, function 44xxh
constexpr std::uint32_t VWIN32_DIOC_DOS_INT26 = 3; // MS-DOS Int 26h, absolute disk write
constexpr std::uint32_t VWIN32_DIOC_DOS_INT13 = 4; // BIOS Int 13h, disk services

// "\\.\vwin32"
constexpr const char VWIN32_DEVICE_NAME[] = "\\\\.\\vwin32";

// ---------------------------------------------------------------------------
// Requests.

// MS-DOS Int 21h, AX = 440Dh: generic IOCTL for block devices; BL the drive,
// CX the request: category 08h (disk) in CH, the minor code in CL.
constexpr std::uint16_t DOS_BLOCK_DEVICE_IOCTL = 0x440D;
constexpr std::uint16_t IOCTL_LOCK_LOGICAL_VOLUME = 0x084A;
constexpr std::uint16_t IOCTL_UNLOCK_LOGICAL_VOLUME = 0x086A;
constexpr std::uint8_t DOS_DRIVE_A = 1; // BL: 0 is the default drive, 1 is A:

// BIOS Int 13h: the function in AH, the drive in DL, the head in DH, the
// cylinder in CH with its bits 8-9 in bits 6-7 of CL.
constexpr std::uint8_t BIOS_RESET_DISK = 0x00;
constexpr std::uint8_t BIOS_VERIFY_SECTORS = 0x04; // AL sectors from sector CL (bits 0-5) on
constexpr std::uint8_t BIOS_FORMAT_TRACK = 0x05;   // AL sectors, ES:BX the address fields
constexpr std::uint8_t BIOS_DRIVE_A = 0;

// MS-DOS Int 26h: AL the drive, CX the sector count, DX the first logical
// sector, DS:BX the sectors' bytes.
constexpr std::uint8_t ABSOLUTE_WRITE_DRIVE_A = 0;
// A count of FFFFh asks for the packet form of large volumes.
constexpr std::uint16_t ABSOLUTE_WRITE_PACKET = 0xFFFF;

// ---------------------------------------------------------------------------
// Answers.

// BIOS diskette status, as the services leave it in AH.
enum DiskStatus : std::uint8_t {
    STATUS_SUCCESS = 0x00,
    STATUS_BAD_COMMAND = 0x01,        // invalid function or parameter
    STATUS_WRITE_PROTECTED = 0x03,
    STATUS_SECTOR_NOT_FOUND = 0x04,   // not formatted yet, or beyond the disk
    STATUS_READ_ERROR = 0x10,         // the data could not be read back (a CRC error)
    STATUS_CONTROLLER_FAILURE = 0x20, // the host failed to read or write the disk
    STATUS_SEEK_FAILED = 0x40,        // no such cylinder
    STATUS_NOT_READY = 0x80,          // no disk in the drive
    STATUS_VOLUME_LOCKED = 0xAA,      // another program holds the volume lock
};

// MS-DOS error codes of Int 21h, in AX after a failed IOCTL.
enum DosError : std::uint16_t {
    DOS_INVALID_FUNCTION = 0x01,
    DOS_ACCESS_DENIED = 0x05,
    DOS_INVALID_DRIVE = 0x0F,
    DOS_NOT_READY = 0x15,
    DOS_GENERAL_FAILURE = 0x1F,
};

// MS-DOS critical-error codes, in AL after a failed absolute write.
enum CriticalError : std::uint8_t {
    CRITICAL_WRITE_PROTECTED = 0x00,
    CRITICAL_NOT_READY = 0x02,
    CRITICAL_UNKNOWN_COMMAND = 0x03,
    CRITICAL_SEEK_ERROR = 0x06,
    CRITICAL_SECTOR_NOT_FOUND = 0x08,
    CRITICAL_GENERAL_FAILURE = 0x0C,
};

// ---------------------------------------------------------------------------
// The sector address fields of one track, as the format-track service writes
// them into the track headers.

struct AddressField {
    std::uint8_t cylinder;  // offset 0, C
    std::uint8_t head;      // offset 1, H
    std::uint8_t sector;    // offset 2, R: 1..18
    std::uint8_t size_code; // offset 3, N: 128 << N bytes
};
static_assert(sizeof(AddressField) == 4);
static_assert(offsetof(AddressField, cylinder) == 0);
static_assert(offsetof(AddressField, head) == 1);
static_assert(offsetof(AddressField, sector) == 2);
static_assert(offsetof(AddressField, size_code) == 3);

constexpr std::uint8_t SIZE_CODE_512 = 2;

// The list a format hands over: one field per sector of the track.
struct AddressFieldList {
    AddressField fields[SECTORS_PER_TRACK];
};
static_assert(sizeof(AddressFieldList) == 72);

// ---------------------------------------------------------------------------
// Register helpers.

constexpr std::uint8_t low_byte(std::uint32_t value) // AL, BL, CL, DL
{
    return static_cast<std::uint8_t>(value & 0xFF);
}

constexpr std::uint8_t high_byte(std::uint32_t value) // AH, BH, CH, DH
{
    return static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

constexpr std::uint16_t low_word(std::uint32_t value) // AX, BX, CX, DX
{
    return static_cast<std::uint16_t>(value & 0xFFFF);
}

constexpr std::uint8_t read_ah(const DIOC_REGISTERS& record) { return high_byte(record.reg_EAX); }
constexpr std::uint8_t read_al(const DIOC_REGISTERS& record) { return low_byte(record.reg_EAX); }
constexpr std::uint16_t read_ax(const DIOC_REGISTERS& record) { return low_word(record.reg_EAX); }

constexpr void set_ah(DIOC_REGISTERS* record, std::uint8_t value)
{
    record->reg_EAX = (record->reg_EAX & 0xFFFF00FFu) | (static_cast<std::uint32_t>(value) << 8);
}

constexpr void set_al(DIOC_REGISTERS* record, std::uint8_t value)
{
    record->reg_EAX = (record->reg_EAX & 0xFFFFFF00u) | value;
}

constexpr void set_ax(DIOC_REGISTERS* record, std::uint16_t value)
{
    record->reg_EAX = (record->reg_EAX & 0xFFFF0000u) | value;
}

constexpr std::uint32_t CARRY_FLAG = 0x0001;

constexpr bool carry_set(const DIOC_REGISTERS& record)
{
    return (record.reg_Flags & CARRY_FLAG) != 0;
}

constexpr void set_carry(DIOC_REGISTERS* record, bool carry)
{
    if (carry)
        record->reg_Flags |= CARRY_FLAG;
    else
        record->reg_Flags &= ~CARRY_FLAG;
}
