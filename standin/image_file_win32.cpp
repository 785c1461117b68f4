// The image drive's file access on Windows: the facts of what is at drive A:'s
// name, learnt from the handle CreateFileA opened there, never from the name
// again; the file held by sharing it with nobody, read and written with
// SetFilePointer, ReadFile and WriteFile, as every Windows from 95 on has them.
#if defined(_WIN32)

#include "standin/image_file.h"

#include <cstdio>
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

// A drive's root or a drive letter alone: "C:", "C:\", "\".
bool is_drive(const char* path)
{
    if (is_slash(path[0]) && path[1] == '\0')
        return true;
    return path[0] != '\0' && path[1] == ':' && (path[2] == '\0' || (is_slash(path[2]) && path[3] == '\0'));
}

// The longest name of one file or folder that Windows' file systems keep.
constexpr std::size_t LONGEST_NAME = 255;

bool has_overlong_part(const char* path)
{
    std::size_t part = 0;
    for (const char* next = path; *next != '\0'; ++next) {
        part = is_slash(*next) ? 0 : part + 1;
        if (part > LONGEST_NAME)
            return true;
    }
    return false;
}

bool is_protection(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
}

HANDLE handle_of(ImageHandle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

ImageFile facts(FileKind kind, DWORD error = NO_ERROR)
{
    ImageFile image;
    image.kind = kind;
    image.system_error = static_cast<int>(error);
    return image;
}

// A failure to open that says what the name is; anything else the system
// does not explain.
ImageFile failed_open(DWORD error)
{
    return facts(error == ERROR_FILENAME_EXCED_RANGE ? FILE_NAME_TOO_LONG : FILE_UNREACHABLE, error);
}

// What the folder named by `full` up to `end` is: `there` when it is a
// folder, FILE_NOT_A_FOLDER for a file, FILE_NO_FOLDER when nothing is there.
// It is looked at without its final slash, so that a file named as a folder
// is found; a drive's root keeps it.
ImageFile look_at_folder(char* full, char* end, FileKind there)
{
    while (end - full > 1 && is_slash(end[-1]) && end[-2] != ':')
        --end;
    char kept = *end;
    *end = '\0';
    DWORD attributes = GetFileAttributesA(full);
    DWORD error = GetLastError();
    *end = kept;
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return facts((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? there : FILE_NOT_A_FOLDER);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return facts(FILE_NO_FOLDER);
    return failed_open(error); // a network path that is not there, and the like
}

long long size_of(const BY_HANDLE_FILE_INFORMATION& information)
{
    return static_cast<long long>(static_cast<unsigned long long>(information.nFileSizeHigh) << 32
                                  | information.nFileSizeLow);
}

// Which file a handle reaches: the serial number of its volume (0 where the
// system does not say) and the file's number on that volume.
struct FileIdentity {
    DWORD volume = 0;
    unsigned long long number = 0;
};

FileIdentity identity_of(const BY_HANDLE_FILE_INFORMATION& information)
{
    return {information.dwVolumeSerialNumber,
            static_cast<unsigned long long>(information.nFileIndexHigh) << 32 | information.nFileIndexLow};
}

// GetFileInformationByHandleEx's FILE_ID_INFO, whose number's first eight
// bytes are the file index.
struct FileIdInformation {
    ULONGLONG volume;
    BYTE number[16];
};
constexpr int FILE_ID_INFO_CLASS = 18;
using FileInformationQuery = BOOL(WINAPI*)(HANDLE, int, void*, DWORD);

// A handle's file, for one that GetFileInformationByHandle cannot tell:
// Windows Vista and later (and Wine, for a file that the shell under it
// opened) say it through GetFileInformationByHandleEx, which is looked up
// by name, so that the program still starts on Windows 95.
bool identify_by_id(HANDLE file, FileIdentity* identity)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "GetFileInformationByHandleEx") : nullptr;
    FileInformationQuery query = nullptr;
    static_assert(sizeof query == sizeof found);
    std::memcpy(&query, &found, sizeof query);
    FileIdInformation information{};
    if (query == nullptr || query(file, FILE_ID_INFO_CLASS, &information, sizeof information) == 0)
        return false;
    identity->volume = static_cast<DWORD>(information.volume & 0xFFFFFFFFu);
    identity->number = 0;
    for (int index = 7; index >= 0; --index)
        identity->number = identity->number << 8 | information.number[index];
    return true;
}

// Standard output or error writes into the file `image` is: the same number
// on the same volume.
bool is_console(const FileIdentity& image)
{
    for (DWORD stream : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE console = GetStdHandle(stream);
        if (console == INVALID_HANDLE_VALUE || console == nullptr || GetFileType(console) != FILE_TYPE_DISK)
            continue;
        BY_HANDLE_FILE_INFORMATION information{};
        FileIdentity written;
        if (GetFileInformationByHandle(console, &information) != 0)
            written = identity_of(information);
        else if (!identify_by_id(console, &written))
            continue;
        bool same_volume = written.volume == image.volume || written.volume == 0 || image.volume == 0;
        if (same_volume && written.number == image.number)
            return true;
    }
    return false;
}

