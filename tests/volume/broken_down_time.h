// Broken-down local times for tests, built field by field.
#pragma once

#include <ctime>

inline std::tm broken_down_time(int year, int month, int day, int hour, int minute, int second, int weekday = 0)
{
    std::tm time{};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    time.tm_wday = weekday;
    return time;
}
