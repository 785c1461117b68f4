// The system area as the write plan lays it out, against a reviewed dump; the geometry; the bad-cluster marks.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "broken_down_time.h"
#include "volume/bad_clusters.h"
#include "volume/images.h"
#include "volume/stamp.h"

namespace {

constexpr std::size_t LINE_BYTES = 16;

std::string dump_line(const std::uint8_t* bytes, std::size_t offset)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08zx:", offset);
    std::string line = text;
    for (std::size_t i = 0; i < LINE_BYTES; i += 2) {
        std::snprintf(text, sizeof text, " %02x%02x", bytes[offset + i], bytes[offset + i + 1]);
        line += text;
    }
    line += "  ";
    for (std::size_t i = 0; i < LINE_BYTES; ++i) {
        std::uint8_t byte = bytes[offset + i];
        line += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
    }
    return line + "\n";
}

// The dump `xxd -a` prints of whole 16-byte lines: of a run of all-zero lines
// the first is shown, and two or more after it become one "*"; the last line
// is always shown.
std::string hex_dump(const std::uint8_t* bytes, std::size_t size)
{
    const std::size_t lines = size / LINE_BYTES;
    auto zero = [&](std::size_t line) {
        for (std::size_t i = 0; i < LINE_BYTES; ++i)
            if (bytes[line * LINE_BYTES + i] != 0)
                return false;
        return true;
    };
    std::string dump;
    for (std::size_t line = 0; line < lines;) {
        std::size_t hidden = 0;
        if (line > 0 && zero(line - 1))
            while (line + hidden + 1 < lines && zero(line + hidden))
                ++hidden;
        if (hidden >= 2) {
            dump += "*\n";
            line += hidden;
        } else {
            dump += dump_line(bytes, line * LINE_BYTES);
            ++line;
        }
    }
    return dump;
}

std::string file_text(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// tests/volume/golden/system_area.xxd is cylinder 0 of a disk the program formatted at
// 13:45:31 on 7 June 2004 (`head -c 18432 IMAGE | xxd -a`), reviewed field by
// field. After a deliberate change to the layout, make it again the same way
// and review the difference.
TEST(SystemAreaTest, CylinderZeroMatchesTheReviewedDump)
{
    SystemAreaImages images;
    std::memset(&images, 0xA5, sizeof images); // build_images must write every byte
    build_images(&images);
    stamp_images(broken_down_time(2004, 6, 7, 13, 45, 31), images.BootSectorImage, images.RootLabelSector);

    // Cylinder 0 as the format leaves it (F6h), then every step of the plan.
    std::uint8_t area[SYSTEM_AREA_SECTORS * SECTOR_SIZE];
    std::memset(area, 0xF6, sizeof area);
    int next_sector = 0;
    for (const PlannedWrite& step : SystemAreaWritePlan) {
        ASSERT_EQ(step.sector, next_sector++) << "every sector of cylinder 0 once, ascending";
        std::memcpy(area + static_cast<std::size_t>(step.sector) * SECTOR_SIZE, planned_image(&images, step.image),
                    SECTOR_SIZE);
    }

    const std::string golden = file_text(FORMAT149_GOLDEN_DIR "/system_area.xxd");
    ASSERT_FALSE(golden.empty()) << "cannot read " FORMAT149_GOLDEN_DIR "/system_area.xxd";
    EXPECT_EQ(hex_dump(area, sizeof area), golden);
}

TEST(VolumeLabelTest, WhatFatTakesStoredInUpperCaseInBothPlacesAlone)
{
    for (const char* name : {"DISK1", "a", "ABCDEFGHIJK", "MY DISK", "A-B_C~1!#$%", "&'()@^`{}", "X "})
        EXPECT_EQ(is_volume_label(name), 1) << "'" << name << "'";
    for (std::string name : {"", "ABCDEFGHIJKL", " LEADING", "TAB\tX", "A\x7F", "CAF\xC9"})
        EXPECT_EQ(is_volume_label(name.c_str()), 0) << "'" << name << "'";
    for (char c : std::string("\"*+,./:;<=>?[\\]|"))
        EXPECT_EQ(is_volume_label((std::string("AB") + c).c_str()), 0) << c;

    SystemAreaImages built;
    build_images(&built);
    SystemAreaImages labelled = built;
    label_images(&labelled, "Disk-9 z{");
    // Both labels are the name in upper case, blanks after it; everything else is the template.
    std::memcpy(built.BootSectorImage + 43, "DISK-9 Z{  ", 11);
    std::memcpy(built.RootLabelSector, "DISK-9 Z{  ", 11);
    EXPECT_EQ(std::memcmp(&labelled, &built, sizeof built), 0);
}

TEST(GeometryTest, LogicalSectorNumbers)
{
    EXPECT_EQ(logical_sector(0, 0, 1), 0);
    EXPECT_EQ(logical_sector(0, 1, 1), 18);
    EXPECT_EQ(logical_sector(0, 1, 18), 35);
    EXPECT_EQ(logical_sector(1, 0, 1), 36);
    EXPECT_EQ(logical_sector(81, 1, 18), 2951);
}

// A failed track: its clusters, and the sectors of a FAT copy (from 0) that hold their entries.
TEST(BadClustersTest, MarksTheTracksClustersAloneInTheSectorsThatHoldThem)
{
    struct Row { int head, cylinder, first_cluster, last_cluster; std::vector<int> sectors, tracks_before; };
    const Row rows[] = {
        {1, 81, 2903, 2920, {8}, {}},          // the last clusters: logical sectors 9 and 18 alone
        {0, 10, 329, 346, {0, 1}, {}},         // cluster 341's entry lies in bytes 511 and 512
        {0, 10, 311, 364, {0, 1}, {19, 21}},   // between marked tracks, whose entries keep FF7h
        {0, 29, 1013, 1030, {2, 3}, {}},       // across a sector boundary, no entry straddling it
    };
    SystemAreaImages images;
    build_images(&images);
    for (const Row& row : rows) {
        FatCopy fat;
        std::memset(fat.sectors, 0xA5, sizeof fat.sectors); // start_fat_copy must write every byte
        start_fat_copy(&images, &fat);
        for (int track : row.tracks_before)
            mark_bad_track(&fat, track % HEAD_COUNT, track / HEAD_COUNT);
        EXPECT_EQ(mark_bad_track(&fat, row.head, row.cylinder), SECTORS_PER_TRACK);
        std::vector<int> marked;
        for (int sector = 0; sector < SECTORS_PER_FAT; ++sector)
            if (fat.marked[sector])
                marked.push_back(sector);
        EXPECT_EQ(marked, row.sectors) << "track " << row.cylinder << " side " << row.head;
        auto byte = [&](std::size_t at) { return unsigned{fat.sectors[at / SECTOR_SIZE][at % SECTOR_SIZE]}; };
        for (int cluster = 0; cluster <= LAST_CLUSTER; ++cluster) {
            std::size_t at = static_cast<std::size_t>(cluster) * 3 / 2;
            unsigned entry = (byte(at) | byte(at + 1) << 8) >> (cluster % 2 * 4) & 0xFFF;
            bool bad = cluster >= row.first_cluster && cluster <= row.last_cluster;
            unsigned wanted = cluster == 0 ? 0xFF0 : cluster == 1 ? 0xFFF : bad ? BAD_CLUSTER_ENTRY : 0;
            ASSERT_EQ(entry, wanted) << "cluster " << cluster << ", track " << row.cylinder << " side " << row.head;
        }
    }
}

} // namespace
