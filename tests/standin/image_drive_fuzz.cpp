// Fuzz target: the stand-in device with the image drive fed arbitrary control
// codes and register records, with buffers lent through the device seam,
// against an image in one of several states.
//
// Input layout: byte 0 picks the state of drive A:, then up to MAX_CALLS
// calls follow, each
//   1 byte    the control code: 1, 3 or 4 (byte < 240), else byte - 240
//   28 bytes  the register record, as it crosses to the device
//   1 byte    shape: bits 0-1 bend the registers towards a well-formed request
//             of the code (so that the fuzzer reaches the services' depths),
//             bits 2-3 what EBX carries (raw / a lent address-field list /
//             a lent sector buffer / a lent buffer of input bytes), bit 4 puts
//             EBX into ESI too, bit 5 lends a decoy buffer first, bit 6 lends
//             one byte short, bit 7 changes one byte of the lent buffer
//   0..n      the bytes those choices take
//
// Checked after every call: the device's result, the carry flag against an
// independent reading of what the request asks for (a refusal is a set carry
// with a nonzero status: AH for the BIOS and the absolute write, AX for the
// IOCTL), registers other than EAX and the carry come back as passed, and on a
// writable disk the image is exactly what the granted requests make of it, so
// that nothing is written beyond the tracks formatted or the sectors written,
// and the file never grows beyond what cylinder 82 reaches. After every input:
// write-protected, oversized and foreign targets are byte for byte and kind for
// kind as they were, the lock is gone after release_drive_a(), and no
// descriptor was left open.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "diskio/device_call.h"
#include "standin/device.h"
#include "standin/drive.h"
#include "volume/geometry.h"

namespace {

constexpr std::size_t TRACK_BYTES = SECTORS_PER_TRACK * SECTOR_SIZE;
// Cylinder 82 is the last one a format reaches: 83 cylinders of two tracks.
constexpr std::size_t REACHABLE_BYTES = (CYLINDER_BEYOND_VOLUME + 1) * HEAD_COUNT * TRACK_BYTES;
constexpr std::size_t OVERSIZED_BYTES = LARGEST_DISKETTE_BYTES + 1;
constexpr std::size_t PARTIAL_BYTES = 3 * TRACK_BYTES + SECTOR_SIZE; // ends inside a track
constexpr int MAX_CALLS = 32;
constexpr std::size_t MAX_LENT_SECTORS = 8;

static_assert(VOLUME_BYTES == 1'511'424);
static_assert(REACHABLE_BYTES == 1'529'856);

enum State : std::uint8_t {
    ABSENT,            // no image yet in an existing folder: a blank disk
    FORMATTED,         // a writable image of the volume's size
    PARTIAL,           // a writable image of an earlier run, cut short inside a track
    NO_FOLDER,         // the image's folder is not there
    WRITE_PROTECTED,   // mode 0444
    OVERSIZED,         // bigger than any diskette
    FOLDER,            // the path names a folder
    FIFO,              // the path names a FIFO
    LINK_TO_OVERSIZED, // a symbolic link to the oversized file
    DANGLING_LINK,     // a symbolic link to nothing
    LOCKED_ELSEWHERE,  // another open file holds the flock
    STATE_COUNT
};

bool writable(State state)
{
    return state == ABSENT || state == FORMATTED || state == PARTIAL;
}

// States where the drive holds a disk it can lock.
bool lockable(State state)
{
    return writable(state) || state == WRITE_PROTECTED;
}

[[noreturn]] void fail(const char* what, unsigned long detail = 0)
{
    std::fprintf(stderr, "image drive fuzz: %s (%lu)\n", what, detail);
    std::abort();
}

std::vector<std::uint8_t> pattern(std::size_t size, std::uint32_t seed)
{
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed | 1u;
    for (std::uint8_t& byte : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes, std::size_t size, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("cannot create a fixture file");
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n <= 0)
            fail("cannot write a fixture file");
        done += static_cast<std::size_t>(n);
    }
    if (size > bytes.size() && ftruncate(fd, static_cast<off_t>(size)) != 0)
        fail("cannot size a fixture file");
    fchmod(fd, mode);
    close(fd);
}

