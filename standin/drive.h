// The drives behind the stand-in device: each serves one checked request and
// answers with one BIOS status.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diskio/registers.h"

enum RequestKind : std::uint8_t {
    REQUEST_LOCK,          // MS-DOS IOCTL 084Ah: lock the logical volume
    REQUEST_UNLOCK,        // MS-DOS IOCTL 086Ah: unlock it
    REQUEST_RESET,         // BIOS 00h: reset the disk system
    REQUEST_FORMAT_TRACK,  // BIOS 05h
    REQUEST_VERIFY_SECTORS, // BIOS 04h: read sectors of one track back, keeping nothing
    REQUEST_WRITE_SECTORS, // MS-DOS Int 26h: absolute write
};

// A register record decoded once by the device. Only the fields of its kind
// are set, and they have been checked: a drive gets no request for another
// drive, another head, a cylinder beyond CYLINDER_BEYOND_VOLUME, an
// address-field list other than sectors 1..18 of 512 bytes of that track, or a
// verify that leaves its track.
struct DriveRequest {
    RequestKind kind;
    int cylinder;                   // format, verify: 0..CYLINDER_BEYOND_VOLUME
    int head;                       // format, verify: 0..HEAD_COUNT - 1
    const AddressFieldList* fields; // format: as lent, each sector once
    std::uint32_t first_sector;     // write, verify: the first logical sector
    std::uint32_t sector_count;     // write: 1..FFFEh; verify: 1..18, within the track
    const std::uint8_t* bytes;      // write: sector_count × 512 bytes, as lent
};

// Keeps an opened disk off standard input, output and error, so that console
// output can never land on it when one of them is closed. Returns the
// descriptor to use (the same, or a copy above 2 with the first closed), or -1.
int move_above_standard_streams(int descriptor);

// Reads `length` bytes from `offset` on, `buffer_size` bytes at a time into
// `buffer`, keeping nothing: a verify's reading back. Returns the bytes read,
// fewer than `length` where the disk ends, or -1 with errno set.
long long read_back(int descriptor, long long offset, std::size_t length, std::uint8_t* buffer,
                    std::size_t buffer_size);

// The image file: lock is an exclusive flock(2), a format fills the track with
// F6h, the file grows as tracks are formatted.
DiskStatus serve_image_drive(const DriveRequest& request);
void release_image_drive();

// The biggest file the image drive takes for a diskette (2.88 MB).
constexpr long long LARGEST_DISKETTE_BYTES = 2'949'120;

#if defined(__linux__)
// A PC floppy drive behind the kernel's floppy driver (a block device of major
// number 2, e.g. /dev/fd0), set to the 82-cylinder geometry.
DiskStatus serve_floppy_drive(const DriveRequest& request);
void release_floppy_drive();
#endif
