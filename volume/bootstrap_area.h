// Bytes 62..509 of the boot sector: the bootstrap's code windows and its texts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace bootstrap_area_detail {

constexpr std::size_t AREA_START = 62;

constexpr void put(std::array<std::uint8_t, 448>& area, std::size_t sector_offset, const char* bytes,
                   std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        area[sector_offset - AREA_START + i] = static_cast<std::uint8_t>(bytes[i]);
}

// The data between the two code windows (sector offsets 383..496) and the two
// zero bytes before the signature; the code windows 62..382 and 497..507 are
// still empty.
constexpr std::array<std::uint8_t, 448> make_area()
{
    std::array<std::uint8_t, 448> area{};
    put(area, 383, "\x03\x18\x01\x27", 4);
    put(area, 387, "\r\nInvalid system disk\xFF", 22);
    put(area, 409, "\r\nDisk I/O error\xFF", 17);
    put(area, 426, "\r\nReplace the disk, and then press any key\r\n\0", 45);
    put(area, 471, "\0", 1);
    put(area, 472, "IO      SYS", 11);
    put(area, 483, "MSDOS   SYS", 11);
    put(area, 494, "\x7F\x01\x00", 3);
    return area;
}

} // namespace bootstrap_area_detail

inline constexpr std::array<std::uint8_t, 448> BOOTSTRAP_AREA_BYTES = bootstrap_area_detail::make_area();
