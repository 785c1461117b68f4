// The boot sector's bootstrap, run in-process on a stand-in PC (Unicorn).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "boot_machine.h"
#include "volume/images.h"

namespace {

const std::string INVALID = "\r\nInvalid system disk\r\nReplace the disk, and then press any key\r\n";
const std::string IO_ERROR = "\r\nDisk I/O error\r\nReplace the disk, and then press any key\r\n";
constexpr std::uint32_t NAME_ADDRESS = 0x7C00 + 472;

void put16(std::uint8_t* bytes, std::size_t offset, std::uint16_t value)
{
    bytes[offset] = static_cast<std::uint8_t>(value);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(std::uint8_t* bytes, std::size_t offset, std::uint32_t value)
{
    put16(bytes, offset, static_cast<std::uint16_t>(value));
    put16(bytes, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

// The volume as format149 leaves it, starting at absolute sector `base`.
void put_fresh_volume(BootMachine& m, std::uint32_t base = 0)
{
    SystemAreaImages images;
    build_images(&images);
    std::memcpy(m.sector(base), images.BootSectorImage, 512);
    std::memcpy(m.sector(base + 1), images.FatHeadSector, 512);
    std::memcpy(m.sector(base + 10), images.FatHeadSector, 512);
    std::memcpy(m.sector(base + 19), images.RootLabelSector, 512);
}

void put_entry(BootMachine& m, std::uint32_t sector, int index, const char* name, std::uint16_t cluster)
{
    std::uint8_t* entry = m.sector(sector) + index * 32;
    std::memcpy(entry, name, 11);
    entry[11] = 0x20;
    put16(entry, 26, cluster);
    put32(entry, 28, 2048);
}

// Fills directory entries from (sector, first index) on with other files'
// names, up to but not including (sector, end index) of a later sector.
void put_other_entries(BootMachine& m, std::uint32_t sector, int first, std::uint32_t end_sector, int end)
{
    int number = 0;
    for (; sector < end_sector || (sector == end_sector && first < end); ++first) {
        if (first == 16) {
            first = -1;
            ++sector;
            continue;
        }
        char name[12] = "FILE0000TXT";
        for (int digit = 7, rest = number++; digit >= 4; --digit, rest /= 10)
            name[digit] = static_cast<char>('0' + rest % 10);
        put_entry(m, sector, first, name, 3);
    }
}

// Sectors of a file, each with its own number in every byte pair.
void put_file(BootMachine& m, std::uint32_t first, int count)
{
    for (std::uint32_t s = first; s < first + count; ++s)
        for (int i = 0; i < 512; i += 2)
            put16(m.sector(s), i, static_cast<std::uint16_t>(s ^ 0xA5A5));
}

std::vector<std::uint32_t> span(std::uint32_t first, std::uint32_t count)
{
    std::vector<std::uint32_t> sectors;
    for (std::uint32_t i = 0; i < count; ++i)
        sectors.push_back(first + i);
    return sectors;
}

std::vector<std::uint32_t> operator+(std::vector<std::uint32_t> a, const std::vector<std::uint32_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The failure ending: the messages, one key, vector 1Eh put back, INT 19h.
void expect_restart(const BootMachine& m, Stop stop, const std::string& text)
{
    EXPECT_EQ(stop, Stop::Restart) << m.unexpected;
    EXPECT_EQ(m.screen, text);
    for (std::uint16_t bx : m.teletype_bx)
        EXPECT_EQ(bx, 0x0007) << "page 0, colour 7";
    EXPECT_EQ(m.keys_read, 1);
    EXPECT_EQ(m.word(0x78), BootMachine::BIOS_TABLE_OFFSET);
    EXPECT_EQ(m.word(0x7A), BootMachine::BIOS_TABLE_SEGMENT);
}

// The table copy at 0000:0522: the BIOS's table with the head settle time 15
// and the sectors per track of the boot sector.
void expect_table_copy(const BootMachine& m, std::uint8_t sectors_per_track)
{
    std::vector<std::uint8_t> expected(BootMachine::BIOS_TABLE_BYTES, BootMachine::BIOS_TABLE_BYTES + 11);
    expected[4] = sectors_per_track;
    expected[9] = 15;
    EXPECT_EQ(m.memory(0x522, 11), expected);
}

// The state at 0070:0200 and the file's four sectors at 0000:0700.
void expect_hand_over(BootMachine& m, Stop stop, std::uint16_t cluster, std::uint32_t first_data,
                      std::uint32_t file_sector, std::uint8_t sectors_per_track = 18)
{
    ASSERT_EQ(stop, Stop::HandOver) << m.unexpected << " screen: " << m.screen;
    const Registers& r = m.at_stop;
    EXPECT_EQ(r.cs, 0x0070);
    EXPECT_EQ(r.ip, 0x0200);
    EXPECT_EQ(r.ds, 0);
    EXPECT_EQ(r.es, 0);
    EXPECT_EQ(r.ss, 0);
    EXPECT_EQ(r.sp, 0x7BF4);
    EXPECT_EQ(r.bp, 0x7C00);
    EXPECT_EQ(r.di, cluster);
    EXPECT_EQ(r.si, 0x7D81);
    EXPECT_EQ(m.word(0x7BF4), 0x0078);
    EXPECT_EQ(m.word(0x7BF6), 0x0000);
    EXPECT_EQ(m.word(0x7BF8), BootMachine::BIOS_TABLE_OFFSET);
    EXPECT_EQ(m.word(0x7BFA), BootMachine::BIOS_TABLE_SEGMENT);
    EXPECT_EQ(m.dword(0x7BFC), first_data);
    EXPECT_EQ(m.word(0x78), 0x0522);
    EXPECT_EQ(m.word(0x7A), 0x0000);
    expect_table_copy(m, sectors_per_track);
    for (std::uint32_t i = 0; i < 4; ++i) {
        const std::uint8_t* expected = m.sector(file_sector + i);
        EXPECT_EQ(m.memory(0x700 + i * 512, 512), std::vector<std::uint8_t>(expected, expected + 512))
            << "file sector " << i;
    }
    EXPECT_EQ(m.screen, "");
    EXPECT_EQ(m.keys_read, 0);
}

} // namespace

TEST(BootstrapBoot, FreshDiskSaysInvalidSystemDiskAndRestarts)
{
    BootMachine m;
    put_fresh_volume(m);
    // The BIOS hands over DL = 80h; the bootstrap reads drive 00h, its own field.
    const Stop stop = m.boot(0x80);
    expect_restart(m, stop, INVALID);
    EXPECT_EQ(m.sectors_read(), (std::vector<std::uint32_t>{19, 19})) << "sector 19 once per pass";
    for (const DiskRead& read : m.reads) {
        EXPECT_EQ(read.function, 0x02);
        EXPECT_EQ(read.drive, 0x00);
        EXPECT_EQ(read.count, 1);
        EXPECT_EQ(read.buffer, 0x0700u);
        EXPECT_EQ(read.table_sectors, 18) << "byte 4 of the table in use, set before the read";
        EXPECT_EQ(read.cylinder, 0u);
        EXPECT_EQ(read.head, 1u);
        EXPECT_EQ(read.sector_number, 2u);
        EXPECT_FALSE(read.failed);
    }
    expect_table_copy(m, 18);
    // The sector in memory is as loaded, but for the name's first byte, lowered
    // after each pass (4Ah, 49h, 48h).
    std::vector<std::uint8_t> expected(m.sector(0), m.sector(0) + 512);
    expected[472] = 'I' - 1;
    EXPECT_EQ(m.memory(0x7C00, 512), expected);
}

TEST(BootstrapBoot, FindsTheSystemFile)
{
    {
        SCOPED_TRACE("IO.SYS in the first directory sector, after the label");
        BootMachine m;
        put_fresh_volume(m);
        put_entry(m, 19, 1, "IO      SYS", 2);
        put_file(m, 33, 5);
        const Stop stop = m.boot(0);
        expect_hand_over(m, stop, 2, 33, 33);
        EXPECT_EQ(m.sectors_read(), (std::vector<std::uint32_t>{19, 19, 33, 34, 35, 36}));
        EXPECT_EQ(m.memory(NAME_ADDRESS, 1)[0], 'I') << "lowered again after pass 1";
    }
    {
        SCOPED_TRACE("IO.SYS in a later directory sector");
        BootMachine m;
        put_fresh_volume(m);
        put_other_entries(m, 19, 1, 25, 5);
        put_entry(m, 25, 5, "IO      SYS", 100);
        put_file(m, 131, 4);
        const Stop stop = m.boot(0);
        expect_hand_over(m, stop, 100, 33, 131);
        EXPECT_EQ(m.sectors_read(), span(19, 7) + span(19, 7) + span(131, 4));
    }
    {
        SCOPED_TRACE("both names: the one with 4Ah wins, in pass 1");
        BootMachine m;
        put_fresh_volume(m);
        put_entry(m, 19, 1, "IO      SYS", 2);
        put_other_entries(m, 19, 2, 20, 3);
        put_entry(m, 20, 3, "JO      SYS", 10);
        put_file(m, 41, 4);
        const Stop stop = m.boot(0);
        expect_hand_over(m, stop, 10, 33, 41);
        EXPECT_EQ(m.sectors_read(), (std::vector<std::uint32_t>{19, 20, 41, 42, 43, 44}));
        EXPECT_EQ(m.memory(NAME_ADDRESS, 1)[0], 'J');
    }
    {
        SCOPED_TRACE("other parameters: 4 sectors per cluster, 3 reserved, 1 FAT, 513 root entries");
        BootMachine m;
        put_fresh_volume(m);
        std::uint8_t* boot = m.sector(0);
        boot[13] = 4;
        put16(boot, 14, 3);
        boot[16] = 1;
        put16(boot, 17, 513);         // 33 root sectors, the last one holding one entry
        put16(boot, 22, 5);           // first root sector 1 * 5 + 3 = 8, data from 41
        std::memset(m.sector(19), 0, 512);
        put_entry(m, 8, 0, "IO      SYS", 5);
        put_file(m, 41 + 3 * 4, 4);
        const Stop stop = m.boot(0);
        expect_hand_over(m, stop, 5, 41, 53);
        EXPECT_EQ(m.sectors_read(), (std::vector<std::uint32_t>{8, 8, 53, 54, 55, 56}));
    }
    {
        SCOPED_TRACE("32-bit sums: the data area starts past sector 65535");
        BootMachine m;
        m.disk_sectors = 70000;
        m.disk_sectors_per_track = 63;
        m.disk_heads = 255;
        m.disk_drive = 0x80;
        constexpr std::uint32_t BASE = 65509; // root directory at 65528, data at 65542
        put_fresh_volume(m, BASE);
        std::uint8_t* boot = m.sector(BASE);
        put16(boot, 24, 63);
        put16(boot, 26, 255);
        put32(boot, 28, BASE);
        boot[36] = 0x80;
        put_entry(m, BASE + 19, 1, "IO      SYS", 3);
        put_file(m, 65543, 4);
        const Stop stop = m.boot(0x80, BASE);
        expect_hand_over(m, stop, 3, 65542, 65543, 63);
        EXPECT_EQ(m.sectors_read(), (std::vector<std::uint32_t>{0, 65528, 65528, 65543, 65544, 65545, 65546}));
    }
}

TEST(BootstrapBoot, NamesThatDoNotMatch)
{
    const char* const names[] = {"io      sys", "IO      sys", "Io      SYS", "\xE5O      SYS", "\xE5O      SYS",
                                 "IO       SY", "IOX     SYS", "HO      SYS", "KO      SYS", "MSDOS   SYS"};
    {
        SCOPED_TRACE("lower-case, deleted and near names");
        BootMachine m;
        put_fresh_volume(m);
        int index = 1;
        for (const char* name : names)
            put_entry(m, 19, index++, name, 2);
        const Stop stop = m.boot(0);
        expect_restart(m, stop, INVALID);
        EXPECT_EQ(m.sectors_read(), (std::vector<std::uint32_t>{19, 19}));
    }
    {
        SCOPED_TRACE("after a 00h entry nothing is looked at");
        BootMachine m;
        put_fresh_volume(m);
        put_entry(m, 19, 3, "IO      SYS", 2);
        put_entry(m, 19, 4, "JO      SYS", 2);
        const Stop stop = m.boot(0);
        expect_restart(m, stop, INVALID);
        EXPECT_EQ(m.sectors_read(), (std::vector<std::uint32_t>{19, 19}));
    }
    {
        SCOPED_TRACE("a full directory: each pass ends after 224 entries");
        BootMachine m;
        put_fresh_volume(m);
        put_other_entries(m, 19, 1, 33, 0);
        put_entry(m, 33, 0, "IO      SYS", 2); // first data sector, not directory
        const Stop stop = m.boot(0);
        expect_restart(m, stop, INVALID);
        EXPECT_EQ(m.sectors_read(), span(19, 14) + span(19, 14));
    }
}

TEST(BootstrapBoot, ReadFailureSaysDiskIoError)
{
    {
        SCOPED_TRACE("the first directory sector");
        BootMachine m;
        put_fresh_volume(m);
        m.failing_sectors = {19};
        const Stop stop = m.boot(0);
        expect_restart(m, stop, IO_ERROR);
        EXPECT_EQ(m.sectors_read(), (std::vector<std::uint32_t>{19}));
    }
    {
        SCOPED_TRACE("a later directory sector, in pass 1");
        BootMachine m;
        put_fresh_volume(m);
        put_other_entries(m, 19, 1, 22, 0);
        m.failing_sectors = {21};
        const Stop stop = m.boot(0);
        expect_restart(m, stop, IO_ERROR);
        EXPECT_EQ(m.sectors_read(), (std::vector<std::uint32_t>{19, 20, 21}));
    }
    {
        SCOPED_TRACE("the third sector of the system file");
        BootMachine m;
        put_fresh_volume(m);
        put_entry(m, 19, 1, "IO      SYS", 2);
        m.failing_sectors = {35};
        const Stop stop = m.boot(0);
        expect_restart(m, stop, IO_ERROR);
        EXPECT_EQ(m.sectors_read(), (std::vector<std::uint32_t>{19, 19, 33, 34, 35}));
    }
}

// The CHS address of a sector further out: hidden sectors move the volume.
TEST(BootstrapBoot, ChsAddressComesFromTheBootSectorGeometry)
{
    {
        SCOPED_TRACE("diskette geometry, root directory on head 1 of cylinder 28");
        BootMachine m;
        put_fresh_volume(m);
        put32(m.sector(0), 28, 1018); // root at 1037 = (28 * 2 + 1) * 18 + 11
        const Stop stop = m.boot(0);
        expect_restart(m, stop, INVALID);
        ASSERT_EQ(m.sectors_read(), (std::vector<std::uint32_t>{1037, 1037}));
        EXPECT_EQ(m.reads[0].cylinder, 28u);
        EXPECT_EQ(m.reads[0].head, 1u);
        EXPECT_EQ(m.reads[0].sector_number, 12u);
    }
    {
        SCOPED_TRACE("63 sectors, 16 heads: cylinder 297 needs bits 8 and 9");
        BootMachine m;
        m.disk_sectors = 400000;
        m.disk_sectors_per_track = 63;
        m.disk_heads = 16;
        m.disk_drive = 0x80;
        put_fresh_volume(m, 300000);
        std::uint8_t* boot = m.sector(300000);
        put16(boot, 24, 63);
        put16(boot, 26, 16);
        put32(boot, 28, 300000);
        boot[36] = 0x80;
        const Stop stop = m.boot(0x80, 300000);
        expect_restart(m, stop, INVALID);
        // 300019 = (297 * 16 + 10) * 63 + 13; sector 0 is the partition probe.
        ASSERT_EQ(m.sectors_read(), (std::vector<std::uint32_t>{0, 300019, 300019}));
        EXPECT_EQ(m.reads[1].cylinder, 297u);
        EXPECT_EQ(m.reads[1].head, 10u);
        EXPECT_EQ(m.reads[1].sector_number, 14u);
        EXPECT_EQ(m.reads[1].table_sectors, 63);
    }
}

// A volume in a partition of a fixed disk: the partition sector decides
// between the CHS read and the extended read.
TEST(BootstrapBoot, FixedDiskPartitionChoosesTheReadFunction)
{
    constexpr std::uint32_t HIDDEN = 63;
    struct Partition {
        std::uint8_t type;
        std::uint32_t start;
    };
    auto fixed_disk = [](BootMachine& m, std::vector<Partition> table) {
        m.disk_sectors = 20000;
        m.disk_sectors_per_track = 63;
        m.disk_heads = 255;
        m.disk_drive = 0x80;
        put_fresh_volume(m, HIDDEN);
        std::uint8_t* boot = m.sector(HIDDEN);
        put16(boot, 24, 63);
        put16(boot, 26, 255);
        put32(boot, 28, HIDDEN);
        boot[36] = 0x80;
        std::uint8_t* mbr = m.sector(0);
        std::memset(mbr + 446, 0, 64);
        for (std::size_t i = 0; i < table.size(); ++i) {
            mbr[446 + i * 16 + 4] = table[i].type;
            put32(mbr, 446 + i * 16 + 8, table[i].start);
        }
        put_entry(m, HIDDEN + 19, 1, "IO      SYS", 2);
        put_file(m, HIDDEN + 33, 4);
    };
    {
        SCOPED_TRACE("type 0Ch | 2 = 0Eh: extended reads");
        BootMachine m;
        fixed_disk(m, {{0x07, 2048}, {0x0C, HIDDEN}});
        const Stop stop = m.boot(0x80, HIDDEN);
        expect_hand_over(m, stop, 2, HIDDEN + 33, HIDDEN + 33, 63);
        EXPECT_EQ(m.memory(0x7C02, 1)[0], 0x0E);
        ASSERT_EQ(m.sectors_read(), (std::vector<std::uint32_t>{0, 82, 82, 96, 97, 98, 99}));
        EXPECT_EQ(m.reads[0].function, 0x02) << "the probe itself reads with CHS";
        for (std::size_t i = 1; i < m.reads.size(); ++i) {
            const DiskRead& read = m.reads[i];
            EXPECT_EQ(read.function, 0x42);
            EXPECT_EQ(read.drive, 0x80);
            const std::uint8_t s = static_cast<std::uint8_t>(read.sector);
            const std::uint16_t offset = static_cast<std::uint16_t>(0x0700 + (i < 3 ? 0 : (i - 3) * 512));
            EXPECT_EQ(read.packet, (std::vector<std::uint8_t>{0x10, 0, 1, 0, static_cast<std::uint8_t>(offset),
                                                              static_cast<std::uint8_t>(offset >> 8), 0, 0, s, 0,
                                                              0, 0, 0, 0, 0, 0}));
        }
    }
    {
        SCOPED_TRACE("the last matching entry wins: 04h | 2 = 06h, CHS reads");
        BootMachine m;
        fixed_disk(m, {{0x0C, HIDDEN}, {0x0E, 64}, {0x04, HIDDEN}});
        const Stop stop = m.boot(0x80, HIDDEN);
        expect_hand_over(m, stop, 2, HIDDEN + 33, HIDDEN + 33, 63);
        EXPECT_EQ(m.memory(0x7C02, 1)[0], 0x06);
        for (const DiskRead& read : m.reads)
            EXPECT_EQ(read.function, 0x02);
        EXPECT_EQ(m.reads[1].head, 1u); // 82 = 1 * 63 + 19
        EXPECT_EQ(m.reads[1].sector_number, 20u);
    }
    {
        SCOPED_TRACE("no entry starts at the hidden sectors: byte 2 stays 90h");
        BootMachine m;
        fixed_disk(m, {{0x0C, HIDDEN + 1}});
        const Stop stop = m.boot(0x80, HIDDEN);
        expect_hand_over(m, stop, 2, HIDDEN + 33, HIDDEN + 33, 63);
        EXPECT_EQ(m.memory(0x7C02, 1)[0], 0x90);
        EXPECT_EQ(m.sectors_read(), (std::vector<std::uint32_t>{0, 82, 82, 96, 97, 98, 99}));
        for (const DiskRead& read : m.reads)
            EXPECT_EQ(read.function, 0x02);
    }
    {
        SCOPED_TRACE("a failed partition read is not looked at: the buffer decides");
        BootMachine m;
        fixed_disk(m, {});
        m.failing_sectors = {0};
        std::uint8_t stale[16] = {0, 0, 0, 0, 0x0C, 0, 0, 0};
        put32(stale, 8, HIDDEN);
        m.store(0x700 + 446 + 48, stale, sizeof stale);
        const Stop stop = m.boot(0x80, HIDDEN);
        expect_hand_over(m, stop, 2, HIDDEN + 33, HIDDEN + 33, 63);
        ASSERT_EQ(m.reads.size(), 7u);
        EXPECT_TRUE(m.reads[0].failed);
        EXPECT_EQ(m.reads[1].function, 0x42);
    }
}

// The sector-read routine as a loaded system file may call it.
TEST(BootstrapReadRoutine, EntriesAndResults)
{
    auto machine = [](BootMachine& m) {
        m.disk_sectors = 0x20000;
        m.disk_sectors_per_track = 63;
        m.disk_heads = 255;
        put_fresh_volume(m);
        put16(m.sector(0), 24, 63);
        put16(m.sector(0), 26, 255);
        m.store(0x7C00, m.sector(0), 512);
        put_file(m, 33, 4);
        put_file(m, 0xFFFF, 2);
    };
    constexpr std::uint16_t READ_ONE = 0x7DF1, READ_SECTORS = 0x7DF2;
    {
        SCOPED_TRACE("read_sectors: three sectors, registers ready for the next");
        BootMachine m;
        machine(m);
        ASSERT_EQ(m.call_routine(READ_SECTORS, 33, 0x1234, 3, 0, 0), Stop::Returned) << m.unexpected;
        const Registers& r = m.at_stop;
        EXPECT_EQ(r.flags & 1, 0u);
        EXPECT_EQ(r.ax, 36);
        EXPECT_EQ(r.dx, 0);
        EXPECT_EQ(r.bx, 0x0700 + 3 * 512);
        EXPECT_EQ(r.cx, 0);
        EXPECT_EQ(r.si, 0x5151);
        EXPECT_EQ(r.di, 0xD1D1);
        EXPECT_EQ(r.bp, 0x7C00);
        EXPECT_EQ(r.sp, 0x7BF4);
        EXPECT_EQ(m.sectors_read(), span(33, 3));
        EXPECT_EQ(m.memory(0x526, 1)[0], 63) << "byte 4 of the table copy";
        EXPECT_EQ(m.memory(0x700 + 2 * 512, 512), std::vector<std::uint8_t>(m.sector(35), m.sector(35) + 512));
    }
    {
        SCOPED_TRACE("read_one: count + 1, the sector number carries into DX");
        BootMachine m;
        machine(m);
        ASSERT_EQ(m.call_routine(READ_ONE, 0xFFFF, 0, 1, 0, 0), Stop::Returned) << m.unexpected;
        EXPECT_EQ(m.at_stop.flags & 1, 0u);
        EXPECT_EQ(m.at_stop.ax, 1);
        EXPECT_EQ(m.at_stop.dx, 1);
        EXPECT_EQ(m.sectors_read(), (std::vector<std::uint32_t>{0xFFFF, 0x10000}));
        EXPECT_EQ(m.memory(0x900, 512), std::vector<std::uint8_t>(m.sector(0x10000), m.sector(0x10000) + 512));
    }
    {
        SCOPED_TRACE("a failure stops at once with CF set, on the failed sector");
        BootMachine m;
        machine(m);
        m.failing_sectors = {35};
        ASSERT_EQ(m.call_routine(READ_SECTORS, 33, 0, 4, 0, 0), Stop::Returned) << m.unexpected;
        const Registers& r = m.at_stop;
        EXPECT_EQ(r.flags & 1, 1u);
        EXPECT_EQ(r.ax, 35);
        EXPECT_EQ(r.dx, 0);
        EXPECT_EQ(r.bx, 0x0700 + 2 * 512);
        EXPECT_EQ(r.cx, 2);
        EXPECT_EQ(m.sectors_read(), span(33, 3));
    }
    {
        SCOPED_TRACE("the extended read's packet names the caller's ES");
        BootMachine m;
        machine(m);
        const std::uint8_t extended = 0x0E;
        m.store(0x7C02, &extended, 1);
        ASSERT_EQ(m.call_routine(READ_SECTORS, 34, 0, 1, 0, 0x2000), Stop::Returned) << m.unexpected;
        EXPECT_EQ(m.at_stop.flags & 1, 0u);
        ASSERT_EQ(m.reads.size(), 1u);
        EXPECT_EQ(m.reads[0].function, 0x42);
        EXPECT_EQ(m.reads[0].buffer, 0x20700u);
        EXPECT_EQ(m.memory(0x20700, 512), std::vector<std::uint8_t>(m.sector(34), m.sector(34) + 512));
    }
}
