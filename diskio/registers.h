// The register record exchanged with the VWIN32 device, and its control codes.
#pragma once

#include <cstddef>
#include <cstdint>

// Seven doublewords, in the order the device expects them.
struct DIOC_REGISTERS {
    std::uint32_t reg_EBX;   // offset 0
    std::uint32_t reg_EDX;   // offset 4
    std::uint32_t reg_ECX;   // offset 8
    std::uint32_t reg_EAX;   // offset 12
    std::uint32_t reg_EDI;   // offset 16
    std::uint32_t reg_ESI;   // offset 20
    std::uint32_t reg_Flags; // offset 24; bit 0 is the carry flag
};
static_assert(sizeof(DIOC_REGISTERS) == 28, "the device takes a 28-byte record");
static_assert(offsetof(DIOC_REGISTERS, reg_EBX) == 0);
static_assert(offsetof(DIOC_REGISTERS, reg_EDX) == 4);
static_assert(offsetof(DIOC_REGISTERS, reg_ECX) == 8);
static_assert(offsetof(DIOC_REGISTERS, reg_EAX) == 12);
static_assert(offsetof(DIOC_REGISTERS, reg_EDI) == 16);
static_assert(offsetof(DIOC_REGISTERS, reg_ESI) == 20);
static_assert(offsetof(DIOC_REGISTERS, reg_Flags) == 24);

constexpr std::uint32_t VWIN32_DIOC_DOS_IOCTL = 1; // MS-DOS Int 21h, function 44xxh
constexpr std::uint32_t VWIN32_DIOC_DOS_INT26 = 3; // MS-DOS Int 26h, absolute disk write
constexpr std::uint32_t VWIN32_DIOC_DOS_INT13 = 4; // BIOS Int 13h, disk services

constexpr std::uint32_t CARRY_FLAG = 0x0001;

// "\\.\vwin32"
constexpr const char VWIN32_DEVICE_NAME[] = "\\\\.\\vwin32";
