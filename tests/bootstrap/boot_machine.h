// A small real-mode PC under the Unicorn engine for running the boot sector:
// 1 MiB of memory, stand-ins for the BIOS services the bootstrap calls
// (INT 10h teletype, INT 13h reads, INT 16h key, INT 19h restart), a diskette
// parameter table behind vector 1Eh, and an in-memory disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <unicorn/unicorn.h>

// One INT 13h read as the stand-in saw it.
struct DiskRead {
    std::uint8_t function = 0;   // 02h or 42h
    std::uint8_t drive = 0;      // DL
    std::uint32_t sector = 0;    // absolute sector addressed
    unsigned cylinder = 0, head = 0, sector_number = 0; // function 02h
    std::uint8_t count = 0;      // AL for 02h, the packet's count for 42h
    std::uint32_t buffer = 0;    // linear address of the buffer
    std::vector<std::uint8_t> packet; // function 42h: the 16 bytes at DS:SI
    std::uint8_t table_sectors = 0;   // byte 4 of the table vector 1Eh points at
    bool failed = false;
};

struct Registers {
    std::uint16_t ax, bx, cx, dx, si, di, bp, sp, ip, cs, ds, es, ss;
    std::uint32_t flags;
};

enum class Stop {
    Running,    // nothing ended the run: the instruction cap did
    Restart,    // INT 19h
    HandOver,   // reached 0070:0200
    Returned,   // reached the return address given to call_routine
    Unexpected, // an interrupt or request the stand-ins do not serve
};

class BootMachine {
public:
    static constexpr std::uint32_t BOOT_ADDRESS = 0x7C00;
    static constexpr std::uint32_t BIOS_TABLE = 0xFEFC7; // F000:EFC7
    static constexpr std::uint16_t BIOS_TABLE_SEGMENT = 0xF000, BIOS_TABLE_OFFSET = 0xEFC7;
    // The BIOS's own diskette parameter table: sectors per track (byte 4) 9 and
    // head settle time (byte 9) 1, so that the bootstrap's changes show.
    static constexpr std::uint8_t BIOS_TABLE_BYTES[11] = {0xDF, 0x02, 0x25, 0x02, 0x09, 0x1B,
                                                          0xFF, 0x54, 0xF6, 0x01, 0x04};

    BootMachine();
    ~BootMachine();
    BootMachine(const BootMachine&) = delete;
    BootMachine& operator=(const BootMachine&) = delete;

    // The disk the INT 13h stand-in serves: its size in 512-byte sectors, its
    // CHS geometry, its drive number, and sectors whose read fails. Sectors
    // never written read as zeros.
    std::uint32_t disk_sectors = 2952;
    unsigned disk_sectors_per_track = 18, disk_heads = 2;
    std::uint8_t disk_drive = 0x00;
    std::set<std::uint32_t> failing_sectors;
    std::uint8_t* sector(std::uint32_t number);

    // Loads a sector of the disk (the volume's boot sector: sector 0 of a
    // diskette, the partition's first sector on a fixed disk) to 0000:7C00 and
    // starts it with DL = the BIOS's drive number and junk in the other
    // registers. Runs until INT 19h, the jump to 0070:0200, an unexpected
    // interrupt or the instruction cap.
    Stop boot(std::uint8_t bios_drive, std::uint32_t boot_sector = 0, std::uint64_t instruction_cap = 2'000'000);

    // Calls the near routine at `entry` (segment 0) with the given registers
    // (SS = DS = 0, SP = 7BF4h) and runs until it returns.
    Stop call_routine(std::uint16_t entry, std::uint16_t ax, std::uint16_t bx, std::uint16_t cx,
                      std::uint16_t dx, std::uint16_t es, std::uint64_t instruction_cap = 200'000);

    // What happened.
    std::string screen;               // teletype output
    std::vector<std::uint16_t> teletype_bx; // BX of every teletype call
    int keys_read = 0;
    std::vector<DiskRead> reads;
    std::string unexpected;           // why the run stopped unexpectedly
    Registers at_stop{};              // registers when the run stopped

    std::vector<std::uint8_t> memory(std::uint32_t address, std::size_t length) const;
    std::uint16_t word(std::uint32_t address) const;
    std::uint32_t dword(std::uint32_t address) const;
    void store(std::uint32_t address, const void* bytes, std::size_t length);

    // Reads of one absolute sector.
    int reads_of(std::uint32_t sector) const;
    // The absolute sectors read, in order.
    std::vector<std::uint32_t> sectors_read() const;

private:
    static void on_interrupt(uc_engine* uc, std::uint32_t number, void* self);
    static void on_code(uc_engine* uc, std::uint64_t address, std::uint32_t size, void* self);
    void interrupt(std::uint32_t number);
    void disk_service();
    void finish(Stop why);
    Stop run(std::uint32_t start, std::uint64_t instruction_cap);
    Registers registers() const;
    void set_carry(bool carry);

    std::map<std::uint32_t, std::vector<std::uint8_t>> disk_;
    uc_engine* uc_ = nullptr;
    Stop stop_ = Stop::Running;
    std::uint32_t return_address_ = 0xFFFFFFFF;
};
