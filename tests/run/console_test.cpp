// The answer reader and the date line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "broken_down_time.h"
#include "run/command_line.h"
#include "run/console.h"
#include "run/local_time.h"

namespace {

// Standard input as a list of blocks, one per read, as a console delivers lines.
std::vector<std::string> pending_blocks;
int reads_made = 0;

long read_scripted_block(unsigned char* buffer, std::size_t size)
{
    ++reads_made;
    if (pending_blocks.empty())
        return 0;
    std::string block = pending_blocks.front();
    pending_blocks.erase(pending_blocks.begin());
    EXPECT_LE(block.size(), size);
    std::memcpy(buffer, block.data(), block.size());
    return static_cast<long>(block.size());
}

long read_failing_block(unsigned char*, std::size_t)
{
    ++reads_made;
    return -1;
}

char answer_for(std::vector<std::string> blocks)
{
    pending_blocks = std::move(blocks);
    reads_made = 0;
    AnswerBuffer buffer;
    return read_answer('N', &buffer, read_scripted_block);
}

TEST(AnswerReaderTest, FirstNonBlankByteAnswers)
{
    EXPECT_EQ(answer_for({"y\n"}), 'y');
    EXPECT_EQ(answer_for({"Y\n"}), 'Y');
    EXPECT_EQ(answer_for({"   \t y\n"}), 'y');
    EXPECT_EQ(answer_for({"n\n"}), 'n');
    EXPECT_EQ(answer_for({"x\n"}), 'x');
    EXPECT_EQ(answer_for({"yes\n"}), 'y');
    EXPECT_EQ(answer_for({"\r\n\v\f y"}), 'y');
}

TEST(AnswerReaderTest, BlankLinesDoNotAnswer)
{
    EXPECT_EQ(answer_for({"\n", "   \n", "\t\n", "Y\n", "n\n"}), 'Y');
    EXPECT_EQ(reads_made, 4);
    EXPECT_EQ(pending_blocks.size(), 1u); // the line after the answer is left for later
}

TEST(AnswerReaderTest, EndOfInputOrAnErrorLeavesTheAnswer)
{
    EXPECT_EQ(answer_for({}), 'N');
    EXPECT_EQ(answer_for({"\n", "  "}), 'N');
    EXPECT_EQ(reads_made, 3);
    reads_made = 0;
    AnswerBuffer buffer;
    EXPECT_EQ(read_answer('N', &buffer, read_failing_block), 'N');
    EXPECT_EQ(reads_made, 1);
}

TEST(AnswerReaderTest, OnlyTheSixBlanksAreWhiteSpace)
{
    EXPECT_EQ(answer_for({std::string("\0y", 2)}), '\0');
    EXPECT_EQ(answer_for({"\xA0y"}), '\xA0');
    EXPECT_EQ(answer_for({"\x85y"}), '\x85');
    EXPECT_EQ(answer_for({"\x1Cy"}), '\x1C');
    int white = 0;
    for (int byte = 0; byte < 256; ++byte)
        white += is_answer_white_space(static_cast<unsigned char>(byte)) ? 1 : 0;
    EXPECT_EQ(white, 6);
}

TEST(AnswerReaderTest, AFullBlockOfBlanksIsFollowedByTheNext)
{
    std::string blanks(ANSWER_BLOCK_SIZE, ' ');
    EXPECT_EQ(answer_for({blanks, blanks, " y"}), 'y');
    EXPECT_EQ(reads_made, 3);
}

TEST(DateLineTest, FixedEnglishFormWithZeroPaddedDay)
{
    char text[DATE_TEXT_SIZE];
    ASSERT_EQ(format_date(broken_down_time(2004, 6, 7, 13, 45, 31, 1), text), 1);
    EXPECT_STREQ(text, "Mon Jun 07 13:45:31 2004");
    ASSERT_EQ(format_date(broken_down_time(1999, 12, 31, 0, 0, 5, 5), text), 1);
    EXPECT_STREQ(text, "Fri Dec 31 00:00:05 1999");
    ASSERT_EQ(format_date(broken_down_time(2026, 1, 4, 9, 3, 0, 0), text), 1);
    EXPECT_STREQ(text, "Sun Jan 04 09:03:00 2026");
}

TEST(DateLineTest, ImpossibleTimesAreRefusedNotPrinted)
{
    char text[DATE_TEXT_SIZE];
    EXPECT_EQ(format_date(broken_down_time(2004, 13, 7, 13, 45, 31, 1), text), 0);
    EXPECT_EQ(format_date(broken_down_time(2004, 6, 7, 13, 45, 31, 7), text), 0);
    EXPECT_EQ(format_date(broken_down_time(12345, 6, 7, 13, 45, 31, 1), text), 0);
}

TEST(EpochSecondsTest, WholeDecimalNumbersOf64BitsOnly)
{
    long long seconds = 7;
    ASSERT_EQ(parse_epoch_seconds("1086615931", &seconds), EPOCH_READ);
    EXPECT_EQ(seconds, 1086615931);
    ASSERT_EQ(parse_epoch_seconds("-1", &seconds), EPOCH_READ);
    EXPECT_EQ(seconds, -1);
    // Beyond a 32-bit time_t: read as any other value, on every host.
    ASSERT_EQ(parse_epoch_seconds("4354819199", &seconds), EPOCH_READ);
    EXPECT_EQ(seconds, 4354819199LL);
    const std::string largest = std::to_string(std::numeric_limits<long long>::max());
    const std::string smallest = std::to_string(std::numeric_limits<long long>::min());
    ASSERT_EQ(parse_epoch_seconds(largest.c_str(), &seconds), EPOCH_READ);
    EXPECT_EQ(seconds, std::numeric_limits<long long>::max());
    ASSERT_EQ(parse_epoch_seconds(smallest.c_str(), &seconds), EPOCH_READ);
    EXPECT_EQ(seconds, std::numeric_limits<long long>::min());

    seconds = 7;
    std::string one_past_largest = largest;
    one_past_largest.back() = static_cast<char>(one_past_largest.back() + 1);
    std::string one_past_smallest = smallest;
    one_past_smallest.back() = static_cast<char>(one_past_smallest.back() + 1);
    for (const std::string& text : {std::string(""), std::string("-"), std::string("12a"), std::string("+5"),
                                    std::string(" 5"), std::string("5 "), std::string("1e3"), largest + "x"})
        EXPECT_EQ(parse_epoch_seconds(text.c_str(), &seconds), EPOCH_MALFORMED) << "'" << text << "'";
    // Digits that do not fit are a value out of range, not a malformed one.
    for (const std::string& text : {one_past_largest, one_past_smallest, largest + "0",
                                    std::string("99999999999999999999")})
        EXPECT_EQ(parse_epoch_seconds(text.c_str(), &seconds), EPOCH_TOO_LARGE) << "'" << text << "'";
    EXPECT_EQ(seconds, 7); // a refused value leaves nothing behind
}

// The program's own calendar and POSIX zones against the C library's, which
// reads the same TZ strings (EST5EDT from a zone file of the same rules).
class LocalTimeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char* zone = std::getenv("TZ"))
            saved_zone = zone;
    }
    void TearDown() override
    {
        saved_zone ? setenv("TZ", saved_zone->c_str(), 1) : unsetenv("TZ");
        tzset();
    }
    std::optional<std::string> saved_zone;
};

