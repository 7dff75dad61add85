// The support library's calls as the library under test makes them, recorded (see
// recorded_calls.h).
#include "common/recorded_calls.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>

namespace brenn_test {
namespace {

void record_line(std::vector<std::string> RecordedCalls::*to, const char *fmt, va_list args) {
    char line[1024];
    std::vsnprintf(line, sizeof line, fmt, args);
    std::lock_guard<std::mutex> hold(recorded().mutex);
    (recorded().*to).emplace_back(line);
}

template <int Which>
int32_t semaphore_call(const char *name, int32_t set, int32_t index) {
    using Call = int32_t (*)(int32_t, int32_t);
    static const auto real = reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
    {
        std::lock_guard<std::mutex> hold(recorded().mutex);
        ++recorded().semaphore[{set, index}][Which];
    }
    return real(set, index);
}

}  // namespace
}  // namespace brenn_test

extern "C" {
void olk_return(uint64_t handle) {
    std::lock_guard<std::mutex> hold(brenn_test::recorded().mutex);
    brenn_test::recorded().returned.push_back(handle);
}
void log_Console(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    brenn_test::record_line(&brenn_test::RecordedCalls::console, fmt, args);
    va_end(args);
}
void log_Debug(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    brenn_test::record_line(&brenn_test::RecordedCalls::debug, fmt, args);
    va_end(args);
}
void make_time_string2(char *buf, int64_t ts) {
    {
        std::lock_guard<std::mutex> hold(brenn_test::recorded().mutex);
        brenn_test::recorded().times.push_back(ts);
    }
    std::snprintf(buf, 32, "t%lld", static_cast<long long>(ts));
}
int32_t vos_lock(int32_t set, int32_t index) {
    return brenn_test::semaphore_call<0>("vos_lock", set, index);
}
int32_t vos_unlock(int32_t set, int32_t index) {
    return brenn_test::semaphore_call<1>("vos_unlock", set, index);
}
int32_t vos_wait(int32_t set, int32_t index) {
    return brenn_test::semaphore_call<2>("vos_wait", set, index);
}
int32_t vos_signal(int32_t set, int32_t index) {
    return brenn_test::semaphore_call<3>("vos_signal", set, index);
}
}
