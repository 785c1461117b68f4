// The command line (--help, --version) and the moment of the format.
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

const char USAGE_LINE[] = "Usage: format149 [--help | --version]\n";

const char HELP_TEXT[] =
    "Formats the 3.5-inch high-density diskette in drive A: to an enlarged\n"
    "82-cylinder volume (2952 sectors, \"1.49 megabytes\") with an empty FAT12\n"
    "file system, after asking for confirmation on standard input.\n"
    "\n"
    "Drive A: is named by the environment variable DRIVE_A_IMAGE: an image\n"
    "file (drive_a.img in the current folder when it is unset), or /dev/fd0\n"
    "for the diskette in the PC's first floppy drive.\n"
    "SOURCE_DATE_EPOCH, when set (seconds since 1970-01-01 UTC), stands in for\n"
    "the clock, so that the same value and TZ make the same image.\n"
    "\n"
    "Exit status: 0 when declined or when every step of the format succeeded,\n"
    "1 when the lock, a format, a write or the unlock failed, 2 for a bad\n"
    "command line or SOURCE_DATE_EPOCH.\n";

const char NAME_THE_DRIVE[] =
    "The drive is named by the environment variable DRIVE_A_IMAGE, for example:\n"
    "    DRIVE_A_IMAGE=floppy.img format149\n";

} // namespace

int answer_command_line(int argument_count, const char* const* arguments)
{
    if (argument_count <= 1)
        return CONTINUE_RUN;
    if (argument_count == 2 && std::strcmp(arguments[1], "--help") == 0) {
        fputs_and_flush(USAGE_LINE);
        fputs_and_flush(HELP_TEXT);
        return EXIT_ALL_SUCCEEDED;
    }
    if (argument_count == 2 && std::strcmp(arguments[1], "--version") == 0) {
        fputs_and_flush("format149 " FORMAT149_VERSION "\n");
        return EXIT_ALL_SUCCEEDED;
    }
    std::fprintf(stderr, "format149: unexpected argument '%s'\n%s%s", arguments[1], USAGE_LINE, NAME_THE_DRIVE);
    std::fflush(stderr);
    return EXIT_BAD_INVOCATION;
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

FormatMoment take_format_moment(std::time_t* moment)
{
#if !defined(_WIN32)
    // The native Windows 9x program reads no environment; the reproducible-image
    // convention is for hosts where images are built.
    const char* fixed = std::getenv("SOURCE_DATE_EPOCH");
    if (fixed != nullptr)
        return parse_epoch_seconds(fixed, moment) ? MOMENT_KNOWN : MOMENT_MALFORMED;
#endif
    *moment = std::time(nullptr);
    return *moment == static_cast<std::time_t>(-1) ? MOMENT_UNKNOWN : MOMENT_KNOWN;
}
