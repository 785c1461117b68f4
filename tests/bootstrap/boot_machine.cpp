// The Unicorn-based stand-in PC; see boot_machine.h.
#include "boot_machine.h"

#include <cstring>
#include <stdexcept>

namespace {

constexpr std::uint32_t MEMORY_SIZE = 0x100000;
constexpr std::uint32_t HAND_OVER_ADDRESS = 0x0070 * 16 + 0x0200;
constexpr std::uint32_t RETURN_ADDRESS = 0x0600;
constexpr std::uint32_t SECTOR = 512;

void check(uc_err result, const char* what)
{
    if (result != UC_ERR_OK)
        throw std::runtime_error(std::string(what) + ": " + uc_strerror(result));
}

} // namespace

BootMachine::BootMachine()
{
    check(uc_open(UC_ARCH_X86, UC_MODE_16, &uc_), "uc_open");
    check(uc_mem_map(uc_, 0, MEMORY_SIZE, UC_PROT_ALL), "uc_mem_map");
    store(BIOS_TABLE, BIOS_TABLE_BYTES, sizeof BIOS_TABLE_BYTES);
    const std::uint16_t vector[2] = {BIOS_TABLE_OFFSET, BIOS_TABLE_SEGMENT};
    store(0x1E * 4, vector, sizeof vector);
    const std::uint8_t halt = 0xF4;
    store(RETURN_ADDRESS, &halt, 1);

    uc_hook hook;
    check(uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&BootMachine::on_interrupt), this, 1, 0),
          "interrupt hook");
    check(uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&BootMachine::on_code), this,
                      HAND_OVER_ADDRESS, HAND_OVER_ADDRESS),
          "hand-over hook");
    check(uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&BootMachine::on_code), this,
                      RETURN_ADDRESS, RETURN_ADDRESS),
          "return hook");
}

BootMachine::~BootMachine()
{
    uc_close(uc_);
}

std::uint8_t* BootMachine::sector(std::uint32_t number)
{
    auto& bytes = disk_[number];
    bytes.resize(SECTOR);
    return bytes.data();
}

std::vector<std::uint8_t> BootMachine::memory(std::uint32_t address, std::size_t length) const
{
    std::vector<std::uint8_t> bytes(length);
    check(uc_mem_read(uc_, address, bytes.data(), length), "uc_mem_read");
    return bytes;
}

