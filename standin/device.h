// The stand-in for the VWIN32 device on hosts without it: drive A: is the disk
// that the environment variable DRIVE_A_IMAGE names.
#pragma once

// The disk that stands in drive A:: $DRIVE_A_IMAGE, or drive_a.img in the
// current folder when that is unset or empty.
const char* drive_a_path();

// The highest cylinder a format may name: one beyond the 82 of the volume.
constexpr int LAST_REACHABLE_CYLINDER = 82;

// Drops the volume lock and closes the disk, as the end of the process would.
void release_drive_a();
