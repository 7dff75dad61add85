// Threads on one queue, over both families (shared queues through threads of this process):
// many peek sessions following one writer, a reader woken by a write, and several writers
// with one reader accounting for every handle.
#include <algorithm>
#include <atomic>

#include "common/engine_fixture.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_watchdog(100);

class Concurrency : public EngineTest {};

TEST_P(Concurrency, SixteenPeekersFollowOneWriter) {
    constexpr int kPeekers = 16;
    constexpr uint64_t kBase = 1000;
    constexpr int kWrites = 1500;  // then the writer goes on until every peeker has finished
    const int32_t q = alloc(16 * 32, kPeekers + 1);
    ASSERT_GE(q, 0);
    write(q, kBase);
    const int64_t first_seq = newest_seq(q);
    int32_t sessions[kPeekers];
    for (int32_t &s : sessions)
        ASSERT_GE(s = f().create_session(q), 0);

    std::atomic<int> finished{0};
    std::vector<std::string> faults(kPeekers);  // the first of each peeker
    std::vector<uint64_t> taken(kPeekers, 0);
    std::vector<Blocked> threads;
    for (int k = 0; k < kPeekers; ++k) {
        threads.push_back(start([&, k] {
            const int32_t s = sessions[k];
            for (int64_t last = f().cur_seq(q, s);; ++taken[k]) {
                Peeked p;
                f().peek(q, s, &p.obj, &p.gap);
                const int64_t seq = f().cur_seq(q, s);
                // A gap is told when seq skips, except after seq 0.
                const Peeked want{kBase + static_cast<uint64_t>(seq - first_seq),
                                  (last < 1 || last + 1 == seq) ? 0 : 1};
                if (faults[k].empty() && (seq <= last || !(p == want))) {
                    faults[k] = "session " + std::to_string(s) + " seq " + std::to_string(last) +
                                " -> " + std::to_string(seq) + ": handle " + std::to_string(p.obj) +
                                " gap " + std::to_string(p.gap);
                }
                last = seq;
                if (p.obj >= kBase + kWrites || p.obj == kNone) break;
            }
            ++taken[k];
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
    for (Blocked &t : threads)
        require_finish(t, "peekers and writer", 40s);
    EXPECT_EQ(faults, std::vector<std::string>(kPeekers));
    for (int k = 0; k < kPeekers; ++k)
        EXPECT_EQ(f().live_count(q, sessions[k]), taken[k]);
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
    for (Blocked &w : writers)
        require_finish(w, "the writers", 30s);
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!reader_done && std::chrono::steady_clock::now() < end) {
        backs[kWriters].push_back(write(q, kStop));
        std::this_thread::sleep_for(2ms);
    }
    require_finish(reader, "the reader");

    std::vector<uint64_t> out, all;  // handles that left the ring or are still in it
    for (const auto &list : backs)
        out.insert(out.end(), list.begin(), list.end());
    for (int32_t b = 0; b < kNodes; ++b) {
        ASSERT_EQ(f().look(q, b, &out.emplace_back()), 0);
    }
    std::erase_if(out, [](uint64_t h) { return h == kNone || h == kStop; });
    for (int w = 0; w < kWriters; ++w) {
        for (uint64_t i = 0; i < kPerWriter; ++i)
            all.push_back(handle(w, i));
    }
    std::sort(out.begin(), out.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(out, all) << "handles lost, doubled or invented";
    std::sort(read_handles.begin(), read_handles.end());
    EXPECT_FALSE(read_handles.empty());
    EXPECT_EQ(std::adjacent_find(read_handles.begin(), read_handles.end()), read_handles.end())
        << "a handle read twice";
    EXPECT_TRUE(std::includes(all.begin(), all.end(), read_handles.begin(), read_handles.end()))
        << "a handle read that was never written";
}

BRENN_BOTH_FAMILIES(Concurrency);

}  // namespace
}  // namespace brenn_test
