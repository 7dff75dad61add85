// What the library hands the support library, recorded: console and debug lines, handles given
// back, the timestamps of the dumps' time texts, and the lock, unlock, wait and signal calls of
// the shared binding. The test program defines these functions itself; the library reaches
// them through their dynamic symbols, so these definitions receive its calls (the semaphore
// calls are passed on to the stand-in).
// make_time_string2 answers "t" and the timestamp, so dump texts are known in advance.
// A program that records links recorded_calls.cpp, where those definitions are.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace brenn_test {

struct RecordedCalls {
    std::mutex mutex;
    std::vector<std::string> console, debug;
    std::vector<uint64_t> returned;
    std::vector<int64_t> times;  // the timestamps make_time_string2 was asked for
    // Per (set, index): how many vos_lock, vos_unlock, vos_wait and vos_signal calls.
    std::map<std::pair<int32_t, int32_t>, std::array<int, 4>> semaphore;
};
inline RecordedCalls &recorded() {
    static RecordedCalls calls;
    return calls;
}

// Takes what was recorded since the last time, and forgets it.
template <class T>
T take(T RecordedCalls::*what) {
    std::lock_guard<std::mutex> hold(recorded().mutex);
    return std::exchange(recorded().*what, T{});
}

inline void forget_recorded_calls() {
    take(&RecordedCalls::console), take(&RecordedCalls::debug), take(&RecordedCalls::returned);
    take(&RecordedCalls::semaphore), take(&RecordedCalls::times);
}

}  // namespace brenn_test
