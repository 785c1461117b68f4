// The virtual drive A:: an image file behind a stand-in for the VWIN32 device and
// the MS-DOS and BIOS disk services it carries.
#pragma once

#include <cstdint>

#include "diskio/registers.h"

// BIOS diskette status, as the services leave it in AH. One table for every
// service of the drive; the absolute write also reports the matching MS-DOS
// error code in AL.
enum DiskStatus : std::uint8_t {
    STATUS_SUCCESS = 0x00,
    STATUS_BAD_COMMAND = 0x01,        // invalid function or parameter
    STATUS_WRITE_PROTECTED = 0x03,
    STATUS_SECTOR_NOT_FOUND = 0x04,   // not formatted yet, or beyond the disk
    STATUS_CONTROLLER_FAILURE = 0x20, // the host failed to read or write the image
    STATUS_SEEK_FAILED = 0x40,        // no such cylinder
    STATUS_NOT_READY = 0x80,          // no disk in the drive
    STATUS_VOLUME_LOCKED = 0xAA,      // another program holds the volume lock
};

// MS-DOS error codes (AX) of the IOCTL service.
enum DosError : std::uint16_t {
    DOS_INVALID_FUNCTION = 0x01,
    DOS_ACCESS_DENIED = 0x05,
    DOS_INVALID_DRIVE = 0x0F,
    DOS_NOT_READY = 0x15,
};

// The image that stands in for the disk: $DRIVE_A_IMAGE, or drive_a.img in the
// current folder when that is unset or empty.
const char* virtual_drive_image_path();

// The biggest file taken for a diskette (2.88 MB); anything bigger is no disk.
constexpr long long LARGEST_DISKETTE_BYTES = 2'949'120;

// The highest cylinder a format reaches: one beyond the 82 of the volume.
constexpr int LAST_REACHABLE_CYLINDER = 82;

// Carries one control call to the drive, as the device would: returns 1 when
// the request reached it, with `record` holding the registers the service left;
// 0 for a control code the device does not know.
int virtual_drive_control(std::uint32_t control_code, DIOC_REGISTERS* record);

// Drops the volume lock and closes the image, as the end of the process would.
void virtual_drive_release();
