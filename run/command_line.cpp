// The command line (the drive, --verify, --yes, --label, --help, --version) and
// the moment of the format.
#include "run/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "run/console.h"
#include "run/local_time.h"
#include "volume/images.h"

#if !defined(FORMAT149_VERSION)
#error "the build defines FORMAT149_VERSION"
#endif

namespace {

const char USAGE_LINES[] =
    "Usage: format149 [--verify] [--yes] [--label NAME] [DRIVE]\n"
    "       format149 --help | --version\n"
#if defined(_WIN32)
    "Options are written --verify, --help, --version, with two dashes.\n"
#endif
    ;

const char HELP_TEXT[] =
    "Formats the 3.5-inch high-density diskette in drive A: to an enlarged\n"
    "82-cylinder volume (2952 sectors, \"1.49 megabytes\") with an empty FAT12\n"
    "file system, after asking for confirmation on standard input.\n"
    "\n"
#if defined(_WIN32)
    "DRIVE, the disk in drive A:, is A: (the default) for the diskette in the\n"
    "PC's drive A:, on Windows 95, 98 and ME, or an image file of that\n"
    "diskette, on any Windows.\n"
#else
    "DRIVE, the disk in drive A:, is an image file, or /dev/fd0 for the\n"
    "diskette in the PC's first floppy drive. Without it, the environment\n"
    "variable DRIVE_A_IMAGE names the drive, and without that drive_a.img in\n"
    "the current folder.\n"
#endif
    "\n"
    "  --verify      after writing, read every track back and say which failed\n"
    "  --yes, -y     format without asking, and end without waiting for Enter\n"
    "  --label NAME  the volume label, up to 11 characters (MARVESTO without it)\n"
    "  --help, /?    show this text\n"
    "  --version     show the program's version\n"
    "\n"
    "SOURCE_DATE_EPOCH, when set (seconds since 1970-01-01 UTC), stands in for\n"
    "the clock, so that the same value and TZ make the same image; in TZ it\n"
    "must fall in the years 1980 to 2107, which a FAT date holds.\n"
    "\n"
    "Exit status: 0 when declined or when every step of the format succeeded,\n"
    "1 when the lock, a format, a write, a verify or the unlock failed, 2 for a\n"
    "bad command line or SOURCE_DATE_EPOCH.\n";

// "format149: COMPLAINT 'ARGUMENT'AFTER", then the usage.
int refuse(const char* complaint, const char* argument, const char* after = "")
{
    std::fprintf(stderr, "format149: %s '%s'%s\n%sTry 'format149 --help' for more information.\n", complaint,
                 argument, after, USAGE_LINES);
    std::fflush(stderr);
    return EXIT_BAD_INVOCATION;
}

// "-" stands for standard input or output to other tools; as drive A: it
// would be a file of that name.
const char DASH_IS_NO_DRIVE[] = " stands for standard input, not a file; for a file of that name write ./-";

#if defined(_WIN32)
// A Windows switch such as /verify or /q: "/" and letters only. A path such
// as /images/disk.img has a second slash or a dot.
bool is_windows_switch(const char* argument)
{
    if (argument[0] != '/' || argument[1] == '\0')
        return false;
    for (const char* letter = argument + 1; *letter != '\0'; ++letter)
        if (!((*letter >= 'a' && *letter <= 'z') || (*letter >= 'A' && *letter <= 'Z')))
            return false;
    return true;
}
#endif

} // namespace