// The fields the date line and the stamp take, the weekday and the day of the year.
std::string fields(const std::tm& time)
{
    char text[64];
    std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d %d %d", time.tm_year + 1900, time.tm_mon + 1,
                  time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec, time.tm_wday, time.tm_yday);
    return text;
}

// `seconds` in `zone` by the C library, and by `ours`; a failure names the first moment that differs.
template <typename Ours> void expect_library_time(const char* zone, const std::vector<long long>& moments, Ours ours)
{
    setenv("TZ", zone, 1);
    tzset();
    for (long long seconds : moments) {
        auto moment = static_cast<std::time_t>(seconds);
        std::tm library{};
        std::tm own{};
        ASSERT_TRUE(localtime_r(&moment, &library) != nullptr && ours(seconds, &own) == 1) << seconds;
        auto same = [](const std::tm& a, const std::tm& b) {
            return a.tm_year == b.tm_year && a.tm_yday == b.tm_yday && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday
                   && a.tm_hour == b.tm_hour && a.tm_min == b.tm_min && a.tm_sec == b.tm_sec && a.tm_wday == b.tm_wday;
        };
        ASSERT_TRUE(same(own, library)) << "TZ=" << zone << ", " << seconds << ": " << fields(own) << ", not "
                                        << fields(library);
    }
}

