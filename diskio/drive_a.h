// Which disk stands in drive A: for this run, and which device serves it.
#pragma once

// Names the disk for drive A:: on Windows, nullptr, "A:" or "a:" is the
// diskette in the system's drive A: and any other name an image file; on
// other hosts, nullptr leaves it to DRIVE_A_IMAGE. `path` must last as long
// as the run.
void name_drive_a(const char* path);

// The disk the stand-in device serves: the one named, else (on hosts other
// than Windows) $DRIVE_A_IMAGE, or drive_a.img in the current folder when
// that is unset or empty.
const char* drive_a_path();

// The device behind the device call.
enum DriveADevice {
    DEVICE_VWIN32,   // the Windows 9x VWIN32 virtual device, reaching the system's drive A:
    DEVICE_STAND_IN, // the program's own stand-in, with an image file or a floppy drive of the host
};

DriveADevice drive_a_device();
