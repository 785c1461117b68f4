// The image drive's file access on POSIX hosts: the name walked one part at a
// time with descriptors that read nothing, a plain file opened through the
// object found, held with flock(2) and an open file description lock, read
// and written with pread and pwrite.
#if !defined(_WIN32)

#include "standin/image_file.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <linux/major.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#endif

#include "standin/posix_file.h"

namespace {

// A descriptor that names a file without reading or writing it: O_PATH where
// the system has it; elsewhere an open for reading that blocks on nothing.
#if defined(O_PATH)
constexpr int LOOK_ONLY = O_PATH;
#else
constexpr int LOOK_ONLY = O_RDONLY | O_NONBLOCK | O_NOCTTY;
#endif
constexpr int LOOK = LOOK_ONLY | O_NOFOLLOW | O_CLOEXEC;

// The most links one name may pass through, as the kernel allows.
constexpr int LINK_LIMIT = 40;

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
bool is_kernel_file_system(int descriptor)
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
    struct statfs file_system {};
    if (fstatfs(descriptor, &file_system) != 0)
        return false;
    for (unsigned long kernel : KERNEL_FILE_SYSTEMS)
        if (static_cast<unsigned long>(file_system.f_type) == kernel)
            return true;
#else
    (void)descriptor;
#endif
    return false;
}

