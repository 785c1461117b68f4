// The command line (the drive, --verify, --help, --version) and the moment of the format.
#include "run/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "run/console.h"

#if !defined(FORMAT149_VERSION)
#error "the build defines FORMAT149_VERSION"
#endif

namespace {

const char USAGE_LINES[] =
    "Usage: format149 [--verify] [DRIVE]\n"
    "       format149 --help | --version\n";

const char HELP_TEXT[] =
    "Formats the 3.5-inch high-density diskette in drive A: to an enlarged\n"
    "82-cylinder volume (2952 sectors, \"1.49 megabytes\") with an empty FAT12\n"
    "file system, after asking for confirmation on standard input.\n"
    "\n"
#if defined(_WIN32)
    "DRIVE is drive A:: A: (the default) for the diskette in the PC's drive A:,\n"
    "on Windows 95, 98 and ME, or an image file of that diskette, on any\n"
    "Windows.\n"
#else
    "DRIVE is drive A:: an image file, or /dev/fd0 for the diskette in the\n"
    "PC's first floppy drive. Without it, the environment variable\n"
    "DRIVE_A_IMAGE names the drive, and without that drive_a.img in the\n"
    "current folder.\n"
#endif
    "\n"
    "  --verify   after writing, read every track back and say which failed\n"
    "  --help     show this text\n"
    "  --version  show the program's version\n"
    "\n"
    "SOURCE_DATE_EPOCH, when set (seconds since 1970-01-01 UTC), stands in for\n"
    "the clock, so that the same value and TZ make the same image; in TZ it\n"
    "must fall in the years 1980 to 2107, which a FAT date holds.\n"
    "\n"
    "Exit status: 0 when declined or when every step of the format succeeded,\n"
    "1 when the lock, a format, a write, a verify or the unlock failed, 2 for a\n"
    "bad command line or SOURCE_DATE_EPOCH.\n";

int refuse(const char* complaint, const char* argument)
{
    std::fprintf(stderr, "format149: %s '%s'\n%sTry 'format149 --help' for more information.\n", complaint,
                 argument, USAGE_LINES);
    std::fflush(stderr);
    return EXIT_BAD_INVOCATION;
}

} // namespace

int answer_command_line(int argument_count, const char* const* arguments, RunOptions* options)
{
    bool help = false;
    bool version = false;
    bool options_ended = false;
    for (int index = 1; index < argument_count; ++index) {
        const char* argument = arguments[index];
        // "-" alone is a name, as it is for other tools.
        bool is_option = !options_ended && argument[0] == '-' && argument[1] != '\0';
        if (is_option && std::strcmp(argument, "--") == 0)
            options_ended = true;
        else if (is_option && std::strcmp(argument, "--help") == 0)
            help = true;
        else if (is_option && std::strcmp(argument, "--version") == 0)
            version = true;
        else if (is_option && std::strcmp(argument, "--verify") == 0)
            options->verify = true;
        else if (is_option)
            return refuse("unknown option", argument);
        else if (argument[0] == '\0')
            return refuse("an empty drive name", argument);
        else if (options->drive != nullptr)
            return refuse("one drive at most, not also", argument);
        else
            options->drive = argument;
    }
    if (help) {
        fputs_and_flush(USAGE_LINES);
        fputs_and_flush(HELP_TEXT);
        return EXIT_ALL_SUCCEEDED;
    }
    if (version) {
        fputs_and_flush("format149 " FORMAT149_VERSION "\n");
        return EXIT_ALL_SUCCEEDED;
    }
    return CONTINUE_RUN;
}

int parse_epoch_seconds(const char* text, std::time_t* seconds)
{
    static_assert(std::numeric_limits<std::time_t>::is_integer && std::numeric_limits<std::time_t>::is_signed);
    constexpr std::time_t largest = std::numeric_limits<std::time_t>::max();
    constexpr std::time_t smallest = std::numeric_limits<std::time_t>::min();
    bool negative = text[0] == '-';
    const char* digit = negative ? text + 1 : text;
    if (*digit == '\0')
        return 0;
    // Built on the side of the sign, so that the most negative value fits too.
    std::time_t value = 0;
    for (; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9')
            return 0;
        auto next = static_cast<std::time_t>(*digit - '0');
        if (negative ? value < (smallest + next) / 10 : value > (largest - next) / 10)
            return 0;
        value = negative ? value * 10 - next : value * 10 + next;
    }
    *seconds = value;
    return 1;
}

FormatMoment take_format_moment(std::tm* local_time)
{
    std::time_t moment = 0;
    const char* fixed = std::getenv("SOURCE_DATE_EPOCH");
    if (fixed != nullptr) {
        if (parse_epoch_seconds(fixed, &moment) != 1)
            return MOMENT_MALFORMED;
    } else {
        moment = std::time(nullptr);
        if (moment == static_cast<std::time_t>(-1))
            return MOMENT_UNKNOWN;
    }
    const std::tm* broken_down = std::localtime(&moment);
    if (broken_down == nullptr)
        return fixed != nullptr ? MOMENT_OUT_OF_RANGE : MOMENT_UNKNOWN;
    // A year the date word cannot hold would be stamped as another one (1970
    // as 2098), so such a SOURCE_DATE_EPOCH is refused rather than written.
    // tm_year counts from 1900; compared as it is, so that no year overflows.
    bool fits = broken_down->tm_year >= FIRST_FAT_YEAR - 1900 && broken_down->tm_year <= LAST_FAT_YEAR - 1900;
    if (fixed != nullptr && !fits)
        return MOMENT_OUT_OF_RANGE;
    *local_time = *broken_down;
    return MOMENT_KNOWN;
}
