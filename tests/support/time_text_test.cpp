// make_time_string2: the text of a millisecond timestamp.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "olk.h"

namespace {

constexpr size_t kLimit = 32;
constexpr unsigned char kUntouched = 0x7f;

// The text for ts, written into a larger buffer whose bytes from kLimit on must stay as they
// were: the caller's buffer has 32 bytes.
std::string Text(int64_t ts) {
    char buf[64];
    std::memset(buf, kUntouched, sizeof buf);
    make_time_string2(buf, ts);
    for (size_t i = kLimit; i < sizeof buf; ++i) {
        EXPECT_EQ(static_cast<unsigned char>(buf[i]), kUntouched) << "byte " << i << " for " << ts;
    }
    const void *end = std::memchr(buf, '\0', kLimit);
    EXPECT_NE(end, nullptr) << "no NUL within 32 bytes for " << ts;
    if (end == nullptr) return std::string();
    return std::string(buf);
}

// The same instant computed through the C++ calendar, independent of gmtime.
std::string Expected(int64_t ts) {
    using namespace std::chrono;
    const sys_time<milliseconds> t{milliseconds{ts}};
    const auto day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss<milliseconds> hms{t - day};
    char buf[64];
    std::snprintf(
        buf, sizeof buf, "%04d-%02u-%02u %02ld:%02ld:%02ld.%03ld", static_cast<int>(ymd.year()),
        static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
        static_cast<long>(hms.hours().count()), static_cast<long>(hms.minutes().count()),
        static_cast<long>(hms.seconds().count()), static_cast<long>(hms.subseconds().count()));
    return buf;
}

TEST(TimeText, KnownInstant) {
    EXPECT_EQ(Text(1733450205123), "2024-12-06 01:56:45.123");
}

TEST(TimeText, ZeroIsADash) {
    EXPECT_EQ(Text(0), "-");
}

TEST(TimeText, MillisecondsNearTheEpoch) {
    EXPECT_EQ(Text(1), "1970-01-01 00:00:00.001");
    EXPECT_EQ(Text(999), "1970-01-01 00:00:00.999");
    EXPECT_EQ(Text(1000), "1970-01-01 00:00:01.000");
}

TEST(TimeText, NegativeTimesCountBackFromTheEpoch) {
    EXPECT_EQ(Text(-1), "1969-12-31 23:59:59.999");
    EXPECT_EQ(Text(-1000), "1969-12-31 23:59:59.000");
    EXPECT_EQ(Text(-1001), "1969-12-31 23:59:58.999");
}

TEST(TimeText, CalendarCorners) {
    EXPECT_EQ(Text(951782400000), "2000-02-29 00:00:00.000");
    EXPECT_EQ(Text(4107542399999), "2100-02-28 23:59:59.999");
    EXPECT_EQ(Text(4107542400000), "2100-03-01 00:00:00.000");
}

TEST(TimeText, YearsZeroToNineThousandNineHundredNinetyNine) {
    EXPECT_EQ(Text(-62167219200000), "0000-01-01 00:00:00.000");
    EXPECT_EQ(Text(253402300799999), "9999-12-31 23:59:59.999");
}

TEST(TimeText, OutsideThoseYearsTheNumberIsShown) {
    EXPECT_EQ(Text(-62167219200001), "@-62167219200001");
    EXPECT_EQ(Text(253402300800000), "@253402300800000");
    EXPECT_EQ(Text(INT64_MAX), "@9223372036854775807");
    EXPECT_EQ(Text(INT64_MIN), "@-9223372036854775808");
    EXPECT_EQ(Text(INT64_MIN + 1), "@-9223372036854775807");
}

TEST(TimeText, AgreesWithTheCalendarOverManyInstants) {
    std::mt19937_64 random(20241206);
    std::uniform_int_distribution<int64_t> any(-62167219200000, 253402300799999);
    for (int i = 0; i < 20000; ++i) {
        const int64_t ts = any(random);
        if (ts == 0) continue;
        ASSERT_EQ(Text(ts), Expected(ts)) << "ts " << ts;
    }
}

// Every day of 800 years, leap rules of 1600, 1700, 2000 and 2100 included, at a time of
// day that moves with the day.
TEST(TimeText, AgreesWithTheCalendarOnEveryDayOf800Years) {
    constexpr int64_t kDay = 86400000;
    const int64_t first = -11676096000000;  // 1600-01-01
    const int64_t last = 13569465600000;    // 2400-01-01
    int64_t offset = 1;
    for (int64_t day = first; day < last; day += kDay) {
        offset = (offset * 7919 + 13) % kDay;
        if (day != 0) {
            ASSERT_EQ(Text(day), Expected(day)) << "ts " << day;
        }
        ASSERT_EQ(Text(day + offset), Expected(day + offset)) << "ts " << day + offset;
    }
}

TEST(TimeText, EveryTextFitsWhateverTheInput) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 20000; ++i) {
        const int64_t ts = static_cast<int64_t>(random());
        const std::string text = Text(ts);
        ASSERT_LT(text.size(), kLimit) << "ts " << ts;
        ASSERT_FALSE(text.empty()) << "ts " << ts;
    }
}

TEST(TimeText, NullBufferIsRefused) {
    errno = 0;
    make_time_string2(nullptr, 1733450205123);
    EXPECT_EQ(errno, EINVAL);
}

}  // namespace
