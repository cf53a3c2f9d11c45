// Calendar time in UTC, from seconds since 1970 as time() gives them, alike on every
// platform (gmtime_r on POSIX, gmtime_s on Windows: neither shares a buffer).
#pragma once

#include <cstdint>

struct UtcTime {
    int year = 0;
    int month = 0;  // 1 to 12
    int day = 0;    // 1 to 31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

UtcTime utc_time_of(int64_t seconds);
