// make_time_string2: a millisecond timestamp as text a person reads, in UTC.
//
// The calendar is computed here rather than by gmtime_r: the result is then the same on
// targets whose time_t has 32 bits, which would stop at 2038, and no locale or time-zone
// state is touched.
#include <cerrno>
#include <cstdint>

#include "olk.h"

namespace {

// 0000-01-01 00:00:00.000 and 9999-12-31 23:59:59.999: the instants with a four-digit year.
constexpr int64_t kFirstReadable = -62167219200000;
constexpr int64_t kLastReadable = 253402300799999;
constexpr int64_t kMsPerDay = 86400000;

struct Civil {
    int64_t year;
    int64_t month;  // 1 .. 12
    int64_t day;    // 1 .. 31
};

// The proleptic Gregorian date of a day counted from 1970-01-01, by 400-year eras (each
// 146097 days) starting on a 1 March so that the leap day ends the year.
Civil civil_from_days(int64_t days) {
    const int64_t z = days + 719468;  // days since 0000-03-01
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t day_of_era = z - era * 146097;
    const int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t month_from_march = (5 * day_of_year + 2) / 153;
    const int64_t day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
    const int64_t month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    return Civil{year_of_era + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// Writes `width` decimal digits of v (0 <= v < 10^width) at p.
char *digits(char *p, int64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    return p + width;
}

// "@" and ts in decimal: at most 21 characters, INT64_MIN included.
void write_raw(char *buf, int64_t ts) {
    char reversed[20];
    int n = 0;
    uint64_t magnitude = ts < 0 ? 0 - static_cast<uint64_t>(ts) : static_cast<uint64_t>(ts);
    do {
        reversed[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    char *p = buf;
    *p++ = '@';
    if (ts < 0) *p++ = '-';
    while (n > 0)
        *p++ = reversed[--n];
    *p = '\0';
}

}  // namespace

extern "C" {

void make_time_string2(char *buf, int64_t ts) {
    if (buf == nullptr) {
        errno = EINVAL;
        return;
    }
    if (ts == 0) {
        buf[0] = '-';
        buf[1] = '\0';
        return;
    }
    if (ts < kFirstReadable || ts > kLastReadable) {
        write_raw(buf, ts);
        return;
    }
    // Floor division: -1 ms is 23:59:59.999 of the day before, not 00:00:00.-001.
    int64_t days = ts / kMsPerDay;
    int64_t ms_of_day = ts % kMsPerDay;
    if (ms_of_day < 0) {
        ms_of_day += kMsPerDay;
        days -= 1;
    }
    const Civil date = civil_from_days(days);
    char *p = digits(buf, date.year, 4);
    *p++ = '-';
    p = digits(p, date.month, 2);
    *p++ = '-';
    p = digits(p, date.day, 2);
    *p++ = ' ';
    p = digits(p, ms_of_day / 3600000, 2);
    *p++ = ':';
    p = digits(p, ms_of_day / 60000 % 60, 2);
    *p++ = ':';
    p = digits(p, ms_of_day / 1000 % 60, 2);
    *p++ = '.';
    p = digits(p, ms_of_day % 1000, 3);
    *p = '\0';
}

}  // extern "C"
