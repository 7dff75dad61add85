// log_Console and log_Debug. The switches are read once per process, so each case runs in a
// forked child with its own environment and its standard error on a pipe; this process
// never logs itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "olk.h"
#include "support_test_util.h"

namespace {

using support_test::ForkChild;
using support_test::ReadAll;
using support_test::WaitChild;

struct Captured {
    std::string text;
    int exit_code = -1;
};

// Runs `body` in a child with OLK_LOG_DEBUG and OLK_LOG_QUIET set as given (nullptr: unset)
// and returns what it wrote on standard error and its exit code.
Captured Capture(const char *debug, const char *quiet, const std::function<int()> &body) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = ForkChild([&] {
        close(fds[0]);
        dup2(fds[1], STDERR_FILENO);
        close(fds[1]);
        unsetenv("OLK_LOG_DEBUG");
        unsetenv("OLK_LOG_QUIET");
        if (debug != nullptr) setenv("OLK_LOG_DEBUG", debug, 1);
        if (quiet != nullptr) setenv("OLK_LOG_QUIET", quiet, 1);
        return body();
    });
    close(fds[1]);
    Captured out;
    out.text = ReadAll(fds[0]);
    close(fds[0]);
    out.exit_code = WaitChild(pid);
    return out;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

int BothLevels() {
    log_Console("hello %d %s", 42, "world");
    log_Debug("detail %x", 255);
    return 0;
}

TEST(Log, ConsoleLineHasPrefixTextAndNewline) {
    const Captured c = Capture(nullptr, nullptr, [] {
        log_Console("queue %d freed, size=%u", 3, 64u);
        return 0;
    });
    EXPECT_EQ(c.exit_code, 0);
    EXPECT_EQ(c.text, "[info] queue 3 freed, size=64\n");
}

TEST(Log, DebugIsOffByDefault) {
    const Captured c = Capture(nullptr, nullptr, BothLevels);
    EXPECT_EQ(c.exit_code, 0);
    EXPECT_EQ(c.text, "[info] hello 42 world\n");
}

TEST(Log, DebugOnWhenTheVariableSaysSo) {
    const Captured c = Capture("1", nullptr, BothLevels);
    EXPECT_EQ(c.exit_code, 0);
    EXPECT_EQ(c.text, "[info] hello 42 world\n[debug] detail ff\n");
    EXPECT_EQ(Capture("yes", nullptr, BothLevels).text,
              "[info] hello 42 world\n[debug] detail ff\n");
}

TEST(Log, DebugStaysOffForZeroOrEmpty) {
    EXPECT_EQ(Capture("0", nullptr, BothLevels).text, "[info] hello 42 world\n");
    EXPECT_EQ(Capture("", nullptr, BothLevels).text, "[info] hello 42 world\n");
}

TEST(Log, QuietSilencesEveryLevel) {
    const Captured c = Capture("1", "1", BothLevels);
    EXPECT_EQ(c.exit_code, 0);
    EXPECT_EQ(c.text, "");
    EXPECT_EQ(Capture(nullptr, "1", BothLevels).text, "");
}

TEST(Log, QuietOfZeroOrEmptyIsNotQuiet) {
    EXPECT_EQ(Capture(nullptr, "0", BothLevels).text, "[info] hello 42 world\n");
    EXPECT_EQ(Capture("1", "", BothLevels).text, "[info] hello 42 world\n[debug] detail ff\n");
}

TEST(Log, SwitchesAreReadAtTheFirstCallOnly) {
    const Captured c = Capture(nullptr, nullptr, [] {
        log_Debug("before");
        setenv("OLK_LOG_DEBUG", "1", 1);
        log_Debug("after");
        setenv("OLK_LOG_QUIET", "1", 1);
        log_Console("still");
        return 0;
    });
    EXPECT_EQ(c.text, "[info] still\n");
}

TEST(Log, LongTextIsCutToOneLineOf1024Bytes) {
    const Captured c = Capture(nullptr, nullptr, [] {
        const std::string big(5000, 'x');
        log_Console("%s", big.c_str());
        log_Console("next");
        return 0;
    });
    const std::vector<std::string> lines = Lines(c.text);
    ASSERT_EQ(lines.size(), 2u) << c.text.substr(0, 200);
    EXPECT_EQ(lines[0].size() + 1, 1024u);
    EXPECT_EQ(lines[0].rfind("[info] xxx", 0), 0u);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 4), "x...");
    EXPECT_EQ(lines[1], "[info] next");
}

