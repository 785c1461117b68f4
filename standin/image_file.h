// The image drive's access to its file, one part per host (image_file_posix.cpp,
// image_file_win32.cpp): what is at the path, and the reads, writes and flushes
// of an open image.
#pragma once

#include <cstddef>
#include <cstdint>

#include "standin/drive.h"

// A file descriptor, or a Windows handle; NO_IMAGE when none is open.
using ImageHandle = std::intptr_t;
constexpr ImageHandle NO_IMAGE = -1;

// What an image is opened for.
enum ImageUse : std::uint8_t {
    USE_LOCK,   // held from lock to unlock by this program alone; read-only where it cannot be written
    USE_WRITE,  // one format or write, by this program alone
    USE_VERIFY, // one verify, for reading, shared with other readers
};

// What was found at the path.
enum ImageFinding : std::uint8_t {
    IMAGE_OPENED,    // `handle` is open
    IMAGE_ABSENT,    // no file, in an ordinary folder: a blank disk (made, empty, when asked to)
    IMAGE_REFUSED,   // nothing that can be a diskette image
    IMAGE_PROTECTED, // a file that may not be written
    IMAGE_BUSY,      // held by another program, or written by the console
    IMAGE_FAILED,    // the host failed
};

struct ImageFile {
    ImageFinding finding = IMAGE_FAILED;
    DriveCause cause = CAUSE_NONE; // why it was not opened, or opened read-only
    int system_error = 0;          // the host's reason, for CAUSE_CANNOT_OPEN and CAUSE_WINDOWS_ERROR
    ImageHandle handle = NO_IMAGE;
    bool read_only = false;        // open for reading only, or marked read-only: a write-protected disk
    long long size = 0;            // the file's size: when opened, or when refused for it
};

// A file not opened (or not usable after all): what was found, and why.
constexpr ImageFile not_opened(ImageFinding finding, DriveCause cause, long long size = 0, int system_error = 0)
{
    ImageFile image;
    image.finding = finding;
    image.cause = cause;
    image.system_error = system_error;
    image.size = size;
    return image;
}

// Looks at what is at `path` and opens it for `use`; with `create`, a missing
// image in an ordinary folder is made. Only a plain file of at most
// LARGEST_DISKETTE_BYTES is ever opened for writing, and nothing is made
// anywhere else.
ImageFile open_image_file(const char* path, ImageUse use, bool create);

// Reads `length` bytes from `offset` on, `buffer_size` at a time into `buffer`,
// keeping nothing. Returns the bytes read, fewer where the file ends, or -1.
long long read_image_file(ImageHandle handle, long long offset, std::size_t length, std::uint8_t* buffer,
                          std::size_t buffer_size);

// Writes all of `length` bytes at `offset`. Returns 1, or 0 when the host failed.
int write_image_file(ImageHandle handle, const void* bytes, std::size_t length, long long offset);

// The file's size as the host has it now, or -1.
long long image_file_size(ImageHandle handle);

// 1 while the file is still there (not removed since it was opened).
int image_file_present(ImageHandle handle);

// Puts what was written on the medium under the file. Returns 1, or 0.
int flush_image_file(ImageHandle handle);

// Closes the file. Returns 1, or 0 when the host reports a failure.
int close_image_file(ImageHandle handle);
