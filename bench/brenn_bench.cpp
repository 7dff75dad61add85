// Uncontended costs: one write followed by one read (or one peek) on a queue that no other
// thread touches, in each family, and the support library's lock pair under a shared queue.
// The shared system is brought up before the benchmarks and removed after them.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "include/brenn.hpp"
#include "shared/segment.h"
#include "support/olk.h"

namespace {

// The main reader: a plain queue of 64 nodes that never blocks its writer; every iteration
// writes one handle and reads it again.
constexpr uint32_t kQueueBytes = 64 * BRENN_NODE_SIZE;

// F: the family's C functions, as brenn.hpp names them.
template <class F>
void write_read(benchmark::State &state) {
    const int32_t q = F::alloc_queue(kQueueBytes, 1, 0, 1, 1);
    if (q < 0) {
        state.SkipWithError("allocation failed");
        return;
    }
    uint64_t next = 0, back = 0, got = 0;
    for (auto _ : state) {
        F::write(q, next++, &back, 0);
        F::read(q, &got);
        benchmark::DoNotOptimize(got);
    }
    F::free_queue(q);
    if (got != next - 1) state.SkipWithError("the read did not return the handle written");
}

// A session: a dynamic queue of 64 nodes with a window of 32 (a session on a plain queue
// loses its place whenever it sits on the slot's tail index), sharable, so every write hands
// a handle back and every peek leaves the handle in place.
template <class F>
void write_peek(benchmark::State &state) {
    const int32_t q = F::dynamic_alloc(63, 32, 1, 0, 1, 1);
    const int32_t s = q >= 0 ? F::create_session(q) : -1;
    if (s < 0) {
        state.SkipWithError("allocation failed");
        return;
    }
    uint64_t next = 0, back = 0, got = 0;
    int32_t gap = 0;
    for (auto _ : state) {
        F::write(q, next++, &back, 0);
        F::peek(q, s, &got, &gap);
        benchmark::DoNotOptimize(got);
    }
    F::destroy_session(q, s);
    F::free_queue(q);
    if (got != next - 1 || gap != 0) state.SkipWithError("the peek did not follow the writer");
}

// The lock of a shared queue alone: semaphore 124 of the first set, which no benchmark queue
// uses (queues take the lowest free slots).
void lock_unlock(benchmark::State &state) {
    const int32_t set =
        vos_get_semaphore(brenn::shared::kFirstSetKey, brenn::shared::kSemaphoresPerSet);
    if (set < 0) {
        state.SkipWithError("no semaphore set");
        return;
    }
    for (auto _ : state) {
        vos_lock(set, 124);
        vos_unlock(set, 124);
    }
}

BENCHMARK(write_read<brenn::LocalFamily>)->Name("write_read/local");
BENCHMARK(write_read<brenn::SharedFamily>)->Name("write_read/shared");
BENCHMARK(write_peek<brenn::LocalFamily>)->Name("write_peek/local");
BENCHMARK(write_peek<brenn::SharedFamily>)->Name("write_peek/shared");
BENCHMARK(lock_unlock);

}  // namespace

int main(int argc, char **argv) {
    setenv("OLK_LOG_QUIET", "1", 0);  // each local free logs a line; not here
    benchmark::Initialize(&argc, argv);
    // A queue that stops waking its peeker would hold the run for ever: give up instead (the
    // shared system then stays up; remove it with ipcrm as below).
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::minutes(5));
        std::fprintf(stderr, "brenn_bench: still running after 5 minutes, giving up\n");
        std::_Exit(2);
    }).detach();
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // The shared system lives on fixed keys: a system that is up belongs to someone else (a
    // test run, another program), and is left alone.
    const int32_t rc = gsq_c_create();
    if (rc != 0) {
        std::fprintf(stderr,
                     "brenn_bench: gsq_c_create = %d: a shared system is up already; stop what "
                     "uses it, or remove keys %#x..%#x with ipcrm\n",
                     rc, brenn::shared::kSegmentKey,
                     brenn::shared::kFirstSetKey + brenn::shared::kSetCount - 1);
        gsq_c_destroy();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return gsq_c_destroy() == 0 ? 0 : 1;
}
