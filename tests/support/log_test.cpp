// log_Console and log_Debug. The switches are read once per process, so each case runs in a
// forked child with its own environment and its standard error on a pipe; this process
// never logs itself.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "olk.h"
#include "support_test_util.h"

namespace {

using support_test::Child;
using Log = support_test::WatchedTest<>;

// Runs `body` in a child with OLK_LOG_DEBUG and OLK_LOG_QUIET set as given (nullptr: unset)
// and returns what it wrote on standard error, read until the pipe closes or 20 s pass. The
// child must exit with 0.
std::string Capture(const char *debug, const char *quiet, const std::function<int()> &body) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    Child child([&] {
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        unsetenv("OLK_LOG_DEBUG");
        unsetenv("OLK_LOG_QUIET");
        if (debug != nullptr) setenv("OLK_LOG_DEBUG", debug, 1);
        if (quiet != nullptr) setenv("OLK_LOG_QUIET", quiet, 1);
        return body();
    });
    close(fds[1]);
    std::string out;
    char chunk[4096];
    ssize_t n = 0;
    pollfd p{fds[0], POLLIN, 0};
    while (poll(&p, 1, 20000) == 1 && (n = read(fds[0], chunk, sizeof chunk)) > 0)
        out.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    EXPECT_EQ(child.Wait(), 0) << "the logging child failed";
    return out;
}

TEST_F(Log, SwitchesChooseTheLines) {
    const std::string info = "[info] queue 3 freed, size=64\n";
    const std::string both = info + "[debug] detail ff\n";
    const struct {
        const char *debug;
        const char *quiet;
        std::string text;
    } cases[] = {{nullptr, nullptr, info}, {"1", nullptr, both}, {"yes", nullptr, both},
                 {"0", nullptr, info},     {"", nullptr, info},  {"1", "1", ""},
                 {nullptr, "1", ""},       {nullptr, "0", info}, {"1", "", both}};
    for (const auto &c : cases) {
        const std::string text = Capture(c.debug, c.quiet, [] {
            log_Console("queue %d freed, size=%u", 3, 64u);
            log_Debug("detail %x", 255);
            return 0;
        });
        EXPECT_EQ(text, c.text) << "OLK_LOG_DEBUG=" << (c.debug ? c.debug : "(unset)")
                                << " OLK_LOG_QUIET=" << (c.quiet ? c.quiet : "(unset)");
    }
}

TEST_F(Log, SwitchesAreReadAtTheFirstCallOnly) {
    const std::string text = Capture(nullptr, nullptr, [] {
        log_Debug("before");
        setenv("OLK_LOG_DEBUG", "1", 1);
        log_Debug("after");
        setenv("OLK_LOG_QUIET", "1", 1);
        log_Console("still");
        return 0;
    });
    EXPECT_EQ(text, "[info] still\n");
}

TEST_F(Log, LinesAreCutAt1024Bytes) {
    const std::string text = Capture(nullptr, nullptr, [] {
        log_Console("%s", std::string(1024 - 8, 'y').c_str());  // with prefix and newline: 1024
        log_Console("%s", std::string(5000, 'x').c_str());
        log_Console("next");
        return 0;
    });
    EXPECT_EQ(text, "[info] " + std::string(1024 - 8, 'y') + "\n[info] " +
                        std::string(1024 - 11, 'x') + "...\n[info] next\n");
}

TEST_F(Log, NullFormatIsRefusedAndErrnoKeptOtherwise) {
    const std::string text = Capture("1", nullptr, [] {
        // Called through pointers: the compilers refuse a literal NULL format.
        void (*volatile console)(const char *, ...) = log_Console;
        void (*volatile debug)(const char *, ...) = log_Debug;
        errno = 0;
        console(nullptr);
        if (errno != EINVAL) return 1;
        errno = 0;
        debug(nullptr);
        if (errno != EINVAL) return 2;
        errno = ERANGE;
        log_Console("a");
        log_Debug("b");
        return errno == ERANGE ? 0 : 3;
    });
    EXPECT_EQ(text, "[info] a\n[debug] b\n");
    EXPECT_EQ(Capture(nullptr, nullptr,
                      [] {
                          close(STDERR_FILENO);  // must do no harm
                          log_Console("nowhere");
                          return 0;
                      }),
              "");
}

// Long lines from several threads and processes at once: each arrives whole, once.
TEST_F(Log, ConcurrentLinesNeverInterleave) {
    constexpr int kWriters = 4;  // two threads and two processes
    constexpr int kLines = 200;
    auto line = [](int w, int i) {
        return "writer" + std::to_string(w) + " line" + std::to_string(i) + " " +
               std::string(700 + 100 * w, static_cast<char>('a' + w));
    };
    const std::string text = Capture(nullptr, nullptr, [&] {
        auto write_lines = [&](int w) {
            for (int i = 0; i < kLines; ++i)
                log_Console("%s", line(w, i).c_str());
            return 0;
        };
        Child first([&] { return write_lines(0); });
        Child second([&] { return write_lines(1); });
        std::thread third(write_lines, 2);
        write_lines(3);
        third.join();
        return first.Wait() == 0 && second.Wait() == 0 ? 0 : 1;
    });
    std::vector<std::string> expected;
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kLines; ++i)
            expected.push_back("[info] " + line(w, i));
    }
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string got; std::getline(in, got);)
        lines.push_back(got);
    std::sort(expected.begin(), expected.end());
    std::sort(lines.begin(), lines.end());
    EXPECT_TRUE(lines == expected)
        << "lines mangled, lost or doubled: " << lines.size() << " lines for " << expected.size();
}

}  // namespace
