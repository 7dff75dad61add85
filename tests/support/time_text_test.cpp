// make_time_string2: the text of a millisecond timestamp.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "olk.h"
#include "support_test_util.h"

namespace {

using TimeText = support_test::WatchedTest<>;

// The text for ts, written into a larger buffer whose bytes from 32 on must stay as they
// were: the caller's buffer has 32 bytes.
std::string Text(int64_t ts) {
    char buf[65] = {};
    std::memset(buf, 0x7f, 64);
    make_time_string2(buf, ts);
    EXPECT_EQ(std::string(buf + 32), std::string(32, '\x7f')) << "written past 32 bytes: " << ts;
    EXPECT_NE(std::memchr(buf, '\0', 32), nullptr) << "no NUL within 32 bytes: " << ts;
    return buf;
}

// The text worked out through the C++ calendar, which shares no code with the stand-in.
std::string Expected(int64_t ts) {
    using namespace std::chrono;
    if (ts == 0) return "-";
    if (ts < -62167219200000 || ts > 253402300799999) return "@" + std::to_string(ts);
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

TEST_F(TimeText, KnownTexts) {
    EXPECT_EQ(Text(1733450205123), "2024-12-06 01:56:45.123");
    EXPECT_EQ(Text(0), "-");
    EXPECT_EQ(Text(1), "1970-01-01 00:00:00.001");
    EXPECT_EQ(Text(1000), "1970-01-01 00:00:01.000");
    EXPECT_EQ(Text(-1), "1969-12-31 23:59:59.999");
    EXPECT_EQ(Text(-1001), "1969-12-31 23:59:58.999");
    EXPECT_EQ(Text(951782400000), "2000-02-29 00:00:00.000");
    EXPECT_EQ(Text(4107542399999), "2100-02-28 23:59:59.999");
    EXPECT_EQ(Text(4107542400000), "2100-03-01 00:00:00.000");
    EXPECT_EQ(Text(-62167219200000), "0000-01-01 00:00:00.000");
    EXPECT_EQ(Text(253402300799999), "9999-12-31 23:59:59.999");
    // Outside the four-digit years, the number itself.
    EXPECT_EQ(Text(-62167219200001), "@-62167219200001");
    EXPECT_EQ(Text(253402300800000), "@253402300800000");
    EXPECT_EQ(Text(INT64_MAX), "@9223372036854775807");
    EXPECT_EQ(Text(INT64_MIN), "@-9223372036854775808");
    errno = 0;
    make_time_string2(nullptr, 1733450205123);
    EXPECT_EQ(errno, EINVAL);
}

// Every day of 800 years (the leap rules of 1600, 1700, 2000 and 2100 included) at a time of
// day that moves with the day, random instants of all four-digit years, and random values of
// the whole range, whose texts must fit all the same.
TEST_F(TimeText, AgreesWithTheCalendar) {
    constexpr int64_t kDay = 86400000;
    int64_t offset = 1;
    for (int64_t day = -11676096000000; day < 13569465600000; day += kDay) {
        offset = (offset * 7919 + 13) % kDay;
        ASSERT_EQ(Text(day), Expected(day));
        ASSERT_EQ(Text(day + offset), Expected(day + offset));
    }
    std::mt19937_64 random(20241206);
    std::uniform_int_distribution<int64_t> readable(-62167219200000, 253402300799999);
    for (int i = 0; i < 20000; ++i) {
        const int64_t ts = readable(random);
        ASSERT_EQ(Text(ts), Expected(ts));
        const int64_t any = static_cast<int64_t>(random());
        ASSERT_EQ(Text(any), Expected(any));
    }
}

}  // namespace
