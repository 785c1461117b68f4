// The image drive's file access on POSIX hosts: what is at the path, opened
// with open(2), held with flock(2), read and written with pread and pwrite.
#if !defined(_WIN32)

#include "standin/image_file.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include "standin/posix_file.h"

namespace {

bool is_write_protection(int error)
{
    return error == EACCES || error == EPERM || error == EROFS || error == ETXTBSY;
}

// A read-only image is a disk with its write-protect tab open, even for a
// user whom the file system would let write.
bool has_write_permission(const struct stat& status)
{
    return (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

// Files of the kernel's own file systems look like regular files of size 0,
// but hold the kernel's values (a host name, another process's memory): no
// disk, whatever their names.
bool is_kernel_file_system(unsigned long type)
{
#if defined(__linux__)
    constexpr unsigned long CONFIGFS_MAGIC = 0x62656570;      // not in <linux/magic.h>
    constexpr unsigned long FUSECTL_SUPER_MAGIC = 0x65735543; // likewise
    constexpr unsigned long MQUEUE_MAGIC = 0x19800202;        // likewise
    constexpr unsigned long KERNEL_FILE_SYSTEMS[] = {
        PROC_SUPER_MAGIC, SYSFS_MAGIC, DEBUGFS_MAGIC, SECURITYFS_MAGIC, CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC,
        TRACEFS_MAGIC, CONFIGFS_MAGIC, BPF_FS_MAGIC, PSTOREFS_MAGIC, EFIVARFS_MAGIC, SELINUX_MAGIC, SMACK_MAGIC,
        BINFMTFS_MAGIC, NSFS_MAGIC, RDTGROUP_SUPER_MAGIC, FUSECTL_SUPER_MAGIC, MQUEUE_MAGIC, ANON_INODE_FS_MAGIC,
    };
    for (unsigned long kernel : KERNEL_FILE_SYSTEMS)
        if (type == kernel)
            return true;
#else
    (void)type;
#endif
    return false;
}

bool on_kernel_file_system(const char* path)
{
#if defined(__linux__)
    struct statfs file_system {};
    return statfs(path, &file_system) == 0 && is_kernel_file_system(static_cast<unsigned long>(file_system.f_type));
#else
    (void)path;
    return false;
#endif
}

bool opened_on_kernel_file_system(int descriptor)
{
#if defined(__linux__)
    struct statfs file_system {};
    return fstatfs(descriptor, &file_system) == 0
           && is_kernel_file_system(static_cast<unsigned long>(file_system.f_type));
#else
    (void)descriptor;
    return false;
#endif
}

// Standard output or error written into the image itself: the console is
// using the disk.
bool is_console(const struct stat& image)
{
    for (int stream : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat console {};
        if (fstat(stream, &console) == 0 && console.st_dev == image.st_dev && console.st_ino == image.st_ino)
            return true;
    }
    return false;
}

// The folder that would hold `path`, into `folder`; false when it does not fit.
bool folder_of(const char* path, char (&folder)[PATH_MAX])
{
    const char* last_slash = std::strrchr(path, '/');
    if (last_slash == nullptr) {
        std::strcpy(folder, ".");
        return true;
    }
    // "/image" lies in the root folder.
    std::size_t length = last_slash == path ? 1 : static_cast<std::size_t>(last_slash - path);
    if (length >= sizeof folder)
        return false;
    std::memcpy(folder, path, length);
    folder[length] = '\0';
    return true;
}

// The kernel's device folder, /dev, and every folder below it or on the same
// device file system mounted elsewhere: a name there that is missing is a
// device that is not there, never a place for a new image.
bool is_device_folder(const char* folder, const struct stat& status)
{
    char resolved[PATH_MAX];
    if (realpath(folder, resolved) != nullptr
        && (std::strcmp(resolved, "/dev") == 0 || std::strncmp(resolved, "/dev/", 5) == 0))
        return true;
    struct stat devices {};
    struct stat root {};
    return stat("/dev", &devices) == 0 && stat("/", &root) == 0 && devices.st_dev != root.st_dev
           && status.st_dev == devices.st_dev;
}

// A floppy drive's name in the device folder: /dev/fd0 and the like.
bool names_a_floppy_drive(const char* path)
{
    const char* last_slash = std::strrchr(path, '/');
    const char* name = last_slash != nullptr ? last_slash + 1 : path;
    return name[0] == 'f' && name[1] == 'd';
}

// What a path that is not there means: a blank disk in an ordinary folder, or
// no disk at all.
ImageFile look_at_missing(const char* path, int error)
{
    ImageFile image;
    image.finding = IMAGE_REFUSED;
    struct stat link {};
    char folder[PATH_MAX];
    struct stat folder_status {};
    if (error != ENOENT && error != ENOTDIR) {
        image.cause = CAUSE_CANNOT_OPEN;
        image.system_error = error;
    } else if (lstat(path, &link) == 0) {
        image.cause = CAUSE_DANGLING_LINK;
    } else if (!folder_of(path, folder) || stat(folder, &folder_status) != 0 || !S_ISDIR(folder_status.st_mode)) {
        image.cause = CAUSE_NO_FOLDER;
    } else if (is_device_folder(folder, folder_status)) {
        image.cause = names_a_floppy_drive(path) ? CAUSE_NO_FLOPPY_DRIVER : CAUSE_NO_DEVICE;
    } else {
        image.finding = IMAGE_ABSENT;
    }
    return image;
}

// What a path that is there but no plain file of a diskette's size is.
DriveCause refusal_of(const struct stat& status)
{
    if (S_ISDIR(status.st_mode))
        return CAUSE_FOLDER;
    if (S_ISBLK(status.st_mode))
        return CAUSE_NOT_FLOPPY_DRIVE;
    if (!S_ISREG(status.st_mode))
        return CAUSE_DEVICE;
    if (status.st_size > LARGEST_DISKETTE_BYTES)
        return CAUSE_TOO_LARGE;
    return CAUSE_NONE;
}

ImageFile cannot_open(int error)
{
    return not_opened(IMAGE_REFUSED, CAUSE_CANNOT_OPEN, 0, error);
}

// Opens the file found (or makes it, `creating`): read and write, else for
// reading only where a lock or a verify may do with that. Sets `read_only`.
int open_descriptor(const char* path, ImageUse use, bool* creating, bool* read_only, int* error)
{
    constexpr int COMMON = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    *read_only = use == USE_VERIFY;
    if (*read_only)
        return open(path, O_RDONLY | COMMON);
    // A new image is made only where none is, so that the one made is known.
    int descriptor = open(path, O_RDWR | COMMON | (*creating ? O_CREAT | O_EXCL : 0), 0666);
    if (descriptor < 0 && *creating && errno == EEXIST) {
        *creating = false; // made by another program a moment ago
        descriptor = open(path, O_RDWR | COMMON);
    }
    if (descriptor < 0 && use == USE_LOCK && is_write_protection(errno)) {
        descriptor = open(path, O_RDONLY | COMMON);
        *read_only = true;
    }
    *error = errno;
    return descriptor;
}

} // namespace

ImageFile open_image_file(const char* path, ImageUse use, bool create)
{
#if defined(SIGXFSZ)
    // A file-size limit shows as a failed write (a controller failure), never
    // as the end of the process.
    static bool file_size_signal_ignored = (std::signal(SIGXFSZ, SIG_IGN), true);
    (void)file_size_signal_ignored;
#endif
    struct stat status {};
    bool exists = stat(path, &status) == 0;
    if (!exists) {
        ImageFile missing = look_at_missing(path, errno);
        if (missing.finding != IMAGE_ABSENT || !create)
            return missing;
    } else if (DriveCause cause = refusal_of(status); cause != CAUSE_NONE) {
        return not_opened(IMAGE_REFUSED, cause, static_cast<long long>(status.st_size));
    } else if (on_kernel_file_system(path)) {
        return not_opened(IMAGE_REFUSED, CAUSE_KERNEL_FILE);
    } else if (use == USE_WRITE && !has_write_permission(status)) {
        return not_opened(IMAGE_PROTECTED, CAUSE_READ_ONLY);
    }

    bool creating = !exists;
    bool read_only = false;
    int error = 0;
    int descriptor = open_descriptor(path, use, &creating, &read_only, &error);
    if (descriptor < 0)
        return is_write_protection(error) ? not_opened(IMAGE_PROTECTED, CAUSE_READ_ONLY) : cannot_open(error);
    descriptor = move_above_standard_streams(descriptor);
    if (descriptor < 0)
        return not_opened(IMAGE_FAILED, CAUSE_NONE);

    // What was opened may not be what was looked at a moment ago.
    ImageFile image = not_opened(IMAGE_FAILED, CAUSE_NONE);
    bool usable = false;
    if (fstat(descriptor, &status) != 0)
        image = not_opened(IMAGE_FAILED, CAUSE_NONE);
    else if (DriveCause cause = refusal_of(status); cause != CAUSE_NONE)
        image = not_opened(IMAGE_REFUSED, cause, static_cast<long long>(status.st_size));
    else if (opened_on_kernel_file_system(descriptor))
        image = not_opened(IMAGE_REFUSED, CAUSE_KERNEL_FILE);
    else if (is_console(status))
        image = not_opened(IMAGE_BUSY, CAUSE_CONSOLE);
    // The lock itself, or a probe that this one service may go on: a verify
    // shares the disk with other readers, but not with another program's lock.
    else if (flock(descriptor, (use == USE_VERIFY ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0)
        image = errno == EWOULDBLOCK ? not_opened(IMAGE_BUSY, CAUSE_IN_USE) : not_opened(IMAGE_FAILED, CAUSE_NONE);
    else if (fstat(descriptor, &status) != 0) // the size as the last lock holder left it
        image = not_opened(IMAGE_FAILED, CAUSE_NONE);
    else
        usable = true;
    if (!usable) {
        close(descriptor);
        return image;
    }

    // Whatever the umask, the disk just made is writable by its maker.
    constexpr mode_t OWNER_READ_WRITE = S_IRUSR | S_IWUSR;
    if (creating && (status.st_mode & OWNER_READ_WRITE) != OWNER_READ_WRITE
        && fchmod(descriptor, (status.st_mode & 07777) | OWNER_READ_WRITE) == 0)
        status.st_mode |= OWNER_READ_WRITE;

    image.finding = IMAGE_OPENED;
    image.handle = descriptor;
    image.read_only = read_only || !has_write_permission(status);
    image.size = static_cast<long long>(status.st_size);
    if (use == USE_LOCK && image.read_only)
        image.cause = CAUSE_READ_ONLY;
    return image;
}

long long read_image_file(ImageHandle handle, long long offset, std::size_t length, std::uint8_t* buffer,
                          std::size_t buffer_size)
{
    return read_back(static_cast<int>(handle), offset, length, buffer, buffer_size);
}

int write_image_file(ImageHandle handle, const void* bytes, std::size_t length, long long offset)
{
    const auto* next = static_cast<const std::uint8_t*>(bytes);
    while (length > 0) {
        ssize_t written = pwrite(static_cast<int>(handle), next, length, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return 0;
        next += written;
        length -= static_cast<std::size_t>(written);
        offset += written;
    }
    return 1;
}

long long image_file_size(ImageHandle handle)
{
    struct stat status {};
    return fstat(static_cast<int>(handle), &status) == 0 ? static_cast<long long>(status.st_size) : -1;
}

int image_file_present(ImageHandle handle)
{
    struct stat status {};
    return fstat(static_cast<int>(handle), &status) == 0 && status.st_nlink > 0 ? 1 : 0;
}

int flush_image_file(ImageHandle handle)
{
    return fdatasync(static_cast<int>(handle)) == 0 ? 1 : 0;
}

int close_image_file(ImageHandle handle)
{
    return close(static_cast<int>(handle)) == 0 ? 1 : 0;
}

#endif