// Every day of the FAT years and two more around them, at one time of day;
// and every half hour, and the second before, of the years where the United
// States' rules change, a 32-bit time_t ends or the calendar skips a leap day.
std::vector<long long> sample_moments(long long from = 1978)
{
    auto year_start = [](long long year) { return ((year - 1970) * 365 + (year - 1969) / 4 - (year > 2100)) * 86400; };
    std::vector<long long> moments;
    for (long long day = year_start(from); day < year_start(2110); day += 86400)
        moments.push_back(day + 49'999);
    for (long long year : {1980, 1987, 2007, 2038, 2100, 2107})
        for (long long moment = year_start(year) - 86400; moment < year_start(year + 1) + 86400; moment += 1800)
            if (moment >= year_start(from))
                moments.insert(moments.end(), {moment - 1, moment});
    return moments;
}

TEST_F(LocalTimeTest, UtcAndPosixZonesAsTheCLibraryHasThem)
{
    // UTC far into the past and the future too, and no year that tm_year cannot hold.
    expect_library_time("UTC", {-(1LL << 45), -86401, -1, 951782400, 4107542400, 1LL << 45}, break_down_utc);
    std::tm time{};
    EXPECT_EQ(break_down_utc(std::numeric_limits<long long>::max(), &time), 0);
    for (const char* zone :
         {"UTC", "", "GMT", "UTC0", "EST5EDT", "<+0530>-5:30", "CET-1CEST,M3.5.0,M10.5.0/3",
          "NZST-12NZDT,M9.5.0,M4.1.0/3", "<-03>3<-02>,M3.5.0/-2,M10.5.0/-1", "IST-2IDT,M3.4.4/26,M10.5.0",
          "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", "AAA3BBB2:30,J60/1:15:30,300/25"}) {
        PosixZone parsed{};
        ASSERT_EQ(parse_posix_zone(zone, &parsed), 1) << zone;
        expect_library_time(zone, sample_moments(), [&](long long seconds, std::tm* own) {
            std::tm chosen{}; // TZ read from the environment comes to the same
            return break_down_in_zone(seconds, parsed, own) == 1 && break_down_local_time(seconds, &chosen) == 1
                           && fields(chosen) == fields(*own)
                       ? 1
                       : 0;
        });
    }
}

TEST_F(LocalTimeTest, OtherZonesAreTheCLibrarysBeyondA32BitTimeTToo)
{
    PosixZone zone{};
    for (const char* text : {"America/New_York", ":UTC", "EST", "EST5EDT,M3.2.0", "EST25", "<AB>3",
                             "EST5EDT,M3.6.0,M11.1.0", "EST5EDT,J0,J300", "EST5EDT,M3.2.0,M11.1.0x", "EST5:60"})
        EXPECT_EQ(parse_posix_zone(text, &zone), 0) << text;
    for (long long year = 1980; year <= 2107; ++year)
        EXPECT_TRUE(calendar_twin_year(year) >= 1972 && calendar_twin_year(year) <= 2036) << year;
    // Zones whose rules stay the same from 2038 on, through the twin year.
    for (const char* zone : {"America/New_York", "Europe/Berlin", "Australia/Sydney"})
        expect_library_time(zone, sample_moments(2038), break_down_through_twin_year);
    expect_library_time("Europe/Berlin", {315532800, 1086615931}, break_down_local_time);
}

} // namespace
