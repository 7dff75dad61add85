// Threads on one queue, over both families (shared queues through threads of this process):
// many peek sessions following one writer, a reader woken by a write, and several writers
// with one reader accounting for every handle.
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

#include "common/engine_fixture.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_engine_watchdog(100);

class Concurrency : public EngineTest {
  protected:
    // Waits for every thread within one deadline; a thread that never returns ends the program.
    static void join_all(std::vector<Blocked> &threads, const char *what,
                         std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (Blocked &t : threads) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            require_finish(t, what, std::max(left, 1ms));
        }
    }
};

TEST_P(Concurrency, SixteenPeekersFollowOneWriter) {
    constexpr int kPeekers = 16;
    constexpr uint64_t kBase = 1000;
    constexpr int kWrites = 1500;  // then the writer goes on until every peeker has finished
    const int32_t q = alloc(16 * 32, kPeekers + 1);
    ASSERT_GE(q, 0);
    write(q, kBase);
    const int64_t first_seq = newest_seq(q);
    int32_t sessions[kPeekers];
    for (int32_t &s : sessions) {
        s = f().create_session(q);
        ASSERT_GE(s, 0);
    }

    std::atomic<int> finished{0};
    std::mutex fault_mutex;
    std::vector<std::string> faults;
    auto fault = [&](std::string text) {
        std::lock_guard<std::mutex> hold(fault_mutex);
        if (faults.size() < 20) faults.push_back(std::move(text));
    };
    std::vector<uint64_t> taken(kPeekers, 0);
    std::vector<Blocked> threads;
    for (int k = 0; k < kPeekers; ++k) {
        threads.push_back(start([&, k] {
            const int32_t s = sessions[k];
            int64_t last = f().cur_seq(q, s);
            for (;;) {
                uint64_t obj = 0;
                int32_t gap = -7;
                f().peek(q, s, &obj, &gap);
                const int64_t seq = f().cur_seq(q, s);
                const std::string where = "session " + std::to_string(s) + " seq " +
                                          std::to_string(last) + " -> " + std::to_string(seq);
                if (seq <= last) fault(where + ": not increasing");
                const int32_t expect_gap = (last < 1 || last + 1 == seq) ? 0 : 1;
                if (gap != expect_gap) fault(where + ": gap " + std::to_string(gap));
                if (obj != kBase + static_cast<uint64_t>(seq - first_seq)) {
                    fault(where + ": handle " + std::to_string(obj));
                }
                last = seq;
                ++taken[k];
                if (obj >= kBase + kWrites || obj == kNone) break;
            }
            finished.fetch_add(1);
        }));
    }
    threads.push_back(start([&] {
        const auto end = std::chrono::steady_clock::now() + 30s;
        for (uint64_t i = 1; i <= kWrites || finished.load() < kPeekers; ++i) {
            write(q, kBase + i);
            if (i % 64 == 0) std::this_thread::yield();
            if (std::chrono::steady_clock::now() > end) break;
        }
    }));
    join_all(threads, "peekers and writer", 40000ms);
    for (const std::string &text : faults)
        ADD_FAILURE() << text;
    for (int k = 0; k < kPeekers; ++k) {
        EXPECT_EQ(f().live_count(q, sessions[k]), taken[k]);
        EXPECT_GE(taken[k], 1u);
    }
}

TEST_P(Concurrency, BlockedReaderIsWokenByAWrite) {
    const int32_t q = alloc(4 * 32, 8, 1, 0);
    ASSERT_GE(q, 0);
    for (uint64_t h : {0x100u, 0x101u}) {
        uint64_t got = 0;
        Blocked reader = start([&] { got = read(q); });
        EXPECT_TRUE(reader.still_blocked(200ms)) << "nothing to read yet";
        write(q, h);
        require_finish(reader, "a read after a write");
        EXPECT_EQ(got, h);
    }
}

TEST_P(Concurrency, WritersAndOneReaderAccountForEveryHandle) {
    constexpr int kWriters = 4;
    constexpr uint64_t kPerWriter = 600;
    constexpr uint64_t kStop = 0xffff0000;
    constexpr int32_t kNodes = 8;
    const int32_t q = alloc(kNodes * 32, 8, /*reserve=*/1, /*no_block=*/0);
    ASSERT_GE(q, 0);
    auto handle = [](int w, uint64_t i) { return (static_cast<uint64_t>(w) << 20) | i; };

    // Every handle leaves the ring once, handed back to the write that overwrites its node,
    // or is still in the ring at the end. The reader takes each at most once.
    std::vector<std::vector<uint64_t>> backs(kWriters + 1);
    std::vector<uint64_t> read_handles;
    std::atomic<bool> reader_done{false};
    std::vector<Blocked> writers;
    Blocked reader = start([&] {
        for (;;) {
            const uint64_t h = read(q);
            if (h == kStop) break;
            read_handles.push_back(h);
        }
        reader_done = true;
    });
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(start([&, w] {
            for (uint64_t i = 0; i < kPerWriter; ++i)
                backs[w].push_back(write(q, handle(w, i)));
        }));
    }
    join_all(writers, "writers", 30000ms);
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!reader_done && std::chrono::steady_clock::now() < end) {
        backs[kWriters].push_back(write(q, kStop));
        std::this_thread::sleep_for(2ms);
    }
    require_finish(reader, "the reader");

    std::map<uint64_t, int> seen;
    for (const auto &list : backs) {
        for (uint64_t h : list)
            ++seen[h];
    }
    for (int32_t b = 0; b < kNodes; ++b) {
        uint64_t h = 0;
        ASSERT_EQ(f().look(q, b, &h), 0);
        ++seen[h];
    }
    seen.erase(kNone);
    seen.erase(kStop);
    EXPECT_EQ(seen.size(), kWriters * kPerWriter) << "handles lost or invented";
    for (const auto &[h, n] : seen)
        EXPECT_EQ(n, 1) << "handle " << std::hex << h;

    std::map<uint64_t, int> reads;
    for (uint64_t h : read_handles) {
        EXPECT_LT(h & 0xfffff, kPerWriter);
        EXPECT_LT(h >> 20, static_cast<uint64_t>(kWriters));
        ++reads[h];
    }
    for (const auto &[h, n] : reads)
        EXPECT_EQ(n, 1) << "read twice: " << std::hex << h;
    EXPECT_FALSE(read_handles.empty());
}

BRENN_BOTH_FAMILIES(Concurrency);

}  // namespace
}  // namespace brenn_test