// The facts of what CreateFileA opened: kept open only when it is a plain
// disk file. `write_error` is why it was opened for reading only.
ImageFile opened(HANDLE file, bool for_writing, DWORD write_error, bool created)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return facts(FILE_DEVICE);
    }
    if (GetFileInformationByHandle(file, &information) == 0) {
        DWORD error = GetLastError();
        CloseHandle(file);
        return facts(FILE_UNREACHABLE, error);
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(file);
        return facts(FILE_FOLDER);
    }
    ImageFile image = facts(FILE_PLAIN, write_error);
    image.handle = reinterpret_cast<ImageHandle>(file);
    image.created = created;
    // Marked read-only, it is not to be written, even where the system let
    // it be opened for writing.
    image.writable = for_writing && (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
    image.write_refused = write_error != NO_ERROR;
    image.console = is_console(identity_of(information));
    image.size = size_of(information);
    return image;
}

// An open that reads and writes nothing and shares the file with everyone:
// for looking at it only.
HANDLE open_to_look(const char* full)
{
    return CreateFileA(full, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// A file that another program has open: looked at, for what is said of it.
ImageFile held_elsewhere(const char* full)
{
    ImageFile image = facts(FILE_PLAIN);
    image.held_elsewhere = true;
    HANDLE probe = open_to_look(full);
    if (probe == INVALID_HANDLE_VALUE)
        return image;
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(probe) == FILE_TYPE_DISK && GetFileInformationByHandle(probe, &information) != 0) {
        image.console = is_console(identity_of(information));
        image.size = size_of(information);
    }
    CloseHandle(probe);
    return image;
}

// Shared with nobody: from lock to unlock, the file is this program's alone.
HANDLE open_exclusive(const char* full, DWORD access, DWORD disposition)
{
    return CreateFileA(full, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The facts of a file only looked at: nothing is kept open.
ImageFile looked_at(HANDLE file)
{
    ImageFile image = opened(file, false, NO_ERROR, false);
    if (image.handle != NO_IMAGE)
        CloseHandle(handle_of(image.handle));
    image.handle = NO_IMAGE;
    return image;
}

// The file at `full` (cut at `name`). With `take`, opened for reading and
// writing, else for reading, and missing, made with `create`; without, only
// looked at.
ImageFile find_file(char* full, char* name, bool take, bool create)
{
    // A file made by another program between a look and the creation is
    // looked at again, once.
    for (int look = 0; look < 2; ++look) {
        HANDLE file = take ? open_exclusive(full, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING) : open_to_look(full);
        DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : NO_ERROR;
        if (file != INVALID_HANDLE_VALUE)
            return take ? opened(file, true, NO_ERROR, false) : looked_at(file);
        if (take && is_protection(error)) {
            file = open_exclusive(full, GENERIC_READ, OPEN_EXISTING);
            if (file != INVALID_HANDLE_VALUE)
                return opened(file, false, error, false);
            error = GetLastError();
        }
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
            return held_elsewhere(full);
        if (error == ERROR_ACCESS_DENIED) {
            // A folder is not opened without the backup flag, which Windows
            // 95 lacks, and then refuses access: its attributes tell.
            DWORD attributes = GetFileAttributesA(full);
            bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            return folder ? facts(FILE_FOLDER) : facts(FILE_UNREACHABLE, error);
        }
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            return failed_open(error);
        ImageFile missing = look_at_folder(full, name, FILE_MISSING);
        if (missing.kind != FILE_MISSING || !create)
            return missing;
        file = open_exclusive(full, GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
        if (file != INVALID_HANDLE_VALUE)
            return opened(file, true, NO_ERROR, true);
        error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            ImageFile image = facts(FILE_MISSING, error);
            image.write_refused = is_protection(error);
            return image;
        }
    }
    return facts(FILE_UNREACHABLE, ERROR_FILE_EXISTS);
}

// SetFilePointer takes the offset in two halves; the low one alone reaches
// only 2 GiB.
bool seek(ImageHandle handle, long long offset)
{
    if (offset < 0)
        return false;
    auto position = static_cast<unsigned long long>(offset);
    auto high = static_cast<LONG>(position >> 32);
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(handle_of(handle), static_cast<LONG>(position & 0xFFFFFFFFu), &high, FILE_BEGIN);
    return low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
}

// One ReadFile or WriteFile moves at most this much.
constexpr std::size_t LARGEST_TRANSFER = 1U << 30;

DWORD transfer_size(std::size_t left, std::size_t limit)
{
    std::size_t size = left < limit ? left : limit;
    return static_cast<DWORD>(size < LARGEST_TRANSFER ? size : LARGEST_TRANSFER);
}

// The system's message as the console shows it: converted from the ANSI code
// page, in which FormatMessageA writes, to the OEM one.
bool to_oem_code_page(const char* text, char* oem, int size)
{
    wchar_t wide[512];
    return MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 512) != 0
           && WideCharToMultiByte(CP_OEMCP, 0, wide, -1, oem, size, nullptr, nullptr) != 0;
}

// What is at `path`, found as find_file says. Device names are never opened
// at all.
ImageFile find_image_file(const char* path, bool take, bool create)
{
    if (is_device_namespace(path) || is_reserved_name(path))
        return facts(FILE_DEVICE);
    if (is_drive(path))
        return facts(FILE_DRIVE);
    if (has_overlong_part(path))
        return facts(FILE_NAME_TOO_LONG);
    char full[MAX_PATH];
    char* name = nullptr;
    DWORD length = GetFullPathNameA(path, sizeof full, full, &name);
    if (length == 0) {
        DWORD error = GetLastError();
        return error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_INSUFFICIENT_BUFFER ? facts(FILE_NAME_TOO_LONG)
                                                                                         : failed_open(error);
    }
    if (length >= sizeof full)
        return facts(FILE_NAME_TOO_LONG);
    if (name == nullptr || *name == '\0') // a name written with a final slash: never opened
        return look_at_folder(full, full + length, FILE_FOLDER);
    return find_file(full, name, take, create);
}

} // namespace

ImageFile open_image_file(const char* path, bool create)
{
    return find_image_file(path, true, create);
}

ImageFile look_at_image_file(const char* path)
{
    return find_image_file(path, false, false);
}

long long read_image_file(ImageHandle handle, long long offset, std::size_t length, std::uint8_t* buffer,
                          std::size_t buffer_size)
{
    if (!seek(handle, offset))
        return -1;
    long long done = 0;
    while (static_cast<std::size_t>(done) < length) {
        DWORD read_bytes = 0;
        if (!ReadFile(handle_of(handle), buffer, transfer_size(length - static_cast<std::size_t>(done), buffer_size),
                      &read_bytes, nullptr))
            return -1;
        if (read_bytes == 0)
            break; // the end of the disk
        done += read_bytes;
    }
    return done;
}

int write_image_file(ImageHandle handle, const void* bytes, std::size_t length, long long offset, int* system_error)
{
    DWORD error = NO_ERROR;
    const auto* next = static_cast<const std::uint8_t*>(bytes);
    if (!seek(handle, offset))
        error = GetLastError();
    while (error == NO_ERROR && length > 0) {
        DWORD written = 0;
        if (!WriteFile(handle_of(handle), next, transfer_size(length, length), &written, nullptr))
            error = GetLastError();
        else if (written == 0)
            error = ERROR_WRITE_FAULT; // taken without an error, and not written
        next += written;
        length -= written;
    }
    if (error == NO_ERROR)
        return 1;
    if (system_error != nullptr)
        *system_error = static_cast<int>(error);
    return 0;
}

// GetFileSize leaves the last error as it was when it succeeds, and the low
// half of a size can be INVALID_FILE_SIZE: only a new error is a failure.
long long image_file_size(ImageHandle handle)
{
    DWORD high = 0;
    SetLastError(NO_ERROR);
    DWORD low = GetFileSize(handle_of(handle), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return -1;
    return static_cast<long long>(static_cast<unsigned long long>(high) << 32 | low);
}

int truncate_image_file(ImageHandle handle, long long size)
{
    return seek(handle, size) && SetEndOfFile(handle_of(handle)) ? 1 : 0;
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

// FormatMessageA's text on one line, without the line end and the closing
// period it ends with, and the error's number after it.
void describe_system_error(int system_error, char* text, std::size_t size)
{
    auto error = static_cast<DWORD>(system_error);
    char message[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                  message, sizeof message, nullptr);
    for (DWORD index = 0; index < length; ++index)
        if (message[index] == '\r' || message[index] == '\n' || message[index] == '\t')
            message[index] = ' ';
    while (length > 0 && (message[length - 1] == ' ' || message[length - 1] == '.'))
        --length;
    message[length < sizeof message ? length : sizeof message - 1] = '\0';
    char oem[512];
    if (length > 0 && to_oem_code_page(message, oem, static_cast<int>(sizeof oem)))
        std::snprintf(text, size, "%s (Windows error %lu)", oem, static_cast<unsigned long>(error));
    else
        std::snprintf(text, size, "Windows error %lu", static_cast<unsigned long>(error));
}

#endif
