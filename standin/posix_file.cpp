// Helpers of the stand-in's drives on POSIX hosts: descriptors kept off the
// console, opened through what was found, and reading back without keeping.
#include "standin/posix_file.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/major.h>
#include <sys/sysmacros.h>

#include "standin/drive.h"
#endif

int move_above_standard_streams(int descriptor)
{
    if (descriptor > STDERR_FILENO)
        return descriptor;
    int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(descriptor);
    return moved;
}

int reopen_found(int found, int flags)
{
#if defined(O_PATH)
    // The descriptor's own entry leads to the object itself, whatever has
    // become of its name.
    char own[64];
    std::snprintf(own, sizeof own, "/proc/self/fd/%d", found);
    return open(own, flags | O_CLOEXEC | O_NOCTTY);
#else
    (void)flags;
    return fcntl(found, F_DUPFD_CLOEXEC, 0); // found open for reading already
#endif
}

long long read_back(int descriptor, long long offset, std::size_t length, std::uint8_t* buffer,
                    std::size_t buffer_size)
{
    long long done = 0;
    while (static_cast<std::size_t>(done) < length) {
        std::size_t left = length - static_cast<std::size_t>(done);
        ssize_t read_bytes = pread(descriptor, buffer, left < buffer_size ? left : buffer_size, offset + done);
        if (read_bytes < 0 && errno == EINTR)
            continue;
        if (read_bytes < 0)
            return -1;
        if (read_bytes == 0)
            break; // the end of the disk
        done += read_bytes;
    }
    return done;
}

#if defined(__linux__)
bool names_floppy_drive(const char* path)
{
    struct stat status {};
    return stat(path, &status) == 0 && S_ISBLK(status.st_mode) && major(status.st_rdev) == FLOPPY_MAJOR;
}
#endif
