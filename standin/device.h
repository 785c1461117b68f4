// The stand-in for the VWIN32 device: drive A: is a disk of the host, an image
// file or a floppy drive, named as diskio/drive_a.h says.
#pragma once

#include "volume/geometry.h"

// The highest cylinder a format may name: the one just beyond the volume's 82
// (0..81), which a drive's head still reaches.
constexpr int CYLINDER_BEYOND_VOLUME = CYLINDER_COUNT;

// Drops the volume lock and closes the disk, as the end of the process would.
void release_drive_a();

// Says on standard error what drive A: is, before the question is asked, so
// that the user knows what will be erased: "format149: drive A: is NAME, a new
// image file" and the like. Only looks; nothing is opened or made. Where drive
// A: is the system's own, behind the VWIN32 device, only its absence is said.
void say_what_drive_a_is();
