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
    const char* drive = nullptr; // the drive named, or nullptr for DRIVE_A_IMAGE's
};

// format149 [--verify] [DRIVE]: options before or after the drive, "--" ending
// them. Returns CONTINUE_RUN with `options` filled. "--help" prints the usage on
// standard output and "--version" the program's name and version, both
// EXIT_ALL_SUCCEEDED. An unknown option, an empty drive name or a second drive
// prints a short usage on standard error and gives EXIT_BAD_INVOCATION.
int answer_command_line(int argument_count, const char* const* arguments, RunOptions* options);

// Reads `text` as SOURCE_DATE_EPOCH: an optional minus sign and decimal digits
// only, a value that fits time_t. Returns 1 with *seconds set, else 0.
int parse_epoch_seconds(const char* text, std::time_t* seconds);

// Where the moment of the format came from.
enum FormatMoment {
    MOMENT_MALFORMED = 0,    // SOURCE_DATE_EPOCH is set but not a whole number that fits time_t
    MOMENT_KNOWN = 1,        // *local_time holds it
    MOMENT_UNKNOWN = 2,      // the clock cannot be read, or its value broken down
    MOMENT_OUT_OF_RANGE = 3, // SOURCE_DATE_EPOCH falls outside the years a FAT date holds
};

// The first and last years a FAT directory date holds.
constexpr int FIRST_FAT_YEAR = 1980;
constexpr int LAST_FAT_YEAR = 2107;

// The one reading of the moment of the format, SOURCE_DATE_EPOCH when it is set,
// otherwise the clock, broken down once into local time (TZ) into *local_time.
// SOURCE_DATE_EPOCH is taken only when it falls in the years
// FIRST_FAT_YEAR..LAST_FAT_YEAR there; the clock is taken as it is.
FormatMoment take_format_moment(std::tm* local_time);
