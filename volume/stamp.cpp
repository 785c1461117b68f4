// The volume stamp: computed in 16-bit words and stored little-endian.
#include "volume/stamp.h"

#include "volume/little_endian.h"

VolumeStamp make_volume_stamp(const std::tm& time)
{
    // Every quantity is an unsigned 16-bit word, so arithmetic wraps modulo 65536.
    auto word = [](long value) { return static_cast<std::uint16_t>(static_cast<unsigned long>(value) & 0xFFFF); };
    std::uint16_t year = word(static_cast<long>(time.tm_year) - 80); // years since 1980
    std::uint16_t month = word(static_cast<long>(time.tm_mon) + 1);
    std::uint16_t day = word(time.tm_mday);
    std::uint16_t hour = word(time.tm_hour);
    std::uint16_t minute = word(time.tm_min);
    // A leap second (60) counts as second 59: the two-second count of a FAT
    // time stops at 29.
    std::uint16_t second = word(time.tm_sec > 59 ? 59 : time.tm_sec);

    VolumeStamp stamp{};
    stamp.date_word = word(((year & 0x7F) << 9) + month * 32 + day);
    stamp.time_word = word(hour * 2048 + minute * 32 + second / 2);
    std::uint16_t serial_low = word((hour << 8) + minute + year);
    std::uint16_t serial_high = word((month << 8) + day + (second << 8));
    stamp.serial_number = static_cast<std::uint32_t>(serial_high) << 16 | serial_low;
    return stamp;
}

void stamp_images(const std::tm& time, std::uint8_t* boot_sector_image, std::uint8_t* root_label_image)
{
    VolumeStamp stamp = make_volume_stamp(time);
    store_doubleword(boot_sector_image, boot_sector::SERIAL_NUMBER, stamp.serial_number);
    store_word(root_label_image, label_entry::TIME, stamp.time_word);
    store_word(root_label_image, label_entry::DATE, stamp.date_word);
}
