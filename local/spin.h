// Brief spinning before a local queue's thread sleeps on its condition variable. Sleeping and
// being woken costs two system calls and two context switches, far more than the gap between
// two handles of a burst; so a waiter first watches the queue's wake count for a short spell,
// pausing the CPU between looks, yields the CPU once (the thread it waits for may be queued
// behind it), and only then sleeps.
//
// Spinning pays only while the thread that will wake it runs on another CPU. When it does not
// (more runnable threads than CPUs), every spell runs out and its time is lost; so each
// thread keeps a credit, halved by a spell that ran out (down to none: the thread then only
// yields before it sleeps, and spins briefly one spell in eight to find out when spinning
// pays again) and doubled, up to the budget, by one that ended with a wake. A yield that did
// not bring the wake is left out of the following spells until a short probing spell finds
// that it helps again: a scheduler may send a thread that yields to the back of the line for
// a whole slice, so a useless yield only makes it late.
#pragma once

#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <ctime>

namespace brenn::local {

// Long enough to cover the gaps inside a burst of handles; short enough that a consumer
// waiting for the next camera frame (4 to 33 ms away) wastes well under one percent of a CPU.
inline constexpr int64_t kSpinNs = 20000;
// The shortest spell worth trying; a thread whose spells keep running out stops spinning
// and tries one this short every few waits.
inline constexpr int64_t kSpinFloorNs = 1000;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    // isb stalls for tens of cycles, where yield is a no-op on most cores.
    asm volatile("isb" ::: "memory");
#elif defined(__arm__)
    asm volatile("yield" ::: "memory");
#else
    asm volatile("" ::: "memory");
#endif
}

// A thread's spinning credit (negative until first used), and how many spells it began
// without credit.
struct SpinCredit {
    int64_t ns = -1;
    uint32_t spells = 0;
    bool yield_pays = true;  // the last yield was followed by the change waited for
};

// One spell of spinning: while the watched word says "not yet", again() pauses and answers
// true (look again), until the credit is spent and the CPU yielded once; then false (sleep).
class Spin {
  public:
    explicit Spin(SpinCredit &credit) noexcept : credit_(credit) {
        if (credit_.ns < 0 || credit_.ns > kSpinNs) credit_.ns = kSpinNs;
        limit_ = credit_.ns;
        // A thread that has given up spinning still tries a short spell now and then, to
        // find out when spinning pays again.
        probing_ = limit_ == 0 && ++credit_.spells % kProbeEvery == 0;
        if (probing_) limit_ = kSpinFloorNs;
    }
    ~Spin() {
        if (looks_ == 0) return;
        if (yielded_) credit_.yield_pays = !done_;
        if (ran_out_) {
            credit_.ns = credit_.ns / 2 < kSpinFloorNs ? 0 : credit_.ns / 2;
        } else {
            credit_.ns = std::min(kSpinNs, std::max(kSpinFloorNs, credit_.ns * 2));
        }
    }
    Spin(const Spin &) = delete;
    Spin &operator=(const Spin &) = delete;

    bool again() noexcept {
        if (done_) return false;
        if (limit_ > 0 && !ran_out_) {
            // Looks spaced out a little more each time: every look pulls the watched line
            // away from the thread that is about to write it.
            for (uint32_t i = 0; i < pauses_; ++i)
                cpu_relax();
            if (pauses_ < kMaxPauses) pauses_ *= 2;
            ++looks_;
            // The clock is read once per few looks: a look costs less than a clock read.
            if (looks_ % kLooksPerClockRead != 0) return true;
            const int64_t now = now_ns();
            if (start_ == 0) start_ = now;
            if (now - start_ < limit_) return true;
        }
        if (!ran_out_) {
            ran_out_ = true;
            ++looks_;
            if (credit_.yield_pays || probing_) {
                yielded_ = true;
                sched_yield();
                return true;  // one last look after the yield
            }
        }
        done_ = true;
        return false;
    }

  private:
    static constexpr uint32_t kLooksPerClockRead = 4;
    static constexpr uint32_t kMaxPauses = 8;
    static constexpr uint32_t kProbeEvery = 8;

    static int64_t now_ns() noexcept {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
    }

    SpinCredit &credit_;
    int64_t limit_;
    int64_t start_ = 0;
    uint32_t looks_ = 0;
    uint32_t pauses_ = 1;
    bool probing_ = false;
    bool ran_out_ = false;
    bool yielded_ = false;
    bool done_ = false;
};

}  // namespace brenn::local
