#include "bench/fanout/runs.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <new>
#include <thread>
#include <vector>

#include "bench/fanout/meter.h"

namespace fanout {

namespace {

// Values the producer writes after the last handle of a lossy run: markers (the count and up)
// keep overtaken sessions moving until they have seen the end, then kStop lets the main
// reader go.
constexpr uint64_t kStop = UINT64_MAX - 1;

// Where consumers, processes or threads, report back: anonymous shared memory.
struct Board {
    std::atomic<int> ready;
    std::atomic<int> done;
    struct Consumer {
        int64_t finish_ns;
        uint64_t delivered;
        uint64_t switches;
        int64_t futex_calls;
        int ok;
    } consumer[kMaxConsumers];
};

Board *new_board() {
    void *m =
        mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return m == MAP_FAILED ? nullptr : new (m) Board{};
}

std::atomic<int64_t> g_deadline_ns{0};
std::atomic<pid_t> g_children[kMaxConsumers];

// The consumers of one run, as forked processes or as threads.
class Crew {
  public:
    Crew(bool processes, int count, const std::function<void(int)> &body) : processes_(processes) {
        for (int c = 0; c < count; ++c) {
            if (!processes_) {
                threads_.emplace_back(body, c);
                continue;
            }
            const pid_t pid = fork();
            if (pid == 0) {
                body(c);
                _exit(0);
            }
            pids_.push_back(pid);
            if (pid > 0) g_children[c].store(pid);
        }
    }
    // True when every consumer ended normally.
    bool join() {
        bool ok = true;
        for (std::thread &t : threads_)
            t.join();
        for (size_t c = 0; c < pids_.size(); ++c) {
            int status = 0;
            ok = ok && pids_[c] > 0 && waitpid(pids_[c], &status, 0) == pids_[c] &&
                 WIFEXITED(status) && WEXITSTATUS(status) == 0;
            g_children[c].store(0);
        }
        return ok;
    }

  private:
    bool processes_;
    std::vector<std::thread> threads_;
    std::vector<pid_t> pids_;
};

void arm_watchdog(int64_t seconds) {
    g_deadline_ns.store(seconds == 0 ? 0 : now_ns() + seconds * 1000000000);
}

void consume(const Mechanism &m, Board &b, int c, uint64_t n) {
    Meter meter;
    b.ready.fetch_add(1);
    Board::Consumer &me = b.consumer[c];
    uint64_t delivered = 0;
    uint64_t last = 0;
    bool seen = false, finished = false, ordered = true;
    for (;;) {
        const uint64_t v = m.take(0, c);
        if (v == UINT64_MAX) continue;  // a refused peek hands out no handle
        if (v < n) {
            ++delivered;
            ordered = ordered && (!seen || v > last);
            last = v;
            seen = true;
        }
        if (!finished && v >= n - 1) {
            me.finish_ns = now_ns();
            meter.stop(&me.switches, &me.futex_calls);
            me.delivered = delivered;
            finished = true;
            b.done.fetch_add(1);
            if (!m.lossy || c != 0) break;
        }
        if (finished && v == kStop) break;
    }
    // The main reader of a lossy run misses nothing either.
    me.ok = ordered && (c != 0 || delivered == n) && (m.lossy || delivered == n);
}

uint64_t percentile(std::vector<int64_t> &v, double p) {
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(i), v.end());
    return static_cast<uint64_t>(v[i]);
}

}  // namespace

void start_watchdog(int seconds) {
    std::thread([seconds] {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const int64_t deadline = g_deadline_ns.load();
            if (deadline == 0 || now_ns() < deadline) continue;
            std::fprintf(stderr, "fanout: a run is still going after %d s, giving up\n", seconds);
            for (auto &child : g_children) {
                if (const pid_t pid = child.load(); pid > 0) kill(pid, SIGKILL);
            }
            std::_Exit(2);
        }
    }).detach();
}

