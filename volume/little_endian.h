// Little-endian stores into sector images: every multi-byte value on the disk goes low byte first.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr void store_word(std::uint8_t* bytes, std::size_t offset, std::uint16_t value)
{
    bytes[offset] = static_cast<std::uint8_t>(value);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr void store_doubleword(std::uint8_t* bytes, std::size_t offset, std::uint32_t value)
{
    store_word(bytes, offset, static_cast<std::uint16_t>(value));
    store_word(bytes, offset + 2, static_cast<std::uint16_t>(value >> 16));
}
