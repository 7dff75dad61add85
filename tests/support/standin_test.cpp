// The stand-in's calls that need no System V object: log lines, time texts, returned handles.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "common/harness.h"
#include "olk_standin.h"

namespace brenn_test {
namespace {

constexpr auto npos = std::string::npos;
const bool armed = arm_watchdog(50);

// What `body` writes on standard error in a child with OLK_LOG_DEBUG and OLK_LOG_QUIET as given
// (nullptr: unset): the switches are read once per process, so this process never logs.
std::string logged(const char *debug, const char *quiet, const std::function<int()> &body) {
    FILE *err = std::tmpfile();
    const int code = child_result(fork_child([&] {
        dup2(fileno(err), 2);
        debug ? setenv("OLK_LOG_DEBUG", debug, 1) : unsetenv("OLK_LOG_DEBUG");
        quiet ? setenv("OLK_LOG_QUIET", quiet, 1) : unsetenv("OLK_LOG_QUIET");
        return body();
    }));
    std::string out(static_cast<size_t>(lseek(fileno(err), 0, SEEK_END)), '\0');
    out.resize(pread(fileno(err), out.data(), out.size(), 0) > 0 ? out.size() : 0);
    std::fclose(err);
    return code == 0 ? out : "<the child failed> " + out;
}

TEST(Log, SwitchesChooseTheLines) {
    const std::string info = "[info] queue 3 freed, size=64\n", both = info + "[debug] detail ff\n";
    const std::tuple<const char *, const char *, std::string> cases[] = {
        {nullptr, nullptr, info}, {"yes", nullptr, both}, {"0", nullptr, info}, {"", nullptr, info},
        {"1", "1", ""},           {nullptr, "0", info},   {"1", "", both}};
    for (const auto &[debug, quiet, text] : cases) {
        EXPECT_EQ(logged(debug, quiet,
                         [] {
                             log_Console("queue %d freed, size=%u", 3, 64u);
                             log_Debug("detail %x", 255);
                             return 0;
                         }),
                  text)
            << (debug ? debug : "-") << " " << (quiet ? quiet : "-");
    }
}

TEST(Log, ReadOnceCutAt1024NullFormatKeepsErrno) {
    EXPECT_EQ(logged(nullptr, nullptr,
                     [] {
                         log_Debug("before");
                         setenv("OLK_LOG_DEBUG", "1", 1);  // too late: read at the first call
                         setenv("OLK_LOG_QUIET", "1", 1);
                         log_Debug("after");
                         log_Console("%s", std::string(1016, 'y').c_str());  // 1024 in all
                         log_Console("%s", std::string(5000, 'x').c_str());
                         return 0;
                     }),
              "[info] " + std::string(1016, 'y') + "\n[info] " + std::string(1013, 'x') + "...\n");
    EXPECT_EQ(logged("1", nullptr,
                     [] {
                         // Through pointers: the compilers refuse a literal NULL format.
                         void (*volatile calls[])(const char *, ...) = {log_Console, log_Debug};
                         for (auto call : calls) {
                             errno = 0;
                             call(nullptr);
                             if (errno != EINVAL) return 1;
                         }
                         errno = ERANGE;
                         log_Console("a");
                         log_Debug("b");
                         close(2);
                         log_Console("nowhere");  // must do no harm
                         return errno == ERANGE ? 0 : 2;
                     }),
              "[info] a\n[debug] b\n");
}

// Long lines from a thread and two processes at once: each arrives whole, once.
TEST(Log, ConcurrentLinesNeverInterleave) {
    auto line = [](int w) { return std::string(600 + 100 * w, char('a' + w)); };
    auto lines = [&](int w) {
        for (int i = 0; i < 300; ++i)
            log_Console("%s", line(w).c_str());
        return 0;
    };
    const std::string text = logged(nullptr, nullptr, [&] {
        const pid_t a = fork_child([&] { return lines(0); }),
                    b = fork_child([&] { return lines(1); });
        std::thread(lines, 2).join();
        return child_result(a) + child_result(b);
    });
    size_t whole = 0;
    for (int w = 0; w < 3; ++w)
        for (size_t at = 0; (at = text.find("[info] " + line(w) + "\n", at)) != npos; ++at)
            whole += 8 + line(w).size();
    const size_t all = 300 * (3 * 8 + 600 + 700 + 800);  // nothing lost, doubled or cut
    EXPECT_EQ(csv(whole, text.size()), csv(all, all));
}

// The text of `ts`, which must leave the 33rd byte of a buffer and all after it alone.
std::string time_text(int64_t ts) {
    char buf[65] = {};
    std::memset(buf, 0x7f, 64);
    make_time_string2(buf, ts);
    return std::string(buf + 32) == std::string(32, 0x7f) ? buf : "<overran 32 bytes>";
}

// The text by the C++ calendar, which shares no code with the stand-in.
std::string calendar(int64_t ts) {
    using namespace std::chrono;
    if (ts == 0) return "-";
    if (ts < -62167219200000 || ts > 253402300799999) return "@" + std::to_string(ts);
    const sys_time<milliseconds> t{milliseconds{ts}};
    const year_month_day d{floor<days>(t)};
    const hh_mm_ss<milliseconds> h{t - floor<days>(t)};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02d:%02d:%02d.%03d", int(d.year()),
                  unsigned(d.month()), unsigned(d.day()), int(h.hours().count()),
                  int(h.minutes().count()), int(h.seconds().count()), int(h.subseconds().count()));
    return buf;
}

TEST(TimeText, KnownTextsAndEveryDayOf800Years) {
    const std::pair<int64_t, const char *> known[] = {
        {1733450205123, "2024-12-06 01:56:45.123"},   {0, "-"},
        {-1001, "1969-12-31 23:59:58.999"},           {951782400000, "2000-02-29 00:00:00.000"},
        {-62167219200000, "0000-01-01 00:00:00.000"}, {253402300799999, "9999-12-31 23:59:59.999"},
        {-62167219200001, "@-62167219200001"},        {253402300800000, "@253402300800000"},
        {INT64_MIN, "@-9223372036854775808"}};
    for (const auto &[ts, text] : known)
        EXPECT_EQ(time_text(ts), text);
    errno = 0;
    make_time_string2(nullptr, 1);
    EXPECT_EQ(errno, EINVAL);
    // 1600 to 2400 at a time of day that moves, and random values of every magnitude.
    Rng rng{20241206};
    for (int64_t day = -11676096000000, at = 1; day < 13569465600000; day += 86400000) {
        at = (at * 7919 + 13) % 86400000;
        const int64_t any = static_cast<int64_t>(rng.next()) >> rng.below(64);
        ASSERT_EQ(time_text(day + at), calendar(day + at));
        ASSERT_EQ(time_text(any), calendar(any));
    }
}

std::atomic<uint64_t> g_calls{0}, g_sum{0};
void record(uint64_t handle, void *context) {
    g_calls += 1;
    g_sum += handle * reinterpret_cast<uintptr_t>(context);  // the context comes along
}

TEST(BufferReturn, CountedByDefaultHandledWithItsContextNoneLostWhileSwapping) {
    const uint64_t before = olk_returned_count();
    olk_return(UINT64_MAX);
    olk_set_return_handler(record, reinterpret_cast<void *>(3));
    olk_return(40);
    olk_set_return_handler(record, reinterpret_cast<void *>(1));
    olk_return(2);
    EXPECT_EQ(csv(g_calls.load(), g_sum.load(), olk_returned_count() - before), "2,122,1");
    olk_set_return_handler(nullptr, reinterpret_cast<void *>(3));
    olk_return(6);
    EXPECT_EQ(csv(g_calls.load(), olk_returned_count() - before), "2,2");
    g_calls = g_sum = 0;
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        for (uintptr_t turn = 0; !stop; ++turn)
            olk_set_return_handler(turn % 3 ? record : nullptr, reinterpret_cast<void *>(1));
    });
    for (int i = 0; i < 40000; ++i)
        olk_return(1);
    stop = true;
    swapper.join();
    olk_set_return_handler(nullptr, nullptr);
    EXPECT_EQ(g_calls + olk_returned_count() - before, 40002u);
    EXPECT_EQ(g_sum.load(), g_calls.load());
}

}  // namespace
}  // namespace brenn_test
