// The image drive's access to its file, one part per host (image_file_posix.cpp,
// image_file_win32.cpp): plain facts about what is at drive A:'s name, and the
// reads, writes and flushes of the file opened there. The parts judge nothing:
// every refusal, cause and status is the image drive's (image_drive.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "standin/drive.h"

// A file descriptor, or a Windows handle; NO_IMAGE when none is open.
using ImageHandle = std::intptr_t;
constexpr ImageHandle NO_IMAGE = -1;

// What the name leads to.
enum FileKind : std::uint8_t {
    FILE_PLAIN,            // a plain file, open on `handle` (made by this open when `created`)
    FILE_MISSING,          // nothing there, in a folder that is there; `system_error` says why it was not made
    FILE_NO_FOLDER,        // a folder on the way is not there
    FILE_NOT_A_FOLDER,     // a name on the way, or one written with a final slash, is not a folder
    FILE_IN_DEVICE_FOLDER, // nothing there, in the kernel's device folder (its mount, wherever it is)
    FILE_DANGLING_LINK,    // a link to nothing
    FILE_FOREIGN_LINK,     // a link that belongs to another user, not to be followed
    FILE_NAME_TOO_LONG,    // the name, or a part of it, is longer than the system takes
    FILE_FOLDER,           // a folder
    FILE_DRIVE,            // a drive's root, or a drive letter alone
    FILE_FLOPPY_DRIVE,     // a PC floppy drive of the kernel's driver; `handle` reads and writes nothing
    FILE_BLOCK_DEVICE,     // any other block device
    FILE_DEVICE,           // any other device, pipe or socket, or a device's name
    FILE_KERNEL_FILE,      // a file of the kernel's pseudo file systems
    FILE_UNREACHABLE,      // the system would not say: `system_error`
};

// The facts of one look at drive A:'s name.
struct ImageFile {
    FileKind kind = FILE_UNREACHABLE;
    ImageHandle handle = NO_IMAGE; // FILE_PLAIN, FILE_FLOPPY_DRIVE: open
    bool created = false;          // FILE_PLAIN: made, empty, by this open
    bool writable = false;         // FILE_PLAIN: open for writing, and not marked read-only
    bool held_elsewhere = false;   // FILE_PLAIN: another program's lock stands in the way of ours
    bool console = false;          // FILE_PLAIN: standard output or error writes into it
    long long size = 0;            // FILE_PLAIN: its size, all 64 bits, as the last lock holder left it
    int system_error = 0;          // the system's reason: FILE_UNREACHABLE, FILE_MISSING, and
                                   // FILE_PLAIN when it could not be opened for writing
    bool write_refused = false;    // `system_error` is a refusal to write (no right, a read-only medium)
};

// Looks at `path`, following links only where the kernel's protected-links
// rule would (and, run by the system's administrator, never a link of another
// user), and decides on what was opened, never on the name again. A plain
// file is opened for reading and writing (for reading only where it may not
// be written) and locked for this program alone; with `create`, a missing one
// in an ordinary folder is made, relative to the folder that was looked at.
// Nothing else is opened for reading or writing.
ImageFile open_image_file(const char* path, bool create);

// Only looks at `path`, by the same rules, and opens nothing: the kind, and
// a plain file's size (FILE_PLAIN, with `handle` NO_IMAGE).
ImageFile look_at_image_file(const char* path);

// Reads `length` bytes from `offset` on, `buffer_size` at a time into `buffer`,
// keeping nothing. Returns the bytes read, fewer where the file ends, or -1.
long long read_image_file(ImageHandle handle, long long offset, std::size_t length, std::uint8_t* buffer,
                          std::size_t buffer_size);

// Writes all of `length` bytes at `offset`. Returns 1, or 0 with the system's
// reason in `*system_error`.
int write_image_file(ImageHandle handle, const void* bytes, std::size_t length, long long offset, int* system_error);

// The file's size as the host has it now, or -1.
long long image_file_size(ImageHandle handle);

// Cuts the file to `size` bytes. Returns 1, or 0 when the host failed.
int truncate_image_file(ImageHandle handle, long long size);

// 1 while the file is still there (not removed since it was opened).
int image_file_present(ImageHandle handle);

// Puts what was written on the medium under the file. Returns 1, or 0.
int flush_image_file(ImageHandle handle);

// Closes the file. Returns 1, or 0 when the host reports a failure.
int close_image_file(ImageHandle handle);

// The system's words for one of its error codes, into `text` (one line).
void describe_system_error(int system_error, char* text, std::size_t size);
