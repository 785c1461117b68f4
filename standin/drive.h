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

// Why drive A: is refused, cannot be written, or is held by another program,
// in the words the stand-in device says once in a run, at the end of the
// request that first found it.
enum DriveCause : std::uint8_t {
    CAUSE_NONE,
    CAUSE_NO_FOLDER,        // a new image's folder is not there
    CAUSE_NOT_A_FOLDER,     // a name on the way is a file
    CAUSE_NO_DEVICE,        // a device folder's name that no device has
    CAUSE_NO_FLOPPY_DRIVER, // likewise, for a floppy drive's name
    CAUSE_FOLDER,           // a folder
    CAUSE_DRIVE,            // a drive's root, or a drive letter
    CAUSE_DANGLING_LINK,
    CAUSE_FOREIGN_LINK,     // a link of another user's, not followed
    CAUSE_NAME_TOO_LONG,
    CAUSE_NOT_FLOPPY_DRIVE, // a block device of another kind
    CAUSE_DEVICE,           // any other device, or a device's name
    CAUSE_KERNEL_FILE,      // a file of the kernel's pseudo file systems
    CAUSE_NOT_AN_IMAGE,     // a file that cannot be a diskette image (its size given)
    CAUSE_TOO_LARGE,        // a file larger than any diskette (its size given)
    CAUSE_READ_ONLY,        // every format and write answers 03h
    CAUSE_IN_USE,           // another program holds it: 0AAh
    CAUSE_CONSOLE,          // standard output or error goes into it
    CAUSE_NO_DISKETTE,      // a drive without a diskette
    CAUSE_CANNOT_OPEN,      // the system's own reason given
    CAUSE_CANNOT_CREATE,    // likewise, for a new image
    CAUSE_CANNOT_WRITE,     // likewise, for a write that failed
};

// Notes why the request under way fails; `bytes` is the file's size for the
// causes that name it, `system_error` the reason for the last three.
void note_drive_cause(DriveCause cause, long long bytes = 0, int system_error = 0);

struct ImageFile;

// The image file: the lock holds the file for this program alone, a format
// fills the track with F6h, the file grows as tracks are formatted.
// lock_image_drive takes what the lock found at drive A:'s name and decides
// whether it is a disk; serve_image_drive serves every other request.
DiskStatus lock_image_drive(const ImageFile& found);
DiskStatus serve_image_drive(const DriveRequest& request);
void release_image_drive();

// The biggest file the image drive takes for a diskette (2.88 MB).
constexpr long long LARGEST_DISKETTE_BYTES = 2'949'120;

#if defined(__linux__)
// A PC floppy drive behind the kernel's floppy driver (a block device of major
// number 2, e.g. /dev/fd0), set to the 82-cylinder geometry. lock_floppy_drive
// takes the descriptor the lock found it by, which reads and writes nothing.
DiskStatus lock_floppy_drive(int found);
DiskStatus serve_floppy_drive(const DriveRequest& request);
void release_floppy_drive();

// Whether `path` is such a drive, for requests made without a lock (standin/posix_file.cpp).
bool names_floppy_drive(const char* path);
#endif
