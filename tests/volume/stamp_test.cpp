// The volume stamp from broken-down times, and where it lands in the images.
#include <gtest/gtest.h>

#include <cstring>

#include "broken_down_time.h"
#include "volume/images.h"
#include "volume/stamp.h"

namespace {

struct ExpectedStamp {
    std::tm time;
    std::uint16_t date_word;
    std::uint16_t time_word;
    std::uint32_t serial_number;
};

TEST(VolumeStampTest, WordsAndSerialNumbers)
{
    const ExpectedStamp cases[] = {
        {broken_down_time(2004, 6, 7, 13, 45, 31), 0x30C7, 0x6DAF, 0x25070D45},
        {broken_down_time(1980, 1, 1, 0, 0, 0), 0x0021, 0x0000, 0x01010000},
        {broken_down_time(2099, 12, 31, 23, 59, 59), 0xEF9F, 0xBF7D, 0x471F17B2},
        // 2108 no longer fits the date word; the serial still adds the whole year.
        {broken_down_time(2108, 1, 1, 0, 0, 0), 0x0021, 0x0000, 0x01010080},
        {broken_down_time(2107, 12, 31, 0, 0, 0), 0xFF9F, 0x0000, 0x0C1F007F},
        // Before 1980 the year is a negative 16-bit word.
        {broken_down_time(1979, 12, 31, 12, 0, 0), 0xFF9F, 0x6000, 0x0C1F0BFF},
        // A leap second counts as second 59: two-second count 29, and 59 in the serial.
        {broken_down_time(2016, 12, 31, 23, 59, 60), 0x499F, 0xBF7D, 0x471F175F},
    };
    for (const ExpectedStamp& expected : cases) {
        VolumeStamp stamp = make_volume_stamp(expected.time);
        SCOPED_TRACE(expected.time.tm_year + 1900);
        EXPECT_EQ(stamp.date_word, expected.date_word);
        EXPECT_EQ(stamp.time_word, expected.time_word);
        EXPECT_EQ(stamp.serial_number, expected.serial_number);
    }
}

TEST(VolumeStampTest, OneSecondApart)
{
    VolumeStamp even = make_volume_stamp(broken_down_time(2004, 6, 7, 13, 45, 30));
    VolumeStamp odd = make_volume_stamp(broken_down_time(2004, 6, 7, 13, 45, 31));
    VolumeStamp next = make_volume_stamp(broken_down_time(2004, 6, 7, 13, 45, 32));
    EXPECT_EQ((odd.serial_number >> 16) - (even.serial_number >> 16), 0x100u);
    EXPECT_EQ(odd.serial_number & 0xFFFF, even.serial_number & 0xFFFF);
    EXPECT_EQ(odd.time_word, even.time_word); // the same two-second step
    EXPECT_EQ(next.time_word, odd.time_word + 1);
}

TEST(VolumeStampTest, StoredLittleEndianAndNothingElseChanges)
{
    SystemAreaImages built;
    build_images(&built);
    SystemAreaImages stamped = built;
    stamp_images(broken_down_time(2004, 6, 7, 13, 45, 31), stamped.BootSectorImage, stamped.RootLabelSector);

    const std::uint8_t serial[4] = {0x45, 0x0D, 0x07, 0x25};
    const std::uint8_t time_and_date[4] = {0xAF, 0x6D, 0xC7, 0x30};
    EXPECT_EQ(std::memcmp(stamped.BootSectorImage + 39, serial, 4), 0);
    EXPECT_EQ(std::memcmp(stamped.RootLabelSector + 22, time_and_date, 4), 0);
    for (std::size_t i = 0; i < 512; ++i) {
        if (i < 39 || i > 42) {
            EXPECT_EQ(stamped.BootSectorImage[i], built.BootSectorImage[i]) << "boot sector byte " << i;
        }
        if (i < 22 || i > 25) {
            EXPECT_EQ(stamped.RootLabelSector[i], built.RootLabelSector[i]) << "label sector byte " << i;
        }
    }
    EXPECT_EQ(std::memcmp(stamped.FatHeadSector, built.FatHeadSector, 512), 0);
    EXPECT_EQ(std::memcmp(stamped.BlankSector, built.BlankSector, 512), 0);
}

} // namespace
