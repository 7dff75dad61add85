// Records what the library hands to the support library: console and debug lines, handles
// given back, and the time text of the dumps. The program itself defines log_Console,
// log_Debug, olk_return and make_time_string2: libbrenn reaches them through their dynamic
// symbols, so these definitions receive the library's calls instead of the stand-in's. Include
// this header from exactly one source file of a test program.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brenn_test {

struct SupportCalls {
    std::mutex mutex;
    std::vector<std::string> console;  // log_Console lines, formatted
    std::vector<std::string> debug;    // log_Debug lines, formatted
    std::vector<uint64_t> returned;    // olk_return handles, in call order
};

inline SupportCalls &support_calls() {
    static SupportCalls calls;
    return calls;
}

inline void clear_support_calls() {
    std::lock_guard<std::mutex> hold(support_calls().mutex);
    support_calls().console.clear();
    support_calls().debug.clear();
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

// True once the library logged `line` as a debug line, waiting at most `limit` for it.
inline bool debug_logged(const std::string &line,
                         std::chrono::milliseconds limit = std::chrono::milliseconds(0)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(support_calls().mutex);
            for (const std::string &l : support_calls().debug)
                if (l == line) return true;
        }
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The time text the dumps print: "t" and the timestamp in decimal.
inline std::string time_text(int64_t ts) {
    return "t" + std::to_string(ts);
}

inline void record_line(std::vector<std::string> SupportCalls::*to, const char *fmt, va_list args) {
    char line[1024];
    std::vsnprintf(line, sizeof line, fmt, args);
    std::lock_guard<std::mutex> hold(support_calls().mutex);
    (support_calls().*to).emplace_back(line);
}

}  // namespace brenn_test

extern "C" void olk_return(uint64_t handle) {
    std::lock_guard<std::mutex> hold(brenn_test::support_calls().mutex);
    brenn_test::support_calls().returned.push_back(handle);
}

extern "C" void log_Console(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    brenn_test::record_line(&brenn_test::SupportCalls::console, fmt, args);
    va_end(args);
}

extern "C" void log_Debug(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    brenn_test::record_line(&brenn_test::SupportCalls::debug, fmt, args);
    va_end(args);
}

extern "C" void make_time_string2(char *buf, int64_t ts) {
    std::snprintf(buf, 32, "%s", brenn_test::time_text(ts).c_str());
}