// Whether a folder lies on the kernel's device file system: /dev, anything on
// its own mount, or a mount that the mount table lists as devtmpfs (or devpts). (statfs cannot tell:
// devtmpfs reports tmpfs's magic number, and /dev/shm is a tmpfs of its own.)
bool is_device_folder(const struct stat& folder)
{
    struct stat devices {};
    struct stat root {};
    if (stat("/dev", &devices) == 0 && devices.st_dev == folder.st_dev
        && ((devices.st_ino == folder.st_ino) || stat("/", &root) != 0 || root.st_dev != devices.st_dev))
        return true; // /dev itself, even without a mount of its own, or anything on its mount
#if defined(__linux__)
    std::FILE* mounts = std::fopen("/proc/self/mountinfo", "re");
    if (mounts == nullptr)
        return false;
    bool found = false;
    char line[4096];
    while (!found && std::fgets(line, sizeof line, mounts) != nullptr) {
        unsigned int major_number = 0;
        unsigned int minor_number = 0;
        const char* type = std::strstr(line, " - ");
        found = std::sscanf(line, "%*s %*s %u:%u", &major_number, &minor_number) == 2 && type != nullptr
                && major_number == major(folder.st_dev) && minor_number == minor(folder.st_dev)
                && (std::strncmp(type, " - devtmpfs ", 12) == 0 || std::strncmp(type, " - devpts ", 10) == 0);
    }
    std::fclose(mounts);
    return found;
#else
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

void close_if_open(int descriptor)
{
    if (descriptor >= 0)
        close(descriptor);
}

// Whether a link found in `folder` may be followed by this program: as the
// kernel's protected-links rule has it, whatever the machine's setting (in a
// world-writable sticky folder, only a link of the user's own or of the
// folder's owner), and for the administrator never another user's link.
bool may_follow(const struct stat& link, const struct stat& folder)
{
    uid_t user = geteuid();
    if (user == 0 && link.st_uid != 0)
        return false;
    bool shared_sticky = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return !shared_sticky || link.st_uid == user || link.st_uid == folder.st_uid;
}

// Every descriptor of a look is kept above the standard streams: where one
// of them is closed, a descriptor of ours in its place would read as the
// console itself.
int kept(int descriptor)
{
    if (descriptor < 0)
        return descriptor;
    int saved = errno;
    int moved = move_above_standard_streams(descriptor);
    if (moved >= 0)
        errno = saved;
    return moved;
}

// A walk along a name: the folder reached, the last part's name in it, and
// the object that name leads to (-1 when nothing is there).
struct Walk {
    FileKind refusal = FILE_PLAIN; // FILE_PLAIN: the walk reached the last part
    int error = 0;
    int folder = -1;
    int target = -1;
    char name[NAME_MAX + 1] = {};
    bool through_link = false; // the last part was reached through a link
};

// Walks `path` as the kernel would, one part at a time, each opened with
// O_NOFOLLOW from the descriptor of the folder before it, so that every link
// is seen and judged, and nothing found is opened for reading or writing.
Walk walk(const char* path)
{
    Walk result;
    char rest[PATH_MAX];
    if (std::strlen(path) >= sizeof rest) {
        result.refusal = FILE_NAME_TOO_LONG;
        return result;
    }
    std::strcpy(rest, path);
    int folder = kept(open(path[0] == '/' ? "/" : ".", LOOK_ONLY | O_DIRECTORY | O_CLOEXEC));
    int links = 0;
    std::size_t at = 0;
    bool last_via_link = false;
    while (folder >= 0) {
        while (rest[at] == '/')
            ++at;
        std::size_t end = at;
        while (rest[end] != '\0' && rest[end] != '/')
            ++end;
        std::size_t next = end;
        while (rest[next] == '/')
            ++next;
        bool last = rest[next] == '\0';
        bool wants_folder = rest[end] == '/';
        std::size_t length = end - at;
        char part[NAME_MAX + 1];
        if (length > NAME_MAX) {
            result.refusal = FILE_NAME_TOO_LONG;
            break;
        }
        std::memcpy(part, rest + at, length);
        part[length] = '\0';
        if (length == 0)
            std::strcpy(part, "."); // the name was "/" or ended in slashes
        int found = kept(openat(folder, part, LOOK));
        if (found < 0) {
            int error = errno;
            if (error == ENOENT && last && !wants_folder) {
                result.folder = folder;
                std::strcpy(result.name, part);
                result.through_link = last_via_link;
                return result;
            }
            result.refusal = error == ENOENT ? (last_via_link ? FILE_DANGLING_LINK : FILE_NO_FOLDER)
                             : error == ENOTDIR      ? FILE_NOT_A_FOLDER
                             : error == ENAMETOOLONG ? FILE_NAME_TOO_LONG
                                                     : FILE_UNREACHABLE;
            result.error = error;
            break;
        }
        struct stat status {};
        struct stat folder_status {};
        if (fstat(found, &status) != 0 || fstat(folder, &folder_status) != 0) {
            result.error = errno;
            result.refusal = FILE_UNREACHABLE;
            close(found);
            break;
        }
        if (S_ISLNK(status.st_mode)) {
            char target[PATH_MAX];
            ssize_t target_length = readlinkat(found, "", target, sizeof target);
            close(found);
            if (!may_follow(status, folder_status)) {
                result.refusal = FILE_FOREIGN_LINK;
                break;
            }
            std::size_t left = std::strlen(rest + end);
            if (++links > LINK_LIMIT || target_length < 0 || static_cast<std::size_t>(target_length) + left >= sizeof rest) {
                result.error = target_length < 0 ? errno : ELOOP;
                result.refusal = FILE_UNREACHABLE;
                break;
            }
            // The link's target takes its place; what followed it follows.
            std::memmove(rest + target_length, rest + end, left + 1);
            std::memcpy(rest, target, static_cast<std::size_t>(target_length));
            at = 0;
            last_via_link = last_via_link || last; // what is left is the last part's target
            if (target_length > 0 && target[0] == '/') {
                close(folder);
                folder = kept(open("/", LOOK_ONLY | O_DIRECTORY | O_CLOEXEC));
            }
            if (target_length == 0) {
                result.error = ENOENT;
                result.refusal = FILE_DANGLING_LINK;
                break;
            }
            continue;
        }
        if (last) {
            if (wants_folder && !S_ISDIR(status.st_mode)) {
                close(found);
                result.refusal = FILE_NOT_A_FOLDER;
                break;
            }
            result.folder = folder;
            result.target = found;
            std::strcpy(result.name, part);
            result.through_link = last_via_link;
            return result;
        }
        if (!S_ISDIR(status.st_mode)) {
            close(found);
            result.refusal = FILE_NOT_A_FOLDER;
            break;
        }
        close(folder);
        folder = found;
        at = next;
    }
    if (folder < 0 && result.refusal == FILE_PLAIN) {
        result.error = errno;
        result.refusal = FILE_UNREACHABLE;
    }
    close_if_open(folder);
    return result;
}

// The other program's lock, or ours: flock(2), as the earlier runs and most
// tools take it, and a lock of the open file description over the whole file,
// which is what QEMU takes (record locks), so that each keeps out the other.
bool take_locks(int descriptor, bool writable)
{
    if (flock(descriptor, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return false; // any other failure: a file system without such locks holds no one's
#if defined(F_OFD_SETLK)
    struct flock record {};
    record.l_type = writable ? F_WRLCK : F_RDLCK;
    record.l_whence = SEEK_SET;
    record.l_start = 0;
    record.l_len = 0; // to the end, however far the file grows
    if (fcntl(descriptor, F_OFD_SETLK, &record) != 0)
        return errno != EAGAIN && errno != EACCES; // likewise
#else
    (void)writable;
#endif
    return true;
}

// The facts of a plain file found at `found`.
ImageFile open_plain_file(int found, bool created)
{
    ImageFile image;
    image.kind = FILE_PLAIN;
    image.created = created;
    int descriptor = reopen_found(found, O_RDWR | O_NONBLOCK);
    bool writable = descriptor >= 0;
    if (!writable && is_write_protection(errno)) {
        image.system_error = errno;
        image.write_refused = true;
        descriptor = reopen_found(found, O_RDONLY | O_NONBLOCK);
    }
    if (descriptor < 0) {
        image.kind = FILE_UNREACHABLE;
        image.system_error = errno;
        return image;
    }
    descriptor = kept(descriptor);
    struct stat looked {};
    struct stat opened {};
    if (descriptor < 0 || fstat(found, &looked) != 0 || fstat(descriptor, &opened) != 0
        || looked.st_dev != opened.st_dev || looked.st_ino != opened.st_ino || !S_ISREG(opened.st_mode)) {
        image.kind = FILE_UNREACHABLE;
        image.system_error = descriptor < 0 ? errno : ESTALE;
        close_if_open(descriptor);
        return image;
    }
    image.console = is_console(opened);
    image.held_elsewhere = !take_locks(descriptor, writable);
    // Whatever the umask, the disk just made is writable by its maker.
    constexpr mode_t OWNER_READ_WRITE = S_IRUSR | S_IWUSR;
    if (created && (opened.st_mode & OWNER_READ_WRITE) != OWNER_READ_WRITE
        && fchmod(descriptor, (opened.st_mode & 07777) | OWNER_READ_WRITE) == 0)
        opened.st_mode |= OWNER_READ_WRITE;
    if (fstat(descriptor, &opened) == 0) // the size as the last lock holder left it
        image.size = static_cast<long long>(opened.st_size);
    image.writable = writable && has_write_permission(opened);
    image.handle = descriptor;
    return image;
}

// What an object found is, and for a plain file, its facts once opened.
ImageFile look_at(int found, bool open_plain)
{
    ImageFile image;
    struct stat status {};
    if (fstat(found, &status) != 0) {
        image.system_error = errno;
        return image;
    }
    if (S_ISDIR(status.st_mode)) {
        image.kind = FILE_FOLDER;
    } else if (S_ISBLK(status.st_mode)) {
#if defined(__linux__)
        if (major(status.st_rdev) == FLOPPY_MAJOR) {
            image.kind = FILE_FLOPPY_DRIVE;
            if (!open_plain) {
                close(found);
                return image;
            }
            image.handle = found; // kept for the floppy drive to open
            return image;
        }
#endif
        image.kind = FILE_BLOCK_DEVICE;
    } else if (!S_ISREG(status.st_mode)) {
        image.kind = FILE_DEVICE;
    } else if (is_kernel_file_system(found)) {
        image.kind = FILE_KERNEL_FILE;
    } else if (open_plain) {
        image = open_plain_file(found, false);
    } else {
        image.kind = FILE_PLAIN;
        image.size = static_cast<long long>(status.st_size);
    }
    close(found);
    return image;
}

// Looks at `path`; with `open_plain`, opens what is found there, and with
// `create` makes a missing image.
ImageFile find_image_file(const char* path, bool open_plain, bool create)
{
    ImageFile image;
    // A file that appears between the look and the making is looked at again,
    // by the same rules, never followed.
    for (int attempt = 0; attempt < 2; ++attempt) {
        Walk found = walk(path);
        if (found.refusal != FILE_PLAIN) {
            image = ImageFile{};
            image.kind = found.refusal;
            image.system_error = found.error;
            return image;
        }
        if (found.target >= 0) {
            close(found.folder);
            return look_at(found.target, open_plain);
        }
        image = ImageFile{};
        struct stat folder {};
        if (found.through_link)
            image.kind = FILE_DANGLING_LINK;
        else if (fstat(found.folder, &folder) == 0 && is_device_folder(folder))
            image.kind = FILE_IN_DEVICE_FOLDER;
        else
            image.kind = FILE_MISSING;
        if (image.kind != FILE_MISSING || !create) {
            close(found.folder);
            return image;
        }
        // Made in the folder that was looked at, and only where nothing is.
        int made = kept(openat(found.folder, found.name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666));
        int error = errno;
        if (made < 0 && error == EEXIST) {
            close(found.folder);
            continue;
        }
        close(found.folder);
        if (made < 0) {
            image.system_error = error;
            image.write_refused = is_write_protection(error);
            return image;
        }
        ImageFile plain = open_plain_file(made, true);
        close(made);
        return plain;
    }
    return image; // made and gone twice over: as missing
}

} // namespace

ImageFile open_image_file(const char* path, bool create)
{
#if defined(SIGXFSZ)
    // A file-size limit shows as a failed write, never as the end of the process.
    static bool file_size_signal_ignored = (std::signal(SIGXFSZ, SIG_IGN), true);
    (void)file_size_signal_ignored;
#endif
    return find_image_file(path, true, create);
}

ImageFile look_at_image_file(const char* path)
{
    return find_image_file(path, false, false);
}

long long read_image_file(ImageHandle handle, long long offset, std::size_t length, std::uint8_t* buffer,
                          std::size_t buffer_size)
{
    return read_back(static_cast<int>(handle), offset, length, buffer, buffer_size);
}

int write_image_file(ImageHandle handle, const void* bytes, std::size_t length, long long offset, int* system_error)
{
    const auto* next = static_cast<const std::uint8_t*>(bytes);
    while (length > 0) {
        ssize_t written = pwrite(static_cast<int>(handle), next, length, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            *system_error = written < 0 ? errno : ENOSPC;
            return 0;
        }
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

int truncate_image_file(ImageHandle handle, long long size)
{
    return ftruncate(static_cast<int>(handle), static_cast<off_t>(size)) == 0 ? 1 : 0;
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

void describe_system_error(int system_error, char* text, std::size_t size)
{
    std::snprintf(text, size, "%s", std::strerror(system_error));
}

#endif