std::uint16_t BootMachine::word(std::uint32_t address) const
{
    const auto bytes = memory(address, 2);
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

std::uint32_t BootMachine::dword(std::uint32_t address) const
{
    return word(address) | static_cast<std::uint32_t>(word(address + 2)) << 16;
}

void BootMachine::store(std::uint32_t address, const void* bytes, std::size_t length)
{
    check(uc_mem_write(uc_, address, bytes, length), "uc_mem_write");
}

int BootMachine::reads_of(std::uint32_t number) const
{
    int count = 0;
    for (const DiskRead& read : reads)
        count += read.sector == number;
    return count;
}

std::vector<std::uint32_t> BootMachine::sectors_read() const
{
    std::vector<std::uint32_t> sectors;
    for (const DiskRead& read : reads)
        sectors.push_back(read.sector);
    return sectors;
}

Registers BootMachine::registers() const
{
    auto read = [this](int id) {
        std::uint64_t value = 0; // Unicorn writes only the register's width
        check(uc_reg_read(uc_, id, &value), "uc_reg_read");
        return value;
    };
    Registers r{};
    r.ax = static_cast<std::uint16_t>(read(UC_X86_REG_AX));
    r.bx = static_cast<std::uint16_t>(read(UC_X86_REG_BX));
    r.cx = static_cast<std::uint16_t>(read(UC_X86_REG_CX));
    r.dx = static_cast<std::uint16_t>(read(UC_X86_REG_DX));
    r.si = static_cast<std::uint16_t>(read(UC_X86_REG_SI));
    r.di = static_cast<std::uint16_t>(read(UC_X86_REG_DI));
    r.bp = static_cast<std::uint16_t>(read(UC_X86_REG_BP));
    r.sp = static_cast<std::uint16_t>(read(UC_X86_REG_SP));
    r.ip = static_cast<std::uint16_t>(read(UC_X86_REG_IP));
    r.cs = static_cast<std::uint16_t>(read(UC_X86_REG_CS));
    r.ds = static_cast<std::uint16_t>(read(UC_X86_REG_DS));
    r.es = static_cast<std::uint16_t>(read(UC_X86_REG_ES));
    r.ss = static_cast<std::uint16_t>(read(UC_X86_REG_SS));
    r.flags = static_cast<std::uint32_t>(read(UC_X86_REG_EFLAGS));
    return r;
}

void BootMachine::set_carry(bool carry)
{
    std::uint64_t flags = 0;
    check(uc_reg_read(uc_, UC_X86_REG_EFLAGS, &flags), "uc_reg_read");
    flags = carry ? (flags | 1) : (flags & ~std::uint64_t{1});
    check(uc_reg_write(uc_, UC_X86_REG_EFLAGS, &flags), "uc_reg_write");
}

void BootMachine::finish(Stop why)
{
    if (stop_ != Stop::Running)
        return;
    stop_ = why;
    at_stop = registers();
    uc_emu_stop(uc_);
}

void BootMachine::on_interrupt(uc_engine*, std::uint32_t number, void* self)
{
    static_cast<BootMachine*>(self)->interrupt(number);
}

// In a code hook Unicorn gives the linear address, and its IP register may
// hold that too right after a far jump: IP is worked out from CS.
void BootMachine::on_code(uc_engine*, std::uint64_t address, std::uint32_t, void* self)
{
    auto* machine = static_cast<BootMachine*>(self);
    const std::uint16_t cs = machine->registers().cs;
    const std::uint64_t ip = address - cs * 16u;
    if (address == HAND_OVER_ADDRESS && cs == 0x0070 && ip == 0x0200)
        machine->finish(Stop::HandOver);
    else if (address == RETURN_ADDRESS && machine->return_address_ == RETURN_ADDRESS)
        machine->finish(Stop::Returned);
    else {
        machine->unexpected = "code run at " + std::to_string(cs) + ":" + std::to_string(ip);
        machine->finish(Stop::Unexpected);
    }
    machine->at_stop.ip = static_cast<std::uint16_t>(ip);
}

// With an interrupt hook in place Unicorn does not go through the vector: the
// stand-in does the service and execution resumes after the INT instruction.
void BootMachine::interrupt(std::uint32_t number)
{
    Registers r = registers();
    const std::uint8_t ah = static_cast<std::uint8_t>(r.ax >> 8);
    if (number == 0x10 && ah == 0x0E) {
        screen += static_cast<char>(r.ax & 0xFF);
        teletype_bx.push_back(r.bx);
    } else if (number == 0x13) {
        disk_service();
    } else if (number == 0x16 && ah == 0x00) {
        ++keys_read;
        const std::uint16_t key = 0x1C0D; // Enter
        check(uc_reg_write(uc_, UC_X86_REG_AX, &key), "uc_reg_write");
    } else if (number == 0x19) {
        finish(Stop::Restart);
    } else {
        unexpected = "INT " + std::to_string(number) + " AH=" + std::to_string(ah);
        finish(Stop::Unexpected);
    }
}

void BootMachine::disk_service()
{
    const Registers r = registers();
    DiskRead read;
    read.function = static_cast<std::uint8_t>(r.ax >> 8);
    read.drive = static_cast<std::uint8_t>(r.dx & 0xFF);
    const std::uint16_t table_offset = word(0x1E * 4), table_segment = word(0x1E * 4 + 2);
    read.table_sectors = memory(table_segment * 16u + table_offset + 4, 1)[0];

    bool valid = true;
    if (read.function == 0x02) {
        read.count = static_cast<std::uint8_t>(r.ax & 0xFF);
        read.cylinder = (r.cx >> 8) | (r.cx & 0xC0) << 2;
        read.sector_number = r.cx & 0x3F;
        read.head = r.dx >> 8;
        read.buffer = r.es * 16u + r.bx;
        valid = read.sector_number >= 1 && read.sector_number <= disk_sectors_per_track
                && read.head < disk_heads;
        read.sector = (read.cylinder * disk_heads + read.head) * disk_sectors_per_track + read.sector_number - 1;
    } else if (read.function == 0x42) {
        const std::uint32_t packet = r.ds * 16u + r.si;
        read.packet = memory(packet, 16);
        read.count = read.packet[2];
        read.buffer = word(packet + 6) * 16u + word(packet + 4);
        read.sector = dword(packet + 8);
        valid = read.packet[0] == 0x10 && dword(packet + 12) == 0;
    } else {
        unexpected = "INT 13h AH=" + std::to_string(read.function);
        finish(Stop::Unexpected);
        return;
    }
    valid = valid && read.count == 1 && read.drive == disk_drive;
    read.failed = !valid || read.sector >= disk_sectors || failing_sectors.count(read.sector) != 0;
    if (!read.failed)
        store(read.buffer, sector(read.sector), SECTOR);
    const std::uint16_t ax = read.failed ? 0x0400 : 0x0001; // 04h: sector not found
    check(uc_reg_write(uc_, UC_X86_REG_AX, &ax), "uc_reg_write");
    set_carry(read.failed);
    reads.push_back(read);
}

Stop BootMachine::run(std::uint32_t start, std::uint64_t instruction_cap)
{
    stop_ = Stop::Running;
    const uc_err result = uc_emu_start(uc_, start, MEMORY_SIZE + 1, 0, instruction_cap);
    if (stop_ == Stop::Running) {
        at_stop = registers();
        if (result != UC_ERR_OK) {
            unexpected = uc_strerror(result);
            stop_ = Stop::Unexpected;
        }
    }
    return stop_;
}

Stop BootMachine::boot(std::uint8_t bios_drive, std::uint32_t boot_sector, std::uint64_t instruction_cap)
{
    store(BOOT_ADDRESS, sector(boot_sector), SECTOR);
    // What a BIOS might leave: its own stack and data segments, the drive in DL,
    // the direction flag set.
    const std::pair<int, std::uint64_t> start[] = {
        {UC_X86_REG_CS, 0},          {UC_X86_REG_DS, 0x0040},   {UC_X86_REG_ES, 0x1234},
        {UC_X86_REG_SS, 0x0030},     {UC_X86_REG_SP, 0x00F6},   {UC_X86_REG_AX, 0xAA55},
        {UC_X86_REG_BX, 0x1111},     {UC_X86_REG_CX, 0x2222},   {UC_X86_REG_DX, 0x3300u | bios_drive},
        {UC_X86_REG_SI, 0x4444},     {UC_X86_REG_DI, 0x5555},   {UC_X86_REG_BP, 0x6666},
        {UC_X86_REG_EFLAGS, 0x0603}, // IF, DF, CF
    };
    for (const auto& [id, value] : start)
        check(uc_reg_write(uc_, id, &value), "uc_reg_write");
    return run(BOOT_ADDRESS, instruction_cap);
}

Stop BootMachine::call_routine(std::uint16_t entry, std::uint16_t ax, std::uint16_t bx, std::uint16_t cx,
                               std::uint16_t dx, std::uint16_t es, std::uint64_t instruction_cap)
{
    return_address_ = RETURN_ADDRESS;
    const std::uint16_t sp = 0x7BF4 - 2;
    const std::uint16_t return_ip = RETURN_ADDRESS;
    store(sp, &return_ip, 2);
    const std::pair<int, std::uint64_t> start[] = {
        {UC_X86_REG_CS, 0},  {UC_X86_REG_DS, 0},   {UC_X86_REG_SS, 0},      {UC_X86_REG_ES, es},
        {UC_X86_REG_SP, sp}, {UC_X86_REG_BP, 0x7C00}, {UC_X86_REG_SI, 0x5151}, {UC_X86_REG_DI, 0xD1D1},
        {UC_X86_REG_AX, ax}, {UC_X86_REG_BX, bx},  {UC_X86_REG_CX, cx},     {UC_X86_REG_DX, dx},
        {UC_X86_REG_EFLAGS, 0x0203},
    };
    for (const auto& [id, value] : start)
        check(uc_reg_write(uc_, id, &value), "uc_reg_write");
    const Stop stop = run(entry, instruction_cap);
    return_address_ = 0xFFFFFFFF;
    return stop;
}