// Whether the regular file at `path` holds exactly `expected`, followed by
// zeros up to `size` bytes in all. Mapped, the file is compared where it lies
// in the page cache, with no copy.
bool file_holds(const std::string& path, const std::vector<std::uint8_t>& expected, std::size_t size)
{
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)
        || static_cast<std::size_t>(status.st_size) != size)
        return false;
    if (size == 0)
        return true;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    void* mapped = fd < 0 ? MAP_FAILED : mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (fd >= 0)
        close(fd);
    if (mapped == MAP_FAILED)
        fail("cannot map a file to compare it");
    const auto* bytes = static_cast<const std::uint8_t*>(mapped);
    bool same = std::memcmp(bytes, expected.data(), expected.size()) == 0;
    for (std::size_t at = expected.size(); same && at < size; ++at)
        same = bytes[at] == 0;
    munmap(mapped, size);
    return same;
}

int open_descriptor_count()
{
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr)
        return -1;
    int count = 0;
    while (readdir(folder) != nullptr)
        ++count;
    closedir(folder);
    return count;
}

struct Fixture {
    std::string root;
    std::string work;        // the writable image (ABSENT, FORMATTED, PARTIAL)
    std::string no_folder;
    std::string protected_image;
    std::string oversized;
    std::string folder;
    std::string fifo;
    std::string link_to_oversized;
    std::string dangling;
    std::string dangling_target;
    std::string locked;
    int lock_holder = -1;

    std::vector<std::uint8_t> formatted_bytes;
    std::vector<std::uint8_t> partial_bytes; // a format's fill in its first sector: a diskette image
    std::vector<std::uint8_t> protected_bytes;
    std::vector<std::uint8_t> oversized_head; // the written start; the rest is a hole
    std::vector<std::uint8_t> locked_bytes;
};

Fixture* fixture = nullptr;

void remove_fixture()
{
    if (fixture == nullptr)
        return;
    if (fixture->lock_holder >= 0)
        close(fixture->lock_holder);
    for (const std::string* path : {&fixture->work, &fixture->protected_image, &fixture->oversized, &fixture->fifo,
                                    &fixture->link_to_oversized, &fixture->dangling, &fixture->locked})
        unlink(path->c_str());
    rmdir(fixture->folder.c_str());
    rmdir(fixture->root.c_str());
}

void set_up_fixture()
{
    fixture = new Fixture;
    const char* tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/image-drive-fuzz.XXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        fail("cannot make a temporary folder");
    Fixture& f = *fixture;
    f.root = buffer.data();
    f.work = f.root + "/writable.img";
    f.no_folder = f.root + "/missing/writable.img";
    f.protected_image = f.root + "/protected.img";
    f.oversized = f.root + "/oversized.img";
    f.folder = f.root + "/folder.img";
    f.fifo = f.root + "/fifo.img";
    f.link_to_oversized = f.root + "/link.img";
    f.dangling = f.root + "/dangling.img";
    f.dangling_target = f.root + "/nowhere/target.img";
    f.locked = f.root + "/locked.img";

    // Full of data, each ends its first sector as a boot sector does.
    f.formatted_bytes = pattern(VOLUME_BYTES, 0x1234567u);
    f.partial_bytes.assign(f.formatted_bytes.begin(), f.formatted_bytes.begin() + static_cast<long>(PARTIAL_BYTES));
    std::fill(f.partial_bytes.begin(), f.partial_bytes.begin() + static_cast<long>(SECTOR_SIZE), 0xF6);
    f.protected_bytes = pattern(VOLUME_BYTES, 0x2468ACEu);
    f.oversized_head = pattern(REACHABLE_BYTES, 0x3579BDFu);
    f.locked_bytes = pattern(VOLUME_BYTES, 0x55AA55Au);
    for (std::vector<std::uint8_t>* bytes : {&f.formatted_bytes, &f.protected_bytes, &f.locked_bytes}) {
        (*bytes)[SECTOR_SIZE - 2] = 0x55;
        (*bytes)[SECTOR_SIZE - 1] = 0xAA;
    }

    write_file(f.protected_image, f.protected_bytes, 0, 0444);
    write_file(f.oversized, f.oversized_head, OVERSIZED_BYTES, 0644);
    write_file(f.locked, f.locked_bytes, 0, 0644);
    if (mkdir(f.folder.c_str(), 0755) != 0 || mkfifo(f.fifo.c_str(), 0644) != 0
        || symlink(f.oversized.c_str(), f.link_to_oversized.c_str()) != 0
        || symlink(f.dangling_target.c_str(), f.dangling.c_str()) != 0)
        fail("cannot lay out the fixture");
    f.lock_holder = open(f.locked.c_str(), O_RDONLY | O_CLOEXEC);
    if (f.lock_holder < 0 || flock(f.lock_holder, LOCK_EX | LOCK_NB) != 0)
        fail("cannot hold the lock of the locked image");
    std::atexit(remove_fixture);
}

