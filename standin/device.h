// The stand-in for the VWIN32 device on hosts without it: drive A: is the disk
// named on the command line or by the environment variable DRIVE_A_IMAGE.
#pragma once

#include "volume/geometry.h"

// The disk that stands in drive A:: the one named on the command line, else
// $DRIVE_A_IMAGE, or drive_a.img in the current folder when that is unset or
// empty.
const char* drive_a_path();

// Names the disk for drive A:, over DRIVE_A_IMAGE; nullptr leaves it to that.
// `path` must last as long as the run.
void name_drive_a(const char* path);

// The highest cylinder a format may name: the one just beyond the volume's 82
// (0..81), which a drive's head still reaches.
constexpr int CYLINDER_BEYOND_VOLUME = CYLINDER_COUNT;

// Drops the volume lock and closes the disk, as the end of the process would.
void release_drive_a();
