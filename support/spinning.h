// Brief spinning before a sleep, for the local queues' condition variables and the stand-in's
// futex semaphores alike (a header only: it defines no symbol of either library). Sleeping and
// being woken costs two system calls and two context switches, far more than the few hundred
// nanoseconds a lock is held or a handle takes to follow the last one of a burst; so a caller
// that would sleep first watches its word for a while, pausing the CPU between looks, then
// yields the CPU once (the one it waits for may be queued behind it), and only then sleeps.
//
// Spinning pays only while the one that will change the word runs on another CPU. When it does
// not (more runnable threads than CPUs), every spell runs out and its time is lost, and the
// yield hands the CPU to whoever is next rather than to the waker; so each thread keeps a
// credit per kind of spell, halved by a spell that ran out (down to none: the thread then only
// yields before it sleeps, and spins briefly one spell in eight to find out when spinning pays
// again) and doubled, up to the budget, by one that ended with the word changed. A yield that
// did not bring the change is left out of the following spells until a short probing spell
// finds that it helps again: a scheduler may send a thread that yields to the back of the line
// for a whole slice, so a useless yield only makes it late.
#pragma once

#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace spinning {

// The default budget: long enough to cover the gaps inside a burst of handles and a holder that
// is briefly descheduled; short enough that a consumer waiting for the next camera frame (4 to
// 33 ms away) wastes well under one percent of a CPU before it sleeps.
inline constexpr int64_t kDefaultNs = 20000;

// How many waiters of one word may spin at once: one fewer than the CPUs online, and at least
// one. Spinning pays while the one who will change the word runs meanwhile; when a writer
// feeds many consumers (a frame fanned out to 16 sessions on 2 cores), each spinner keeps a
// core from the writer, so the waiters beyond this count sleep at once.
inline int32_t spinners_allowed() noexcept {
    // Constant-initialised, so no guard (and no C++ runtime) is needed: 0 until first asked;
    // two threads asking at once both store the same value.
    static std::atomic<int32_t> allowed{0};
    int32_t n = allowed.load(std::memory_order_relaxed);
    if (n == 0) {
        const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        n = cpus > 2 ? static_cast<int32_t>(std::min<long>(cpus - 1, INT32_MAX)) : 1;
        allowed.store(n, std::memory_order_relaxed);
    }
    return n;
}

// Tells the CPU that this thread is waiting on memory another CPU will change: it saves power
// and leaves the core's resources to its sibling thread.
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

// A thread's credit for one kind of spell (negative until first used), and how many spells
// it began without credit.
struct SpinCredit {
    int64_t ns = -1;
    uint32_t spells = 0;
    bool yield_pays = true;  // the last yield was followed by the change waited for
};

// One spell of spinning: the caller looks at its word, and while the word says "not yet"
// asks again(); true means look again, false means the spell is over: sleep.
class Spin {
  public:
    Spin(SpinCredit &credit, int64_t budget_ns) noexcept : credit_(credit), budget_(budget_ns) {
        if (credit_.ns < 0 || credit_.ns > budget_) credit_.ns = budget_;
        limit_ = credit_.ns;
        // A thread that has given up spinning still tries a short spell now and then, to
        // find out when spinning pays again.
        probing_ = limit_ == 0 && ++credit_.spells % kProbeEvery == 0;
        if (probing_) limit_ = std::min(budget_, kFloorNs);
    }
    ~Spin() {
        if (looks_ == 0) return;
        if (yielded_) credit_.yield_pays = !done_;
        if (ran_out_) {
            credit_.ns = credit_.ns / 2 < kFloorNs ? 0 : credit_.ns / 2;
        } else {
            credit_.ns = std::min(budget_, std::max(kFloorNs, credit_.ns * 2));
        }
    }
    Spin(const Spin &) = delete;
    Spin &operator=(const Spin &) = delete;

    bool again() noexcept {
        if (done_) return false;
        if (limit_ > 0 && !ran_out_) {
            // Looks spaced out a little more each time: every look pulls the watched line
            // away from the process that is about to write it.
            for (uint32_t i = 0; i < pauses_; ++i)
                cpu_relax();
            if (pauses_ < kMaxPauses) pauses_ *= 2;
            ++looks_;
            // The clock is read once per few looks: a look costs less than a clock read.
            if (looks_ % kLooksPerClockRead != 0) return true;
            timespec t{};
            clock_gettime(CLOCK_MONOTONIC, &t);  // a vDSO call, not a system call
            const int64_t now = int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
            if (start_ == 0) start_ = now;
            if (now - start_ < limit_) return true;
        }
        if (!ran_out_ && budget_ > 0) {
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
    // The shortest spell worth trying, and how often a thread that gave up spinning tries it.
    static constexpr int64_t kFloorNs = 1000;
    static constexpr uint32_t kProbeEvery = 8;

    SpinCredit &credit_;
    int64_t budget_;
    int64_t limit_;
    int64_t start_ = 0;
    uint32_t looks_ = 0;
    uint32_t pauses_ = 1;
    bool probing_ = false;
    bool ran_out_ = false;
    bool yielded_ = false;
    bool done_ = false;
};

}  // namespace spinning
