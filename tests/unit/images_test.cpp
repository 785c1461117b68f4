// The system-area images and the write plan, byte by byte.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "volume/images.h"

namespace {

unsigned word_at(const std::uint8_t* bytes, std::size_t offset)
{
    return bytes[offset] | (bytes[offset + 1] << 8);
}

unsigned long doubleword_at(const std::uint8_t* bytes, std::size_t offset)
{
    return word_at(bytes, offset) | (static_cast<unsigned long>(word_at(bytes, offset + 2)) << 16);
}

bool all_zero(const std::uint8_t* bytes, std::size_t from, std::size_t to)
{
    for (std::size_t i = from; i < to; ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

class ImagesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::memset(&images, 0xA5, sizeof images); // build_images must overwrite every byte
        build_images(&images);
    }
    SystemAreaImages images;
};

TEST_F(ImagesTest, BootSectorCarriesTheEnlargedFat12Parameters)
{
    const std::uint8_t* boot = images.BootSectorImage;
    EXPECT_EQ(boot[0], 0xEB);
    EXPECT_EQ(boot[1], 0x3C);
    EXPECT_EQ(boot[2], 0x90);
    EXPECT_EQ(std::memcmp(boot + 3, "({:iZIHC", 8), 0);
    EXPECT_EQ(word_at(boot, 11), 512u);
    EXPECT_EQ(boot[13], 1);
    EXPECT_EQ(word_at(boot, 14), 1u);
    EXPECT_EQ(boot[16], 2);
    EXPECT_EQ(word_at(boot, 17), 224u);
    EXPECT_EQ(word_at(boot, 19), 2952u);
    EXPECT_EQ(boot[21], 0xF0);
    EXPECT_EQ(word_at(boot, 22), 9u);
    EXPECT_EQ(word_at(boot, 24), 18u);
    EXPECT_EQ(word_at(boot, 26), 2u);
    EXPECT_EQ(doubleword_at(boot, 28), 0u);
    EXPECT_EQ(doubleword_at(boot, 32), 0u);
    EXPECT_EQ(boot[36], 0x00);
    EXPECT_EQ(boot[37], 0x00);
    EXPECT_EQ(boot[38], 0x29);
    EXPECT_EQ(doubleword_at(boot, 39), 0u); // the serial number comes from the stamp
    EXPECT_EQ(std::memcmp(boot + 43, "MARVESTO   ", 11), 0);
    EXPECT_EQ(std::memcmp(boot + 54, "FAT12   ", 8), 0);
    EXPECT_EQ(boot[510], 0x55);
    EXPECT_EQ(boot[511], 0xAA);
}

TEST_F(ImagesTest, BootSectorCarriesTheBootstrapTexts)
{
    const std::uint8_t* boot = images.BootSectorImage;
    const std::uint8_t index_bytes[4] = {0x03, 0x18, 0x01, 0x27};
    EXPECT_EQ(std::memcmp(boot + 383, index_bytes, 4), 0);
    EXPECT_EQ(std::memcmp(boot + 387, "\r\nInvalid system disk\xFF", 22), 0);
    EXPECT_EQ(std::memcmp(boot + 409, "\r\nDisk I/O error\xFF", 17), 0);
    EXPECT_EQ(std::memcmp(boot + 426, "\r\nReplace the disk, and then press any key\r\n", 44), 0);
    EXPECT_EQ(boot[470], 0x00);
    EXPECT_EQ(boot[471], 0x00);
    EXPECT_EQ(std::memcmp(boot + 472, "IO      SYS", 11), 0);
    EXPECT_EQ(std::memcmp(boot + 483, "MSDOS   SYS", 11), 0);
    EXPECT_EQ(boot[494], 0x7F);
    EXPECT_EQ(boot[495], 0x01);
    EXPECT_EQ(boot[496], 0x00);
    EXPECT_EQ(boot[508], 0x00);
    EXPECT_EQ(boot[509], 0x00);
    // Each index byte selects its message: p + 1 + value.
    EXPECT_EQ(std::memcmp(boot + 383 + 1 + 3, "\r\nInvalid", 9), 0);
    EXPECT_EQ(std::memcmp(boot + 385 + 1 + 1, "\r\nInvalid", 9), 0);
    EXPECT_EQ(std::memcmp(boot + 384 + 1 + 24, "\r\nDisk I/O", 10), 0);
    EXPECT_EQ(std::memcmp(boot + 386 + 1 + 39, "\r\nReplace", 9), 0);
}

TEST_F(ImagesTest, FatHeadRootLabelAndBlankSectors)
{
    EXPECT_EQ(images.FatHeadSector[0], 0xF0);
    EXPECT_EQ(images.FatHeadSector[1], 0xFF);
    EXPECT_EQ(images.FatHeadSector[2], 0xFF);
    EXPECT_TRUE(all_zero(images.FatHeadSector, 3, 512));

    const std::uint8_t* root = images.RootLabelSector;
    EXPECT_EQ(std::memcmp(root, "MARVESTO   ", 11), 0);
    EXPECT_EQ(root[11], 0x28);
    EXPECT_TRUE(all_zero(root, 12, 32)); // reserved, time and date until stamped, cluster, size
    EXPECT_TRUE(all_zero(root, 32, 512));

    EXPECT_TRUE(all_zero(images.BlankSector, 0, 512));
}

TEST(WritePlanTest, WritesEverySectorOfCylinderZeroOnceInOrder)
{
    std::set<int> written;
    int previous = -1;
    for (const PlannedWrite& step : SystemAreaWritePlan) {
        EXPECT_GT(step.sector, previous);
        previous = step.sector;
        written.insert(step.sector);
        PlannedImage expected = PlannedImage::Blank;
        if (step.sector == 0)
            expected = PlannedImage::BootSector;
        else if (step.sector == 1 || step.sector == 10)
            expected = PlannedImage::FatHead;
        else if (step.sector == 19)
            expected = PlannedImage::RootLabel;
        EXPECT_EQ(step.image, expected) << "sector " << step.sector;
    }
    EXPECT_EQ(written.size(), 36u);
    EXPECT_EQ(*written.begin(), 0);
    EXPECT_EQ(*written.rbegin(), 35);
}

TEST(WritePlanTest, PlannedImageNamesTheCallersBuffers)
{
    SystemAreaImages images{};
    EXPECT_EQ(planned_image(&images, PlannedImage::BootSector), images.BootSectorImage);
    EXPECT_EQ(planned_image(&images, PlannedImage::FatHead), images.FatHeadSector);
    EXPECT_EQ(planned_image(&images, PlannedImage::RootLabel), images.RootLabelSector);
    EXPECT_EQ(planned_image(&images, PlannedImage::Blank), images.BlankSector);
}

TEST(GeometryTest, LogicalSectorNumbers)
{
    EXPECT_EQ(logical_sector(0, 0, 1), 0);
    EXPECT_EQ(logical_sector(0, 1, 1), 18);
    EXPECT_EQ(logical_sector(0, 1, 18), 35);
    EXPECT_EQ(logical_sector(1, 0, 1), 36);
    EXPECT_EQ(logical_sector(81, 1, 18), 2951);
}

} // namespace
