// The volume stamp: serial number and label date and time from the moment of the format.
#pragma once

#include <cstdint>
#include <ctime>

#include "volume/images.h"

struct VolumeStamp {
    std::uint16_t date_word;          // FAT directory date: year since 1980, month, day
    std::uint16_t time_word;          // FAT directory time: hour, minute, two-second count
    std::uint32_t serial_number;      // high word: month, day, second; low word: hour, minute, year
};

// The stamp of the broken-down local time `time`. Years outside 1980..2107 go
// through the same arithmetic: the date word keeps the low 7 bits of the year.
// A leap second is stamped as second 59.
VolumeStamp make_volume_stamp(const std::tm& time);

// Stores the stamp of `time` into the boot sector (serial number, offsets 39..42)
// and the volume-label entry (time 22..23, date 24..25); nothing else changes.
void stamp_images(const std::tm& time, std::uint8_t* boot_sector_image, std::uint8_t* root_label_image);