FanOut run_fan_out(const Mechanism &m, int k, uint64_t n) {
    FanOut r;
    Board *b = new_board();
    if (b == nullptr || n == 0) return r;
    if (!m.setup(1, k)) {
        m.teardown();
        munmap(b, sizeof(Board));
        return r;
    }
    arm_watchdog(300);
    Crew crew(m.processes, k, [&m, b, n](int c) { consume(m, *b, c, n); });
    while (b->ready.load() < k)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    // A consumer counts itself ready just before its first take; give it the moment to get
    // there so that the clock does not start while it is still on its way.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    Meter meter;
    const int64_t start = now_ns();
    for (uint64_t v = 0; v < n; ++v)
        m.put(0, v);
    if (m.lossy) {
        for (uint64_t v = n; b->done.load(std::memory_order_relaxed) < k; ++v)
            m.put(0, v);
        m.put(0, kStop);
    }
    uint64_t switches = 0;
    int64_t futex_calls = 0;
    meter.stop(&switches, &futex_calls);
    const bool joined = crew.join();
    arm_watchdog(0);

    r.ok = joined;
    int64_t finish = start;
    r.switches = switches;
    r.futex_calls = futex_calls;
    for (int c = 0; c < k; ++c) {
        const Board::Consumer &one = b->consumer[c];
        r.ok = r.ok && one.ok != 0;
        finish = std::max(finish, one.finish_ns);
        r.delivered += one.delivered;
        r.skipped += n - one.delivered;
        r.switches += one.switches;
        r.futex_calls =
            (r.futex_calls < 0 || one.futex_calls < 0) ? -1 : r.futex_calls + one.futex_calls;
    }
    r.seconds = static_cast<double>(finish - start) / 1e9;
    m.teardown();
    munmap(b, sizeof(Board));
    return r;
}

FanOut run_fan_out_fresh(const Mechanism &m, int consumers, uint64_t handles) {
    void *place =
        mmap(nullptr, sizeof(FanOut), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (place == MAP_FAILED) return FanOut{};
    auto *out = new (place) FanOut{};
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        start_watchdog(300);
        *out = run_fan_out(m, consumers, handles);
        std::fflush(nullptr);
        _exit(0);
    }
    FanOut r;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
        WEXITSTATUS(status) == 0) {
        r = *out;
    }
    munmap(place, sizeof(FanOut));
    return r;
}

RoundTrip run_round_trip(const Mechanism &m, uint64_t trips) {
    RoundTrip r;
    Board *b = new_board();
    if (b == nullptr || trips == 0) return r;
    if (!m.setup(2, 1)) {
        m.teardown();
        munmap(b, sizeof(Board));
        return r;
    }
    const uint64_t warm_up = std::min<uint64_t>(1000, trips);
    const uint64_t total = warm_up + trips;
    arm_watchdog(300);
    Crew echo(m.processes, 1, [&m, b, total](int) {
        Meter meter;
        b->ready.fetch_add(1);
        bool ordered = true;
        for (uint64_t i = 0; i < total; ++i) {
            const uint64_t v = m.take(0, 0);
            ordered = ordered && v == i;
            m.put(1, v);
        }
        meter.stop(&b->consumer[0].switches, &b->consumer[0].futex_calls);
        b->consumer[0].ok = ordered ? 1 : 0;
    });
    while (b->ready.load() < 1)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    std::vector<int64_t> took;
    took.reserve(trips);
    bool ordered = true;
    Meter meter;
    for (uint64_t i = 0; i < total; ++i) {
        const int64_t t0 = now_ns();
        m.put(0, i);
        ordered = ordered && m.take(1, 0) == i;
        if (i >= warm_up) took.push_back(now_ns() - t0);
    }
    uint64_t switches = 0;
    int64_t futex_calls = 0;
    meter.stop(&switches, &futex_calls);
    r.ok = echo.join() && ordered && b->consumer[0].ok != 0;
    arm_watchdog(0);
    r.p50_us = static_cast<double>(percentile(took, 0.50)) / 1e3;
    r.p99_us = static_cast<double>(percentile(took, 0.99)) / 1e3;
    // The counts include the warm-up trips.
    const auto per = [total](double x) { return x / static_cast<double>(total); };
    r.switches_per_trip = per(static_cast<double>(switches + b->consumer[0].switches));
    if (futex_calls >= 0 && b->consumer[0].futex_calls >= 0) {
        r.futex_per_trip = per(static_cast<double>(futex_calls + b->consumer[0].futex_calls));
    }
    m.teardown();
    munmap(b, sizeof(Board));
    return r;
}

}  // namespace fanout