TEST(Log, TextThatJustFitsIsNotCut) {
    const Captured c = Capture(nullptr, nullptr, [] {
        const std::string fits(1024 - 7 - 1, 'y');  // prefix, text, newline: 1024 bytes
        log_Console("%s", fits.c_str());
        return 0;
    });
    ASSERT_EQ(c.text.size(), 1024u);
    EXPECT_EQ(c.text.substr(c.text.size() - 4), "yyy\n");
}

TEST(Log, NullFormatWritesNothing) {
    const Captured c = Capture("1", nullptr, [] {
        // Called through pointers: the compilers refuse a literal NULL format.
        void (*volatile console)(const char *, ...) = log_Console;
        void (*volatile debug)(const char *, ...) = log_Debug;
        errno = 0;
        console(nullptr);
        if (errno != EINVAL) return 1;
        errno = 0;
        debug(nullptr);
        return errno == EINVAL ? 0 : 2;
    });
    EXPECT_EQ(c.exit_code, 0);
    EXPECT_EQ(c.text, "");
}

TEST(Log, CallerErrnoIsKept) {
    const Captured c = Capture("1", nullptr, [] {
        errno = ERANGE;
        log_Console("a");
        log_Debug("b");
        return errno == ERANGE ? 0 : 1;
    });
    EXPECT_EQ(c.exit_code, 0);
    EXPECT_EQ(c.text, "[info] a\n[debug] b\n");
}

TEST(Log, ClosedStandardErrorIsHarmless) {
    const Captured c = Capture(nullptr, nullptr, [] {
        close(STDERR_FILENO);
        log_Console("nowhere");
        return 0;
    });
    EXPECT_EQ(c.exit_code, 0);
    EXPECT_EQ(c.text, "");
}

// Long lines from several threads and processes at once: each arrives whole.
TEST(Log, ConcurrentLinesNeverInterleave) {
    constexpr int kThreads = 4;
    constexpr int kProcesses = 2;
    constexpr int kLines = 200;
    const Captured c = Capture("1", nullptr, [] {
        std::vector<pid_t> children;
        for (int p = 0; p < kProcesses; ++p) {
            children.push_back(ForkChild([p] {
                for (int i = 0; i < kLines; ++i) {
                    log_Debug("proc%d line%04d %s", p, i, std::string(700, 'a' + p).c_str());
                }
                return 0;
            }));
        }
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < kLines; ++i) {
                    log_Console("thread%d line%04d %s", t, i, std::string(900, 'k' + t).c_str());
                }
            });
        }
        for (auto &t : threads)
            t.join();
        int failed = 0;
        for (pid_t child : children)
            failed |= WaitChild(child) != 0;
        return failed;
    });
    EXPECT_EQ(c.exit_code, 0);
    std::set<std::string> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; ++i) {
            char head[64];
            std::snprintf(head, sizeof head, "[info] thread%d line%04d ", t, i);
            expected.insert(head + std::string(900, static_cast<char>('k' + t)));
        }
    }
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kLines; ++i) {
            char head[64];
            std::snprintf(head, sizeof head, "[debug] proc%d line%04d ", p, i);
            expected.insert(head + std::string(700, static_cast<char>('a' + p)));
        }
    }
    const std::vector<std::string> lines = Lines(c.text);
    EXPECT_EQ(lines.size(), expected.size());
    std::set<std::string> seen;
    for (const std::string &line : lines) {
        EXPECT_EQ(expected.count(line), 1u) << "mangled line: " << line.substr(0, 80);
        EXPECT_TRUE(seen.insert(line).second) << "line twice: " << line.substr(0, 80);
    }
}

}  // namespace
