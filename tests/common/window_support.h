// Records what the library hands to the support library, for the tests of window upkeep,
// node-count changes and dumps. The program itself defines olk_return, log_Console and
// make_time_string2: libbrenn reaches them through their dynamic symbols, so these definitions
// receive the library's calls instead of the stand-in's. Include this header from exactly one
// source file of a test program.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "common/families.h"

namespace brenn_test {

struct SupportCalls {
    std::mutex mutex;
    std::vector<std::string> console;  // log_Console lines, formatted
    std::vector<uint64_t> returned;    // olk_return handles, in call order
};

inline SupportCalls &support_calls() {
    static SupportCalls calls;
    return calls;
}

inline void clear_support_calls() {
    std::lock_guard<std::mutex> hold(support_calls().mutex);
    support_calls().console.clear();
    support_calls().returned.clear();
}

inline std::vector<std::string> console_lines() {
    std::lock_guard<std::mutex> hold(support_calls().mutex);
    return support_calls().console;
}

inline std::vector<uint64_t> returned_handles() {
    std::lock_guard<std::mutex> hold(support_calls().mutex);
    return support_calls().returned;
}

// The time text the dumps print: "t" and the timestamp in decimal.
inline std::string time_text(int64_t ts) {
    return "t" + std::to_string(ts);
}

// A bounded wait that must succeed: a call still blocked after `limit` cannot be joined, so the
// program stops at once rather than hang or tear the queue down under a waiting thread.
inline void must_finish(Blocked &b, std::chrono::milliseconds limit, const char *what) {
    if (b.finishes(limit)) return;
    ADD_FAILURE() << what << " did not return within " << limit.count() << " ms";
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(1);
}

inline QueueStatus status_of(const FamilyApi &f, int32_t q) {
    QueueStatus s{};
    EXPECT_EQ(f.queue_status(q, &s), 0);
    return s;
}

}  // namespace brenn_test

extern "C" void olk_return(uint64_t handle) {
    std::lock_guard<std::mutex> hold(brenn_test::support_calls().mutex);
    brenn_test::support_calls().returned.push_back(handle);
}

extern "C" void log_Console(const char *fmt, ...) {
    char line[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    std::lock_guard<std::mutex> hold(brenn_test::support_calls().mutex);
    brenn_test::support_calls().console.emplace_back(line);
}

extern "C" void make_time_string2(char *buf, int64_t ts) {
    std::snprintf(buf, 32, "%s", brenn_test::time_text(ts).c_str());
}
