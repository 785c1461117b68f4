// The moment of the format in local time, broken down the same way on every
// host: UTC and time zones written in the POSIX TZ form by the program's own
// calendar arithmetic, any other zone by the C library's localtime.
#pragma once

#include <ctime>

// Seconds since 1970-01-01 00:00:00 UTC broken down into UTC, for any value.
// Returns 1, or 0 when the year does not fit tm_year.
int break_down_utc(long long seconds, std::tm* time);

// One change between standard and daylight time in a POSIX TZ rule.
struct ZoneChange {
    enum Kind { JULIAN_NO_LEAP_DAY, DAY_OF_YEAR, MONTH_WEEK_DAY } kind;
    int day;       // 1..365 (Jn, never 29 February), 0..365 (n), or the weekday 0..6, Sunday first (Mm.w.d)
    int month;     // 1..12 (Mm.w.d)
    int week;      // 1..5, 5 the last (Mm.w.d)
    long seconds;  // the local time of the change, seconds after midnight (may be negative or past a day)
};

// A time zone written as POSIX TZ: std offset [dst [offset] [,start[/time],end[/time]]],
// offsets west of Greenwich positive. Without the rules, the United States'
// rules of each year since 1976, as the zone database gives them to EST5EDT.
struct PosixZone {
    long standard_west;  // seconds to add to standard time for UTC
    long daylight_west;
    bool has_daylight;
    bool rules_given;
    ZoneChange start;    // into daylight time, in standard time
    ZoneChange end;      // back to standard time, in daylight time
};

// Reads `text` as a POSIX TZ string; "", "UTC" and "GMT" are UTC. Returns 1
// with *zone set, or 0 for anything else (a zone name such as
// America/New_York, a leading colon, a field out of range, text left over).
int parse_posix_zone(const char* text, PosixZone* zone);

// `seconds` in `zone`, the daylight rule taken for the year in UTC. Returns 1,
// or 0 when the year does not fit tm_year.
int break_down_in_zone(long long seconds, const PosixZone& zone, std::tm* time);

// The last year from 1972 to 2036 that has the calendar of `year`: leap or
// not, and 1 January on the same weekday.
int calendar_twin_year(long long year);

// `seconds` through the C library's localtime, moved for it to the same moment
// of the calendar twin of its year (between 1972 and 2036, which a 32-bit
// time_t holds), and the year put back. A zone whose rules are the same every
// year gives the same result as if localtime took the value. Returns 1, or 0
// when it cannot be broken down.
int break_down_through_twin_year(long long seconds, std::tm* time);

// `seconds` in the local time of TZ: by break_down_in_zone where TZ is set and
// parse_posix_zone takes it, otherwise by localtime (through the twin year
// where time_t cannot hold the value). Returns 1, or 0 when it cannot be
// broken down.
int break_down_local_time(long long seconds, std::tm* time);
