// Local time from seconds since 1970: the calendar in 64-bit arithmetic, the
// POSIX TZ form, and the C library's localtime for every other zone.
#include "run/local_time.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr long long SECONDS_PER_DAY = 86400;

bool is_leap_year(long long year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Days from 1970-01-01 to year-month-day in the Gregorian calendar, counted
// in eras of 400 years from 1 March, so that the leap day ends a year.
long long days_from_civil(long long year, int month, int day)
{
    year -= month <= 2 ? 1 : 0;
    long long era = (year >= 0 ? year : year - 399) / 400;
    long long year_of_era = year - era * 400;
    long long day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    long long day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

// 0 for Sunday; 1970-01-01 was a Thursday.
int weekday_of(long long days)
{
    return static_cast<int>((days % 7 + 11) % 7);
}

int month_length(long long year, int month)
{
    static const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : lengths[month - 1];
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Steps over `c` when it comes next.
bool take(const char** at, char c)
{
    if (**at != c)
        return false;
    ++*at;
    return true;
}

// A zone's name: three letters or more, or <...> of three letters, digits,
// plus or minus signs or more.
bool read_zone_name(const char** at)
{
    const char* end = *at;
    while (is_letter(*end))
        ++end;
    if (end - *at >= 3) {
        *at = end;
        return true;
    }
    if (**at != '<')
        return false;
    const char* start = *at + 1;
    for (end = start; is_letter(*end) || is_digit(*end) || *end == '+' || *end == '-'; ++end) {
    }
    if (*end != '>' || end - start < 3)
        return false;
    *at = end + 1;
    return true;
}

// Decimal digits, at most three, from `smallest` to `largest`.
bool read_number(const char** at, int smallest, int largest, int* number)
{
    int value = 0;
    int digits = 0;
    for (; is_digit(**at); ++*at) {
        if (++digits > 3)
            return false;
        value = value * 10 + (**at - '0');
    }
    if (digits == 0 || value < smallest || value > largest)
        return false;
    *number = value;
    return true;
}

// [+|-]hh[:mm[:ss]], hh at most `largest_hours`.
bool read_clock(const char** at, int largest_hours, long* seconds)
{
    long sign = **at == '-' ? -1 : 1;
    if (**at == '+' || **at == '-')
        ++*at;
    int hours = 0;
    int minutes = 0;
    int rest = 0;
    if (!read_number(at, 0, largest_hours, &hours))
        return false;
    if (take(at, ':') && !read_number(at, 0, 59, &minutes))
        return false;
    if (take(at, ':') && !read_number(at, 0, 59, &rest))
        return false;
    *seconds = sign * (hours * 3600L + minutes * 60L + rest);
    return true;
}

// Jn, n or Mm.w.d, then an optional /time (02:00:00 without it).
bool read_zone_change(const char** at, ZoneChange* change)
{
    ZoneChange read{ZoneChange::DAY_OF_YEAR, 0, 0, 0, 2 * 3600L};
    bool good = false;
    if (take(at, 'J')) {
        read.kind = ZoneChange::JULIAN_NO_LEAP_DAY;
        good = read_number(at, 1, 365, &read.day);
    } else if (take(at, 'M')) {
        read.kind = ZoneChange::MONTH_WEEK_DAY;
        good = read_number(at, 1, 12, &read.month) && take(at, '.') && read_number(at, 1, 5, &read.week)
               && take(at, '.') && read_number(at, 0, 6, &read.day);
    } else {
        good = read_number(at, 0, 365, &read.day);
    }
    if (good && take(at, '/'))
        good = read_clock(at, 167, &read.seconds);
    if (good)
        *change = read;
    return good;
}

// The United States' changes of `year`, as the zone database has them since 1976.
void united_states_changes(long long year, ZoneChange* start, ZoneChange* end)
{
    *start = ZoneChange{ZoneChange::MONTH_WEEK_DAY, 0, year >= 2007 ? 3 : 4, year >= 2007 ? 2 : year >= 1987 ? 1 : 5,
                        2 * 3600L};
    *end = ZoneChange{ZoneChange::MONTH_WEEK_DAY, 0, year >= 2007 ? 11 : 10, year >= 2007 ? 1 : 5, 2 * 3600L};
}

// The moment (UTC) of `change` in `year`, its time read on a clock `west`
// seconds behind UTC.
long long change_moment(long long year, const ZoneChange& change, long west)
{
    long long day = days_from_civil(year, 1, 1);
    switch (change.kind) {
    case ZoneChange::JULIAN_NO_LEAP_DAY:
        day += change.day - 1 + (change.day >= 60 && is_leap_year(year) ? 1 : 0);
        break;
    case ZoneChange::DAY_OF_YEAR:
        day += change.day;
        break;
    case ZoneChange::MONTH_WEEK_DAY: {
        day = days_from_civil(year, change.month, 1);
        int offset = (change.day - weekday_of(day) + 7) % 7;
        for (int week = 1; week < change.week && offset + 7 < month_length(year, change.month); ++week)
            offset += 7;
        day += offset;
        break;
    }
    }
    return day * SECONDS_PER_DAY + change.seconds + west;
}

} // namespace

int break_down_utc(long long seconds, std::tm* time)
{
    long long days = seconds / SECONDS_PER_DAY;
    long long rest = seconds % SECONDS_PER_DAY;
    if (rest < 0) {
        rest += SECONDS_PER_DAY;
        --days;
    }
    // The inverse of days_from_civil: eras of 400 years from 1 March 0000.
    long long shifted = days + 719468;
    long long era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    long long day_of_era = shifted - era * 146097;
    long long year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    long long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    long long shifted_month = (5 * day_of_year + 2) / 153;
    int month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    long long year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    if (year - 1900 > INT_MAX || year - 1900 < INT_MIN)
        return 0;

    std::tm broken_down{};
    broken_down.tm_year = static_cast<int>(year - 1900);
    broken_down.tm_mon = month - 1;
    broken_down.tm_mday = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    broken_down.tm_hour = static_cast<int>(rest / 3600);
    broken_down.tm_min = static_cast<int>(rest / 60 % 60);
    broken_down.tm_sec = static_cast<int>(rest % 60);
    broken_down.tm_wday = weekday_of(days);
    broken_down.tm_yday = static_cast<int>(days - days_from_civil(year, 1, 1));
    *time = broken_down;
    return 1;
}

int parse_posix_zone(const char* text, PosixZone* zone)
{
    PosixZone read{};
    if (text[0] == '\0' || std::strcmp(text, "UTC") == 0 || std::strcmp(text, "GMT") == 0) {
        *zone = read;
        return 1;
    }
    const char* at = text;
    if (!read_zone_name(&at) || !read_clock(&at, 24, &read.standard_west))
        return 0;
    if (*at != '\0') {
        if (!read_zone_name(&at))
            return 0;
        read.has_daylight = true;
        read.daylight_west = read.standard_west - 3600;
        if (*at != ',' && *at != '\0' && !read_clock(&at, 24, &read.daylight_west))
            return 0;
        if (take(&at, ',')) {
            if (!read_zone_change(&at, &read.start) || !take(&at, ',') || !read_zone_change(&at, &read.end))
                return 0;
            read.rules_given = true;
        }
        if (*at != '\0')
            return 0;
    }
    *zone = read;
    return 1;
}

int break_down_in_zone(long long seconds, const PosixZone& zone, std::tm* time)
{
    std::tm utc{};
    if (break_down_utc(seconds, &utc) != 1)
        return 0;
    bool in_daylight_time = false;
    if (zone.has_daylight) {
        long long year = utc.tm_year + 1900LL;
        ZoneChange start = zone.start;
        ZoneChange end = zone.end;
        if (!zone.rules_given)
            united_states_changes(year, &start, &end);
        long long starts = change_moment(year, start, zone.standard_west);
        long long ends = change_moment(year, end, zone.daylight_west);
        // South of the equator daylight time spans the turn of the year.
        in_daylight_time = starts > ends ? seconds < ends || seconds >= starts : seconds >= starts && seconds < ends;
    }
    // The year fits, so a zone's day or so more cannot overflow.
    if (break_down_utc(seconds - (in_daylight_time ? zone.daylight_west : zone.standard_west), time) != 1)
        return 0;
    time->tm_isdst = in_daylight_time ? 1 : 0;
    return 1;
}

int calendar_twin_year(long long year)
{
    // Every calendar comes once in the 28 years from 2009 to 2036.
    int weekday = weekday_of(days_from_civil(year, 1, 1));
    int twin = 2036;
    while (twin > 1972
           && (is_leap_year(twin) != is_leap_year(year) || weekday_of(days_from_civil(twin, 1, 1)) != weekday))
        --twin;
    return twin;
}

int break_down_through_twin_year(long long seconds, std::tm* time)
{
    std::tm utc{};
    if (break_down_utc(seconds, &utc) != 1)
        return 0;
    long long year = utc.tm_year + 1900LL;
    int twin = calendar_twin_year(year);
    auto moved = static_cast<std::time_t>(seconds - (days_from_civil(year, 1, 1) - days_from_civil(twin, 1, 1))
                                                        * SECONDS_PER_DAY);
    const std::tm* local = std::localtime(&moved);
    if (local == nullptr)
        return 0;
    long long local_year = local->tm_year + 1900LL + (year - twin);
    if (local_year - 1900 > INT_MAX || local_year - 1900 < INT_MIN)
        return 0;
    *time = *local;
    time->tm_year = static_cast<int>(local_year - 1900);
    // A local day across the turn of the year may lie in a year of other length.
    time->tm_yday = static_cast<int>(days_from_civil(local_year, time->tm_mon + 1, time->tm_mday)
                                     - days_from_civil(local_year, 1, 1));
    return 1;
}

int break_down_local_time(long long seconds, std::tm* time)
{
    const char* zone_text = std::getenv("TZ");
    PosixZone zone{};
    if (zone_text != nullptr && parse_posix_zone(zone_text, &zone) == 1)
        return break_down_in_zone(seconds, zone, time);
    if (seconds < std::numeric_limits<std::time_t>::min() || seconds > std::numeric_limits<std::time_t>::max())
        return break_down_through_twin_year(seconds, time);
    auto moment = static_cast<std::time_t>(seconds);
    const std::tm* local = std::localtime(&moment);
    if (local == nullptr)
        return 0;
    *time = *local;
    return 1;
}
