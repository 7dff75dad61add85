// What one producer or consumer costs while it runs: context switches (getrusage of the
// calling thread) and futex system calls (a perf counter on the kernel's sys_enter_futex
// tracepoint, for the calling thread only, when the kernel lets this process count it).
#pragma once

#include <cstdint>

namespace fanout {

// Monotonic nanoseconds, comparable between the processes of one machine.
int64_t now_ns();

// True when futex calls can be counted here (tracefs mounted, perf events allowed).
bool futex_counting_available();

class Meter {
  public:
    Meter();  // starts counting for the calling thread
    ~Meter();
    Meter(const Meter &) = delete;
    Meter &operator=(const Meter &) = delete;

    // What the calling thread spent since construction; futex calls are -1 when not counted.
    void stop(uint64_t *context_switches, int64_t *futex_calls);

  private:
    long switches_at_start_;
    int futex_fd_;
};

}  // namespace fanout
