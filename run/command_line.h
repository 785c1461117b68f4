// What the program takes from outside besides the dialogue: its command line and
// the moment of the format (the clock, or SOURCE_DATE_EPOCH standing in for it).
#pragma once

#include <ctime>

// answer_command_line's result when the format run is to go on.
constexpr int CONTINUE_RUN = -1;

// Exit statuses of the program.
constexpr int EXIT_ALL_SUCCEEDED = 0;   // declined, or every disk step succeeded
constexpr int EXIT_STEP_FAILED = 1;     // the lock, a format, a write, a verify or the unlock failed
constexpr int EXIT_BAD_INVOCATION = 2;  // a bad command line, or a malformed or out-of-range SOURCE_DATE_EPOCH

// What the command line asks of the run.
struct RunOptions {
    bool verify = false;         // --verify: read every track back before the unlock
    bool yes = false;            // --yes: the answer is y, and no final keystroke is awaited
    const char* label = nullptr; // --label: the volume label as given (is_volume_label), or nullptr for the default
    const char* drive = nullptr; // the drive named, or nullptr for DRIVE_A_IMAGE's
};

// format149 [--verify] [--yes] [--label NAME] [DRIVE]: options before or after
// the drive, "--" ending them. Returns CONTINUE_RUN with `options` filled.
// "--help" (and "/?") prints the usage on standard output and "--version" the
// program's name and version, both EXIT_ALL_SUCCEEDED. An unknown option (on
// Windows also "/" and letters, a switch of that system), a label FAT does not
// take, an empty drive name, "-" as the drive or as DRIVE_A_IMAGE, or a second
// drive prints a short usage on standard error and gives EXIT_BAD_INVOCATION.
int answer_command_line(int argument_count, const char* const* arguments, RunOptions* options);

// parse_epoch_seconds' results.
constexpr int EPOCH_MALFORMED = 0; // not an optional minus sign and decimal digits only
constexpr int EPOCH_READ = 1;
constexpr int EPOCH_TOO_LARGE = 2; // digits beyond what 64 bits hold

// Reads `text` as SOURCE_DATE_EPOCH into *seconds, which only EPOCH_READ sets.
int parse_epoch_seconds(const char* text, long long* seconds);

// Where the moment of the format came from.
enum FormatMoment {
    MOMENT_MALFORMED = 0,    // SOURCE_DATE_EPOCH is set but not a whole number
    MOMENT_KNOWN = 1,        // *local_time holds it
    MOMENT_UNKNOWN = 2,      // the clock cannot be read, or its value broken down
    MOMENT_OUT_OF_RANGE = 3, // SOURCE_DATE_EPOCH falls outside the years a FAT date holds
};

// The first and last years a FAT directory date holds.
constexpr int FIRST_FAT_YEAR = 1980;
constexpr int LAST_FAT_YEAR = 2107;

// The one reading of the moment of the format, SOURCE_DATE_EPOCH when it is set,
// otherwise the clock, broken down once into local time (TZ, break_down_local_time)
// into *local_time.
// SOURCE_DATE_EPOCH is taken only when it falls in the years
// FIRST_FAT_YEAR..LAST_FAT_YEAR there; the clock is taken as it is.
FormatMoment take_format_moment(std::tm* local_time);
