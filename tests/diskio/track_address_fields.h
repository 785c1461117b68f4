// The address fields of a well-formed track format, built field by field for tests.
#pragma once

#include <cstdint>

#include "diskio/registers.h"

// Sectors 1..18 of 512 bytes on `cylinder` and `head`, in ascending order.
inline AddressFieldList fields_for(int cylinder, int head)
{
    AddressFieldList list{};
    for (int r = 1; r <= 18; ++r)
        list.fields[r - 1] = AddressField{static_cast<std::uint8_t>(cylinder), static_cast<std::uint8_t>(head),
                                          static_cast<std::uint8_t>(r), SIZE_CODE_512};
    return list;
}
