// The virtual drive A:: an image file behind a stand-in for the VWIN32 device and
// the MS-DOS and BIOS disk services it carries.
#pragma once

#include <cstdint>

#include "diskio/registers.h"

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
