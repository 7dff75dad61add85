// One measured run of a mechanism: the fan-out of a count of handles to K consumers, or a
// count of round trips through a consumer that echoes each handle back.
#pragma once

#include <cstdint>

#include "bench/fanout/mechanism.h"

namespace fanout {

struct FanOut {
    bool ok = false;
    double seconds = 0;        // from all consumers ready to the last consumer's last handle
    uint64_t delivered = 0;    // handles taken, summed over the consumers
    uint64_t skipped = 0;      // handles the consumers never saw (overtaken sessions)
    uint64_t switches = 0;     // context switches of producer and consumers
    int64_t futex_calls = -1;  // futex system calls of producer and consumers; -1 not counted
};

struct RoundTrip {
    bool ok = false;
    double p50_us = 0, p99_us = 0;
    double switches_per_trip = 0;
    double futex_per_trip = -1;
};

FanOut run_fan_out(const Mechanism &m, int consumers, uint64_t handles);
// run_fan_out in a child process of its own. A mechanism's figure depends on what ran before
// it in the same process (a ring under a mutex ran twice as fast as the first run of a process
// as after another mechanism), so every run starts from the same state.
FanOut run_fan_out_fresh(const Mechanism &m, int consumers, uint64_t handles);
RoundTrip run_round_trip(const Mechanism &m, uint64_t trips);

// Ends the program when a run is still going `seconds` after it began: a mechanism that
// stops waking its consumers must not hold the benchmark for ever.
void start_watchdog(int seconds);

}  // namespace fanout
