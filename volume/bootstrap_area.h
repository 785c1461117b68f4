// The boot sector's bootstrap area: the bootstrap program, assembled by the
// build from volume/bootstrap.asm, with its texts between the two code windows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "volume/bootstrap_code.h" // generated: BOOTSTRAP_CODE
#include "volume/images.h"

// The build assembles the program to the area's length; an area of another
// length does not build.
inline constexpr std::array<std::uint8_t, boot_sector::BOOTSTRAP_AREA_LENGTH> BOOTSTRAP_AREA_BYTES = BOOTSTRAP_CODE;

namespace bootstrap_area_detail {

// Whether the area holds `bytes` at boot-sector offset `sector_offset`.
constexpr bool holds(std::size_t sector_offset, const char* bytes, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        if (BOOTSTRAP_AREA_BYTES[sector_offset - boot_sector::BOOTSTRAP_AREA + i] != static_cast<std::uint8_t>(bytes[i]))
            return false;
    return true;
}

// The data between the code windows stays where the bootstrap and a loaded
// system file expect it; a source that shifts any of it does not build.
static_assert(holds(383, "\x03\x18\x01\x27", 4), "message-index bytes");
static_assert(holds(387, "\r\nInvalid system disk\xFF", 22));
static_assert(holds(409, "\r\nDisk I/O error\xFF", 17));
static_assert(holds(426, "\r\nReplace the disk, and then press any key\r\n\0", 45));
static_assert(holds(471, "\0", 1));
static_assert(holds(472, "IO      SYS", 11), "the system file's name");
static_assert(holds(483, "MSDOS   SYS", 11));
static_assert(holds(494, "\x7F\x01\x00", 3));
// The two entries of the sector-read routine: INC CX at 497, MOV BX,0700h at 498.
static_assert(holds(497, "\x41\xBB\x00\x07", 4), "sector-read entries");
static_assert(holds(508, "\0\0", 2));

} // namespace bootstrap_area_detail
