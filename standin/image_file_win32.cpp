// The image drive's file access on Windows: what is at the path, opened with
// CreateFileA and held by sharing it with nobody, read and written with
// SetFilePointer, ReadFile and WriteFile, as every Windows from 95 on has them.
#if defined(_WIN32)

#include "standin/image_file.h"

#include <cstring>
#include <initializer_list>

#include <windows.h>

namespace {

bool is_slash(char character)
{
    return character == '\\' || character == '/';
}

char upper(char character)
{
    return character >= 'a' && character <= 'z' ? static_cast<char>(character - 'a' + 'A') : character;
}

// \\.\ and \\?\ (either slash) name raw disks, volumes, pipes and the like, or
// pass a name past Windows' checks; \??\ is the system's own form.
bool is_device_namespace(const char* path)
{
    bool win32_form = is_slash(path[0]) && is_slash(path[1]) && (path[2] == '.' || path[2] == '?') && is_slash(path[3]);
    bool system_form = path[0] == '\\' && path[1] == '?' && path[2] == '?' && path[3] == '\\';
    return win32_form || system_form;
}

// The names Windows keeps for its devices in every folder, with any
// extension: CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, CONIN$ and CONOUT$
// (trailing blanks do not count, and COM and LPT take the superscript digits
// 1, 2 and 3 too).
bool is_reserved_name(const char* path)
{
    const char* name = path;
    for (const char* next = path; *next != '\0'; ++next)
        if (is_slash(*next) || *next == ':')
            name = next + 1;
    char stem[8] = {};
    std::size_t length = 0;
    for (; name[length] != '\0' && name[length] != '.' && name[length] != ':'; ++length) {
        if (length == sizeof stem - 1)
            return false;
        stem[length] = upper(name[length]);
    }
    while (length > 0 && stem[length - 1] == ' ')
        stem[--length] = '\0';
    for (const char* reserved : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (std::strcmp(stem, reserved) == 0)
            return true;
    bool numbered = std::strncmp(stem, "COM", 3) == 0 || std::strncmp(stem, "LPT", 3) == 0;
    auto digit = static_cast<unsigned char>(stem[3]);
    bool port_digit = (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
    return numbered && length == 4 && port_digit;
}

// A drive's root or the current drive's: "C:", "C:\", "\".
bool is_drive_root(const char* path)
{
    if (is_slash(path[0]) && path[1] == '\0')
        return true;
    return path[0] != '\0' && path[1] == ':' && (path[2] == '\0' || (is_slash(path[2]) && path[3] == '\0'));
}

ImageFile windows_error(DWORD error)
{
    return not_opened(IMAGE_REFUSED, CAUSE_WINDOWS_ERROR, 0, static_cast<int>(error));
}

// Whether the folder that would hold `path` is there.
bool folder_exists(const char* path)
{
    char full[MAX_PATH];
    char* name = nullptr;
    DWORD length = GetFullPathNameA(path, sizeof full, full, &name);
    if (length == 0 || length >= sizeof full || name == nullptr || name == full)
        return false;
    *name = '\0'; // the folder, its slash kept, so that a drive's root stays one
    DWORD attributes = GetFileAttributesA(full);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// What a path that is not there means: a blank disk in an existing folder, or
// no disk at all.
ImageFile look_at_missing(const char* path, DWORD error)
{
    if (error == ERROR_FILE_NOT_FOUND && folder_exists(path))
        return not_opened(IMAGE_ABSENT, CAUSE_NONE);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return not_opened(IMAGE_REFUSED, CAUSE_NO_FOLDER);
    return windows_error(error);
}

bool is_protection(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
}

HANDLE open_handle(const char* path, bool read_only, ImageUse use, DWORD disposition)
{
    DWORD access = GENERIC_READ | (read_only ? 0 : GENERIC_WRITE);
    // Shared with nobody: the lock, or one service alone; a verify shares the
    // file with other readers.
    DWORD share = use == USE_VERIFY ? FILE_SHARE_READ : 0;
    return CreateFileA(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE handle_of(ImageHandle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

bool seek(ImageHandle handle, long long offset)
{
    SetLastError(NO_ERROR);
    DWORD position = SetFilePointer(handle_of(handle), static_cast<LONG>(offset), nullptr, FILE_BEGIN);
    return position != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
}

} // namespace

ImageFile open_image_file(const char* path, ImageUse use, bool create)
{
    // Device names are never opened at all.
    if (is_device_namespace(path) || is_reserved_name(path))
        return not_opened(IMAGE_REFUSED, CAUSE_DEVICE);
    if (is_drive_root(path))
        return not_opened(IMAGE_REFUSED, CAUSE_FOLDER);

    DWORD attributes = GetFileAttributesA(path);
    bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists) {
        ImageFile missing = look_at_missing(path, GetLastError());
        if (missing.finding != IMAGE_ABSENT || !create)
            return missing;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return not_opened(IMAGE_REFUSED, CAUSE_FOLDER);
    }
    // A file marked read-only is a write-protected disk, even where the
    // system would let it be opened for writing.
    bool read_only = use == USE_VERIFY || (exists && (attributes & FILE_ATTRIBUTE_READONLY) != 0);
    if (use == USE_WRITE && read_only)
        return not_opened(IMAGE_PROTECTED, CAUSE_READ_ONLY);

    HANDLE file = open_handle(path, read_only, use, exists ? OPEN_EXISTING : CREATE_NEW);
    DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : NO_ERROR;
    if (file == INVALID_HANDLE_VALUE && !exists && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)) {
        file = open_handle(path, read_only, use, OPEN_EXISTING); // made by another program a moment ago
        error = file == INVALID_HANDLE_VALUE ? GetLastError() : NO_ERROR;
    }
    if (file == INVALID_HANDLE_VALUE && use == USE_LOCK && is_protection(error)) {
        read_only = true;
        file = open_handle(path, read_only, use, OPEN_EXISTING);
        error = file == INVALID_HANDLE_VALUE ? GetLastError() : NO_ERROR;
    }
    if (file == INVALID_HANDLE_VALUE) {
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
            return not_opened(IMAGE_BUSY, CAUSE_IN_USE);
        if (is_protection(error) && use == USE_WRITE)
            return not_opened(IMAGE_PROTECTED, CAUSE_READ_ONLY);
        return windows_error(error);
    }

    // Only a plain disk file is a diskette image: what was opened may be a
    // device after all.
    ImageFile image;
    long long size = image_file_size(reinterpret_cast<ImageHandle>(file));
    if (GetFileType(file) != FILE_TYPE_DISK)
        image = not_opened(IMAGE_REFUSED, CAUSE_DEVICE);
    else if (size < 0)
        image = not_opened(IMAGE_FAILED, CAUSE_NONE);
    else if (size > LARGEST_DISKETTE_BYTES)
        image = not_opened(IMAGE_REFUSED, CAUSE_TOO_LARGE, size);
    else {
        image.finding = IMAGE_OPENED;
        image.handle = reinterpret_cast<ImageHandle>(file);
        image.read_only = read_only;
        image.size = size;
        if (use == USE_LOCK && read_only)
            image.cause = CAUSE_READ_ONLY;
        return image;
    }
    CloseHandle(file);
    return image;
}

long long read_image_file(ImageHandle handle, long long offset, std::size_t length, std::uint8_t* buffer,
                          std::size_t buffer_size)
{
    if (!seek(handle, offset))
        return -1;
    long long done = 0;
    while (static_cast<std::size_t>(done) < length) {
        std::size_t left = length - static_cast<std::size_t>(done);
        DWORD read_bytes = 0;
        if (!ReadFile(handle_of(handle), buffer, static_cast<DWORD>(left < buffer_size ? left : buffer_size),
                      &read_bytes, nullptr))
            return -1;
        if (read_bytes == 0)
            break; // the end of the disk
        done += read_bytes;
    }
    return done;
}

int write_image_file(ImageHandle handle, const void* bytes, std::size_t length, long long offset)
{
    if (!seek(handle, offset))
        return 0;
    const auto* next = static_cast<const std::uint8_t*>(bytes);
    while (length > 0) {
        DWORD written = 0;
        if (!WriteFile(handle_of(handle), next, static_cast<DWORD>(length), &written, nullptr) || written == 0)
            return 0;
        next += written;
        length -= written;
    }
    return 1;
}

// GetFileSize leaves the last error as it was when it succeeds, and the
// low word of a size can be INVALID_FILE_SIZE: only a new error is a failure.
long long image_file_size(ImageHandle handle)
{
    SetLastError(NO_ERROR);
    DWORD size = GetFileSize(handle_of(handle), nullptr);
    return size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR ? -1 : static_cast<long long>(size);
}

// A file that this program holds open, shared with nobody, cannot be removed.
int image_file_present(ImageHandle)
{
    return 1;
}

int flush_image_file(ImageHandle handle)
{
    return FlushFileBuffers(handle_of(handle)) ? 1 : 0;
}

int close_image_file(ImageHandle handle)
{
    return CloseHandle(handle_of(handle)) ? 1 : 0;
}

#endif
