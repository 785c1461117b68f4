// Bytes 62..509 of the boot sector: the bootstrap program, assembled by the
// build from volume/bootstrap.asm, with its texts between the two code windows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "volume/bootstrap_code.h" // generated: BOOTSTRAP_CODE

namespace bootstrap_area_detail {

constexpr std::size_t AREA_START = 62;

constexpr bool holds(const std::array<std::uint8_t, 448>& area, std::size_t sector_offset, const char* bytes,
                     std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        if (area[sector_offset - AREA_START + i] != static_cast<std::uint8_t>(bytes[i]))
            return false;
    return true;
}

} // namespace bootstrap_area_detail

inline constexpr std::array<std::uint8_t, 448> BOOTSTRAP_AREA_BYTES = BOOTSTRAP_CODE;

// The data between the code windows stays where the bootstrap and a loaded
// system file expect it; a source that shifts any of it does not build.
namespace bootstrap_area_detail {
static_assert(holds(BOOTSTRAP_AREA_BYTES, 383, "\x03\x18\x01\x27", 4), "message-index bytes");
static_assert(holds(BOOTSTRAP_AREA_BYTES, 387, "\r\nInvalid system disk\xFF", 22));
static_assert(holds(BOOTSTRAP_AREA_BYTES, 409, "\r\nDisk I/O error\xFF", 17));
static_assert(holds(BOOTSTRAP_AREA_BYTES, 426, "\r\nReplace the disk, and then press any key\r\n\0", 45));
static_assert(holds(BOOTSTRAP_AREA_BYTES, 471, "\0", 1));
static_assert(holds(BOOTSTRAP_AREA_BYTES, 472, "IO      SYS", 11), "the system file's name");
static_assert(holds(BOOTSTRAP_AREA_BYTES, 483, "MSDOS   SYS", 11));
static_assert(holds(BOOTSTRAP_AREA_BYTES, 494, "\x7F\x01\x00", 3));
// The two entries of the sector-read routine: INC CX at 497, MOV BX,0700h at 498.
static_assert(holds(BOOTSTRAP_AREA_BYTES, 497, "\x41\xBB\x00\x07", 4), "sector-read entries");
static_assert(holds(BOOTSTRAP_AREA_BYTES, 508, "\0\0", 2));
} // namespace bootstrap_area_detail
