// log_Console and log_Debug: one line per call on standard error.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "olk.h"

namespace {

constexpr size_t kLineMax = 1024;
constexpr char kCut[] = "...";

constexpr int kDebugOn = 1;
constexpr int kQuiet = 2;
constexpr int kUnread = -1;

// Read once: log_Debug sits on paths that run often, and with debug off it should cost a
// load and a test, not a walk through the environment.
std::atomic<int> g_switches{kUnread};

bool switched_on(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

int switches() {
    int s = g_switches.load(std::memory_order_relaxed);
    if (s == kUnread) {
        s = (switched_on("OLK_LOG_DEBUG") ? kDebugOn : 0) |
            (switched_on("OLK_LOG_QUIET") ? kQuiet : 0);
        g_switches.store(s, std::memory_order_relaxed);
    }
    return s;
}

// The whole line goes out in one write: lines of other threads and processes writing to the
// same descriptor never land inside it (a pipe keeps writes of up to 4096 bytes whole).
void emit(const char *prefix, const char *fmt, va_list args) {
    char line[kLineMax];
    const size_t start = std::strlen(prefix);
    std::memcpy(line, prefix, start);
    // Room for the text and its NUL; the newline later takes the NUL's place.
    const size_t room = kLineMax - start;
    const int wanted = std::vsnprintf(line + start, room, fmt, args);
    size_t length;
    if (wanted < 0) {
        static constexpr char kBad[] = "(unprintable message)";
        std::memcpy(line + start, kBad, sizeof kBad - 1);
        length = start + sizeof kBad - 1;
    } else if (static_cast<size_t>(wanted) >= room) {
        length = kLineMax - 1;
        std::memcpy(line + length - (sizeof kCut - 1), kCut, sizeof kCut - 1);
    } else {
        length = start + static_cast<size_t>(wanted);
    }
    line[length++] = '\n';
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(STDERR_FILENO, line + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void log_line(int needed, const char *prefix, const char *fmt, va_list args) {
    if (fmt == nullptr) {
        errno = EINVAL;
        return;
    }
    const int s = switches();
    if ((s & kQuiet) != 0 || (s & needed) != needed) return;
    const int saved = errno;
    emit(prefix, fmt, args);
    errno = saved;
}

}  // namespace

extern "C" {

void log_Console(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    log_line(0, "[info] ", fmt, args);
    va_end(args);
}

void log_Debug(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    log_line(kDebugOn, "[debug] ", fmt, args);
    va_end(args);
}

}  // extern "C"
