// The answer reader and the date line.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "broken_down_time.h"
#include "run/command_line.h"
#include "run/console.h"

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

TEST(EpochSecondsTest, WholeDecimalNumbersWithinTimeTOnly)
{
    std::time_t seconds = 7;
    ASSERT_EQ(parse_epoch_seconds("1086615931", &seconds), 1);
    EXPECT_EQ(seconds, 1086615931);
    ASSERT_EQ(parse_epoch_seconds("-1", &seconds), 1);
    EXPECT_EQ(seconds, -1);
    const std::string largest = std::to_string(std::numeric_limits<std::time_t>::max());
    const std::string smallest = std::to_string(std::numeric_limits<std::time_t>::min());
    ASSERT_EQ(parse_epoch_seconds(largest.c_str(), &seconds), 1);
    EXPECT_EQ(seconds, std::numeric_limits<std::time_t>::max());
    ASSERT_EQ(parse_epoch_seconds(smallest.c_str(), &seconds), 1);
    EXPECT_EQ(seconds, std::numeric_limits<std::time_t>::min());

    seconds = 7;
    std::string one_past_largest = largest;
    one_past_largest.back() = static_cast<char>(one_past_largest.back() + 1);
    std::string one_past_smallest = smallest;
    one_past_smallest.back() = static_cast<char>(one_past_smallest.back() + 1);
    for (const std::string& text : {std::string(""), std::string("-"), std::string("12a"), std::string("+5"),
                                    std::string(" 5"), std::string("5 "), std::string("1e3"), one_past_largest,
                                    one_past_smallest, largest + "0"})
        EXPECT_EQ(parse_epoch_seconds(text.c_str(), &seconds), 0) << "'" << text << "'";
    EXPECT_EQ(seconds, 7); // a refused value leaves nothing behind
}

} // namespace