int answer_command_line(int argument_count, const char* const* arguments, RunOptions* options)
{
    bool help = false;
    bool version = false;
    bool options_ended = false;
    for (int index = 1; index < argument_count; ++index) {
        const char* argument = arguments[index];
        bool is_option = !options_ended && argument[0] == '-' && argument[1] != '\0';
        const char* label = nullptr;
        if (is_option && std::strcmp(argument, "--") == 0)
            options_ended = true;
        else if ((is_option && std::strcmp(argument, "--help") == 0)
                 || (!options_ended && std::strcmp(argument, "/?") == 0))
            help = true;
        else if (is_option && std::strcmp(argument, "--version") == 0)
            version = true;
        else if (is_option && std::strcmp(argument, "--verify") == 0)
            options->verify = true;
        else if (is_option && (std::strcmp(argument, "--yes") == 0 || std::strcmp(argument, "-y") == 0))
            options->yes = true;
        else if (is_option && std::strcmp(argument, "--label") == 0 && index + 1 == argument_count)
            return refuse("a volume label must follow", argument);
        else if (is_option && std::strcmp(argument, "--label") == 0)
            label = arguments[++index];
        else if (is_option && std::strncmp(argument, "--label=", 8) == 0)
            label = argument + 8;
        else if (is_option)
            return refuse("unknown option", argument);
#if defined(_WIN32)
        else if (!options_ended && is_windows_switch(argument))
            return refuse("unknown option", argument);
#endif
        else if (argument[0] == '\0')
            return refuse("an empty drive name", argument);
        else if (std::strcmp(argument, "-") == 0)
            return refuse("the drive name", argument, DASH_IS_NO_DRIVE);
        else if (options->drive != nullptr)
            return refuse("one drive at most, not also", argument);
        else
            options->drive = argument;
        if (label != nullptr && is_volume_label(label) != 1)
            return refuse("the volume label", label,
                          " is not one FAT takes: 1 to 11 characters, no leading blank, no control character,"
                          " none of \" * + , . / : ; < = > ? [ \\ ] |");
        if (label != nullptr)
            options->label = label;
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
#if !defined(_WIN32)
    const char* environment_drive = std::getenv("DRIVE_A_IMAGE");
    if (options->drive == nullptr && environment_drive != nullptr && std::strcmp(environment_drive, "-") == 0)
        return refuse("the drive name in DRIVE_A_IMAGE", environment_drive, DASH_IS_NO_DRIVE);
#endif
    return CONTINUE_RUN;
}

int parse_epoch_seconds(const char* text, long long* seconds)
{
    constexpr long long largest = std::numeric_limits<long long>::max();
    constexpr long long smallest = std::numeric_limits<long long>::min();
    bool negative = text[0] == '-';
    const char* digit = negative ? text + 1 : text;
    if (*digit == '\0')
        return EPOCH_MALFORMED;
    // Built on the side of the sign, so that the most negative value fits too;
    // every digit is looked at, so that a letter after too many digits is
    // still malformed.
    long long value = 0;
    bool too_large = false;
    for (; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9')
            return EPOCH_MALFORMED;
        long long next = *digit - '0';
        if (negative ? value < (smallest + next) / 10 : value > (largest - next) / 10)
            too_large = true;
        else
            value = negative ? value * 10 - next : value * 10 + next;
    }
    if (too_large)
        return EPOCH_TOO_LARGE;
    *seconds = value;
    return EPOCH_READ;
}

FormatMoment take_format_moment(std::tm* local_time)
{
    long long moment = 0;
    const char* fixed = std::getenv("SOURCE_DATE_EPOCH");
    if (fixed != nullptr) {
        int read = parse_epoch_seconds(fixed, &moment);
        if (read != EPOCH_READ)
            return read == EPOCH_MALFORMED ? MOMENT_MALFORMED : MOMENT_OUT_OF_RANGE;
    } else {
        std::time_t now = std::time(nullptr);
        if (now == static_cast<std::time_t>(-1))
            return MOMENT_UNKNOWN;
        moment = now;
    }
    std::tm broken_down{};
    if (break_down_local_time(moment, &broken_down) != 1)
        return fixed != nullptr ? MOMENT_OUT_OF_RANGE : MOMENT_UNKNOWN;
    // A year the date word cannot hold would be stamped as another one (1970
    // as 2098), so such a SOURCE_DATE_EPOCH is refused rather than written.
    // tm_year counts from 1900; compared as it is, so that no year overflows.
    bool fits = broken_down.tm_year >= FIRST_FAT_YEAR - 1900 && broken_down.tm_year <= LAST_FAT_YEAR - 1900;
    if (fixed != nullptr && !fits)
        return MOMENT_OUT_OF_RANGE;
    *local_time = broken_down;
    return MOMENT_KNOWN;
}