const std::string& path_of(State state)
{
    const Fixture& f = *fixture;
    switch (state) {
    case ABSENT: case FORMATTED: case PARTIAL: return f.work;
    case NO_FOLDER: return f.no_folder;
    case WRITE_PROTECTED: return f.protected_image;
    case OVERSIZED: return f.oversized;
    case FOLDER: return f.folder;
    case FIFO: return f.fifo;
    case LINK_TO_OVERSIZED: return f.link_to_oversized;
    case DANGLING_LINK: return f.dangling;
    case LOCKED_ELSEWHERE: return f.locked;
    default: break;
    }
    fail("no such state", state);
}

// The fixture targets that no call may change, checked after every input: the
// contents of the one the input aimed at, the kinds and places of all of them.
void check_untouched_targets(State state)
{
    const Fixture& f = *fixture;
    struct stat status {};
    if (state == WRITE_PROTECTED && !file_holds(f.protected_image, f.protected_bytes, VOLUME_BYTES))
        fail("the write-protected image changed");
    if (stat(f.protected_image.c_str(), &status) != 0 || (status.st_mode & 0777) != 0444
        || static_cast<std::size_t>(status.st_size) != VOLUME_BYTES)
        fail("the write-protected image's mode or size changed");

    if ((state == OVERSIZED || state == LINK_TO_OVERSIZED) && !file_holds(f.oversized, f.oversized_head, OVERSIZED_BYTES))
        fail("the oversized image changed");
    if (stat(f.oversized.c_str(), &status) != 0 || static_cast<std::size_t>(status.st_size) != OVERSIZED_BYTES)
        fail("the oversized image's size changed");

    if (state == LOCKED_ELSEWHERE && !file_holds(f.locked, f.locked_bytes, VOLUME_BYTES))
        fail("the image locked by another program changed");
    if (stat(f.locked.c_str(), &status) != 0 || static_cast<std::size_t>(status.st_size) != VOLUME_BYTES)
        fail("the size of the image locked by another program changed");

    if (lstat(f.folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        fail("the folder target is no longer a folder");
    if (rmdir(f.folder.c_str()) != 0 || mkdir(f.folder.c_str(), 0755) != 0)
        fail("something was put into the folder target");
    if (lstat(f.fifo.c_str(), &status) != 0 || !S_ISFIFO(status.st_mode))
        fail("the FIFO target changed");
    if (lstat(f.link_to_oversized.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
        fail("the link to the oversized image changed");
    if (lstat(f.dangling.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
        fail("the dangling link changed");
    if (lstat(f.dangling_target.c_str(), &status) == 0 || lstat((f.root + "/nowhere").c_str(), &status) == 0)
        fail("the dangling link's target was created");
    if (lstat((f.root + "/missing").c_str(), &status) == 0)
        fail("the missing folder was created");
}

// ---------------------------------------------------------------------------
// Reading the fuzz input.

struct Cursor {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;

    bool empty() const { return at >= size; }
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    std::uint32_t word()
    {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value |= static_cast<std::uint32_t>(byte()) << (8 * i);
        return value;
    }
};

struct Loan {
    BufferReference reference;
    std::vector<std::uint8_t> bytes; // exactly the length lent
};

// The cylinder a BIOS request names: CH, with bits 8-9 in the top of CL.
unsigned bios_cylinder(const DIOC_REGISTERS& r)
{
    return high_byte(r.reg_ECX) | (low_byte(r.reg_ECX) & 0xC0u) << 2;
}

std::vector<std::uint8_t> address_fields(unsigned cylinder, unsigned head)
{
    std::vector<std::uint8_t> list;
    for (unsigned r = 1; r <= SECTORS_PER_TRACK; ++r) {
        list.push_back(static_cast<std::uint8_t>(cylinder));
        list.push_back(static_cast<std::uint8_t>(head));
        list.push_back(static_cast<std::uint8_t>(r));
        list.push_back(2);
    }
    return list;
}

// Bends the registers towards a well-formed request of `code`; `form` 1..3.
void shape_registers(std::uint32_t code, DIOC_REGISTERS& r, unsigned form)
{
    if (code == VWIN32_DIOC_DOS_INT13) {
        if (form == 3) { // reset
            set_ah(&r, BIOS_RESET_DISK);
            r.reg_EDX = (r.reg_EDX & 0xFFFFFF00u) | (r.reg_EDX >> 8 & 1);
            return;
        }
        unsigned cylinder = r.reg_ECX % 86;
        unsigned head = r.reg_EDX % 3;
        std::uint32_t keep = form == 2 ? 0xFFFF0000u : 0;
        r.reg_EAX &= keep;
        set_ah(&r, BIOS_FORMAT_TRACK);
        set_al(&r, SECTORS_PER_TRACK);
        r.reg_ECX = (r.reg_ECX & keep) | ((cylinder & 0xFF) << 8) | ((cylinder >> 2) & 0xC0);
        r.reg_EDX = (r.reg_EDX & keep) | (head << 8);
        r.reg_Flags = 1;
        if (r.reg_EDI & 1) { // a verify of sectors r .. r + AL - 1, which may leave the track
            set_ah(&r, BIOS_VERIFY_SECTORS);
            set_al(&r, static_cast<std::uint8_t>(1 + (r.reg_EDI >> 8) % SECTORS_PER_TRACK));
            r.reg_ECX |= 1 + (r.reg_EDI >> 1) % SECTORS_PER_TRACK;
        }
    } else if (code == VWIN32_DIOC_DOS_INT26) {
        if (form == 3) {
            r.reg_ECX = (r.reg_ECX & 1) ? ABSOLUTE_WRITE_PACKET : 0;
            set_al(&r, ABSOLUTE_WRITE_DRIVE_A);
            return;
        }
        std::uint32_t keep = form == 2 ? 0xFFFF0000u : 0;
        r.reg_EAX &= keep;
        r.reg_ECX = (r.reg_ECX & keep) | (1 + r.reg_ECX % 4);
        r.reg_EDX = (r.reg_EDX & keep) | (r.reg_EDX % 2960);
    } else if (code == VWIN32_DIOC_DOS_IOCTL) {
        set_ax(&r, DOS_BLOCK_DEVICE_IOCTL);
        if (form != 3) {
            r.reg_EBX = DOS_DRIVE_A;
            r.reg_ECX = form == 1 ? IOCTL_LOCK_LOGICAL_VOLUME : IOCTL_UNLOCK_LOGICAL_VOLUME;
        }
    }
}

const Loan* loan_for(const std::vector<Loan>& loans, std::uint32_t reference)
{
    for (const Loan& loan : loans)
        if (loan.reference == reference)
            return &loan;
    return nullptr;
}

// The address-field list names sectors 1..18 of this cylinder and head, 512 bytes each.
bool valid_address_fields(const Loan* loan, unsigned cylinder, unsigned head)
{
    if (loan == nullptr || loan->bytes.size() < 4 * SECTORS_PER_TRACK)
        return false;
    std::vector<unsigned> sectors;
    for (int i = 0; i < SECTORS_PER_TRACK; ++i) {
        const std::uint8_t* field = &loan->bytes[4 * i];
        if (field[0] != (cylinder & 0xFF) || field[1] != head || field[3] != SIZE_CODE_512)
            return false;
        sectors.push_back(field[2]);
    }
    std::sort(sectors.begin(), sectors.end());
    for (unsigned i = 0; i < SECTORS_PER_TRACK; ++i)
        if (sectors[i] != i + 1)
            return false;
    return true;
}

struct Drive {
    State state;
    bool locked = false;     // the drive holds the volume lock for us
    bool exists = false;     // the writable image is there
    bool refused = false;    // a lock was refused: the run's every request fails from then on
    std::vector<std::uint8_t> image; // the writable image as it must be
};

// Whether the drive takes the writable image as a disk: held by the lock, or
// (looked at anew) one that can be a diskette image: empty, or whole sectors,
// no more than 2.88 MB, whose first is one byte repeated or ends in 55h AAh.
bool image_taken(const Drive& drive)
{
    if (drive.locked || !writable(drive.state) || !drive.exists || drive.image.empty())
        return true;
    if (drive.image.size() % SECTOR_SIZE != 0 || drive.image.size() > LARGEST_DISKETTE_BYTES)
        return false;
    const std::uint8_t* first = drive.image.data();
    return (first[510] == 0x55 && first[511] == 0xAA)
           || std::all_of(first, first + SECTOR_SIZE, [first](std::uint8_t byte) { return byte == first[0]; });
}

void check_writable_image(const Drive& drive)
{
    struct stat status {};
    bool exists = lstat(fixture->work.c_str(), &status) == 0;
    if (exists != drive.exists)
        fail(drive.exists ? "the image is gone" : "an image was created by a refused request");
    if (!exists)
        return;
    if (!S_ISREG(status.st_mode))
        fail("the image is no longer a regular file");
    std::size_t size = static_cast<std::size_t>(status.st_size);
    if (size > REACHABLE_BYTES)
        fail("the image grew beyond the reach of cylinder 82", size);
    if (size != drive.image.size())
        fail("the image has the wrong size", size);
    if (size == 0)
        return;
    // Mapped, the file is compared where it lies in the page cache, with no copy.
    int fd = open(fixture->work.c_str(), O_RDONLY | O_CLOEXEC);
    void* mapped = fd < 0 ? MAP_FAILED : mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (fd >= 0)
        close(fd);
    if (mapped == MAP_FAILED)
        fail("cannot map the image");
    const auto* bytes = static_cast<const std::uint8_t*>(mapped);
    if (std::memcmp(bytes, drive.image.data(), size) != 0) {
        std::size_t at = 0;
        while (bytes[at] == drive.image[at])
            ++at;
        fail("the image holds bytes no granted request wrote", at);
    }
    munmap(mapped, size);
}

void one_call(Drive& drive, Cursor& in)
{
    std::uint8_t selector = in.byte();
    static const std::uint32_t codes[3] = {VWIN32_DIOC_DOS_IOCTL, VWIN32_DIOC_DOS_INT26, VWIN32_DIOC_DOS_INT13};
    std::uint32_t code = selector < 240 ? codes[selector % 3] : selector - 240u;

    DIOC_REGISTERS r{};
    r.reg_EBX = in.word();
    r.reg_EDX = in.word();
    r.reg_ECX = in.word();
    r.reg_EAX = in.word();
    r.reg_EDI = in.word();
    r.reg_ESI = in.word();
    r.reg_Flags = in.word();
    std::uint8_t shape = in.byte();
    if (shape & 3)
        shape_registers(code, r, shape & 3);

    std::vector<Loan> loans;
    loans.reserve(3);
    auto lend = [&loans](std::vector<std::uint8_t> bytes) {
        // An empty loan still needs an address of its own.
        const void* address = bytes.empty() ? static_cast<const void*>(&loans) : bytes.data();
        BufferReference reference = lend_buffer(address, bytes.size());
        loans.push_back(Loan{reference, std::move(bytes)});
        return reference;
    };
    if (shape & 0x20)
        lend(pattern(16, in.byte()));
    unsigned carried = (shape >> 2) & 3;
    if (carried != 0) {
        std::vector<std::uint8_t> bytes;
        if (carried == 1) {
            bytes = address_fields(bios_cylinder(r) & 0xFF, high_byte(r.reg_EDX));
        } else if (carried == 2) {
            std::size_t count = std::min<std::size_t>(low_word(r.reg_ECX), MAX_LENT_SECTORS);
            bytes = pattern(count * SECTOR_SIZE, in.word());
        } else {
            std::size_t length = in.byte() % 100;
            for (std::size_t i = 0; i < length; ++i)
                bytes.push_back(in.byte());
        }
        if ((shape & 0x40) && !bytes.empty())
            bytes.pop_back();
        if ((shape & 0x80) && !bytes.empty()) {
            std::size_t at = in.byte() % bytes.size();
            bytes[at] = in.byte();
        }
        r.reg_EBX = lend(std::move(bytes));
    }
    if (shape & 0x10)
        r.reg_ESI = r.reg_EBX;

    // What the request asks for, read independently of the drive.
    bool granted = false;
    bool lock_granted = false;
    bool unlock_granted = false;
    bool lock_asked = false;
    std::size_t format_offset = 0;
    std::size_t write_offset = 0;
    const Loan* write_loan = nullptr;
    std::uint32_t ah = read_ah(r);
    std::uint32_t al = read_al(r);
    if (drive.refused && code != VWIN32_DIOC_DOS_INT13) {
        // After a refused lock nothing is granted but a reset.
    } else if (code == VWIN32_DIOC_DOS_IOCTL) {
        bool ours = read_ax(r) == DOS_BLOCK_DEVICE_IOCTL && low_byte(r.reg_EBX) == DOS_DRIVE_A;
        lock_asked = ours && low_word(r.reg_ECX) == IOCTL_LOCK_LOGICAL_VOLUME;
        if (lock_asked)
            granted = lock_granted = drive.locked || (lockable(drive.state) && image_taken(drive));
        else if (ours && low_word(r.reg_ECX) == IOCTL_UNLOCK_LOGICAL_VOLUME)
            granted = unlock_granted = drive.locked;
    } else if (code == VWIN32_DIOC_DOS_INT13) {
        unsigned drive_number = low_byte(r.reg_EDX);
        unsigned head = high_byte(r.reg_EDX);
        unsigned cylinder = bios_cylinder(r);
        if (ah == BIOS_RESET_DISK) {
            granted = drive_number == BIOS_DRIVE_A;
        } else if (drive.refused) {
            granted = false;
        } else if (ah == BIOS_FORMAT_TRACK) {
            granted = writable(drive.state) && image_taken(drive) && al == SECTORS_PER_TRACK && drive_number == BIOS_DRIVE_A && head < HEAD_COUNT
                      && cylinder <= CYLINDER_BEYOND_VOLUME
                      && valid_address_fields(loan_for(loans, r.reg_EBX), cylinder, head);
            format_offset = (cylinder * HEAD_COUNT + head) * TRACK_BYTES;
        } else if (ah == BIOS_VERIFY_SECTORS) {
            // Only what the disk holds reads back; nothing changes.
            unsigned sector = low_byte(r.reg_ECX) & 0x3F;
            std::size_t disk_bytes = drive.state == WRITE_PROTECTED ? VOLUME_BYTES : drive.image.size();
            std::size_t end = ((cylinder * HEAD_COUNT + head) * SECTORS_PER_TRACK + sector - 1 + al) * SECTOR_SIZE;
            granted = lockable(drive.state) && image_taken(drive) && drive_number == BIOS_DRIVE_A && head < HEAD_COUNT && al >= 1
                      && sector >= 1 && sector + al - 1 <= SECTORS_PER_TRACK && cylinder <= CYLINDER_BEYOND_VOLUME
                      && end <= disk_bytes;
        }
    } else if (code == VWIN32_DIOC_DOS_INT26) {
        std::size_t count = low_word(r.reg_ECX);
        std::size_t first = low_word(r.reg_EDX);
        write_loan = loan_for(loans, r.reg_EBX);
        write_offset = first * SECTOR_SIZE;
        granted = writable(drive.state) && drive.exists && image_taken(drive) && al == ABSOLUTE_WRITE_DRIVE_A && count >= 1
                  && count < ABSOLUTE_WRITE_PACKET
                  && write_loan != nullptr && write_loan->bytes.size() >= count * SECTOR_SIZE
                  && write_offset + count * SECTOR_SIZE <= drive.image.size();
    }

    const DIOC_REGISTERS passed = r;
    int result = disk_service_call(code, &r);

    bool known = code == VWIN32_DIOC_DOS_IOCTL || code == VWIN32_DIOC_DOS_INT26 || code == VWIN32_DIOC_DOS_INT13;
    if ((result != 0) != known)
        fail("the device's own result is wrong for control code", code);
    if (r.reg_EBX != passed.reg_EBX || r.reg_ECX != passed.reg_ECX || r.reg_EDX != passed.reg_EDX
        || r.reg_ESI != passed.reg_ESI || r.reg_EDI != passed.reg_EDI
        || (r.reg_Flags & ~CARRY_FLAG) != (passed.reg_Flags & ~CARRY_FLAG))
        fail("a register the service does not return changed", code);
    bool carry = carry_set(r);
    if (carry == granted)
        fail(granted ? "a well-formed request on a usable disk was refused" : "a request that must fail was granted",
             code);
    std::uint32_t status = code == VWIN32_DIOC_DOS_IOCTL || !known ? read_ax(r) : read_ah(r);
    if (carry && status == 0)
        fail("a refusal with a zero status", code);
    if (!carry && code != VWIN32_DIOC_DOS_IOCTL && status != 0)
        fail("a success with a nonzero status", code);
    if (carry && lock_asked && drive.state == LOCKED_ELSEWHERE && read_ax(r) != DOS_ACCESS_DENIED)
        fail("a lock held elsewhere is not access denied", read_ax(r));
    if (!carry && code != VWIN32_DIOC_DOS_IOCTL && (r.reg_EAX & 0xFFFF00FFu) != (passed.reg_EAX & 0xFFFF00FFu))
        fail("a successful service changed EAX beyond AH", code);

    // What the granted request makes of the disk.
    if (granted && lock_granted) {
        drive.locked = true;
        if (drive.state == ABSENT)
            drive.exists = true; // a blank disk is there now
    }
    if (lock_asked && !granted)
        drive.refused = true;
    if (granted && unlock_granted) {
        drive.locked = false;
        // The image is the volume: a larger one is cut to it.
        if (writable(drive.state) && drive.image.size() > VOLUME_BYTES)
            drive.image.resize(VOLUME_BYTES);
    }
    if (granted && code == VWIN32_DIOC_DOS_INT13 && ah == BIOS_FORMAT_TRACK) {
        drive.exists = true;
        if (drive.image.size() < format_offset + TRACK_BYTES)
            drive.image.resize(format_offset + TRACK_BYTES, 0);
        std::fill_n(drive.image.begin() + static_cast<long>(format_offset), TRACK_BYTES, 0xF6);
    }
    if (granted && code == VWIN32_DIOC_DOS_INT26) {
        std::size_t length = low_word(r.reg_ECX) * SECTOR_SIZE;
        std::copy_n(write_loan->bytes.begin(), length, drive.image.begin() + static_cast<long>(write_offset));
    }
    if (writable(drive.state))
        check_writable_image(drive);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (fixture == nullptr)
        set_up_fixture();
    if (size == 0)
        return 0;
    Cursor in{data, size};
    // One model for all inputs, so that its storage is not made anew each time.
    static Drive drive;
    drive.locked = false;
    drive.refused = false;
    drive.exists = false;
    drive.image.clear();
    drive.state = static_cast<State>(in.byte() % STATE_COUNT);

    unlink(fixture->work.c_str());
    if (drive.state == FORMATTED) {
        write_file(fixture->work, fixture->formatted_bytes, 0, 0644);
        drive.image = fixture->formatted_bytes;
        drive.exists = true;
    } else if (drive.state == PARTIAL) {
        drive.image = fixture->partial_bytes;
        write_file(fixture->work, drive.image, 0, 0644);
        drive.exists = true;
    }
    setenv("DRIVE_A_IMAGE", path_of(drive.state).c_str(), 1);

    int descriptors_before = open_descriptor_count();
    for (int call = 0; call < MAX_CALLS && !in.empty(); ++call)
        one_call(drive, in);
    release_drive_a();
    if (open_descriptor_count() != descriptors_before)
        fail("the drive left a descriptor open", static_cast<unsigned long>(open_descriptor_count()));

    // The lock is gone: another open file can take it at once.
    struct stat status {};
    const std::string& path = path_of(drive.state);
    if (drive.state != LOCKED_ELSEWHERE && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        int other = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (other < 0 || flock(other, LOCK_EX | LOCK_NB) != 0)
            fail("the volume lock outlived release_drive_a()");
        close(other);
    }
    check_untouched_targets(drive.state);
    return 0;
}
