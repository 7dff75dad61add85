// Threads on one queue, over both families: sixteen peek sessions following one writer, and
// several blocking writers with one main reader accounting for every handle.
#include <algorithm>
#include <atomic>

#include "common/family.h"

using namespace brenn_test;

[[maybe_unused]] static const bool kWatchdog = arm_watchdog(90);

template <class F>
class Threads : public FamilyTest<F> {};
TYPED_TEST_SUITE(Threads, Families, FamilyName);

// Each session's numbers rise, its gap flag is set exactly when numbers were skipped (never
// while its last number is below 1), each handle belongs to its number (the program's first
// queue of either family: handle i gets number i), and live_count counts the takes.
TYPED_TEST(Threads, SixteenPeekersFollowOneWriter) {
    using F = TypeParam;
    constexpr int kPeekers = 16, kWrites = 1500;
    const int32_t q = this->alloc(16, kPeekers);
    std::atomic<int> finished{0};
    std::vector<uint64_t> faults(kPeekers), takes(kPeekers);
    std::vector<Blocked> threads;
    for (int32_t s = 0; s < kPeekers; ++s) {
        ASSERT_EQ(F::create_session(q), s);
        threads.push_back(start([&, s] {
            for (int64_t last = -1, seq; last < kWrites; last = seq, ++takes[s]) {
                uint64_t h = 0;
                int32_t gap = -1;
                F::peek(q, s, &h, &gap);
                seq = F::cur_seq(q, s);
                faults[s] +=
                    seq <= last || h != uint64_t(seq) || gap != (last >= 1 && seq != last + 1);
            }
            finished.fetch_add(1);
        }));
    }
    threads.push_back(start([&] {
        for (uint64_t h = 0, back; h <= kWrites || finished.load() < kPeekers; ++h)
            F::write(q, h, &back, 0);
    }));
    for (Blocked &t : threads)
        t.finish("peekers and writer", 40s);
    EXPECT_EQ(faults, std::vector<uint64_t>(kPeekers));
    for (int32_t s = 0; s < kPeekers; ++s)
        EXPECT_EQ(F::live_count(q, s), takes[s]);
}

// Every handle leaves the ring once, handed back to the write that covers its node, or is still
// in the ring at the end; the main reader takes each at most once.
TYPED_TEST(Threads, WritersAndOneReaderAccountForEveryHandle) {
    using F = TypeParam;
    constexpr int kWriters = 4, kNodes = 8;
    constexpr uint64_t kEach = 600, kStop = UINT64_MAX - 1;
    const int32_t q = this->alloc(kNodes, 8, /*reserve=*/1, /*no_block=*/0);
    std::vector<std::vector<uint64_t>> backs(kWriters + 1);
    std::vector<uint64_t> read, written, out;
    std::atomic<bool> done{false};
    Blocked reader = start([&] {
        for (uint64_t h = 0; F::read(q, &h) == 0 && h != kStop;)
            read.push_back(h);
        done = true;
    });
    std::vector<Blocked> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.push_back(start([&, w] {
            for (uint64_t i = 0; i < kEach; ++i)
                F::write(q, uint64_t(w) << 20 | i, &backs[w].emplace_back(), 0);
        }));
    for (Blocked &w : writers)
        w.finish("the writers", 30s);
    for (int i = 0; i < 5000 && !done; ++i) {
        F::write(q, kStop, &backs[kWriters].emplace_back(), 0);
        std::this_thread::sleep_for(2ms);
    }
    reader.finish("the reader");
    for (const auto &list : backs)
        out.insert(out.end(), list.begin(), list.end());
    for (int32_t b = 0; b < kNodes; ++b)
        F::look(q, b, &out.emplace_back());
    std::erase_if(out, [](uint64_t h) { return h == kNone || h == kStop; });
    for (uint64_t w = 0, i = 0; w < kWriters; i = (i + 1) % kEach, w += i == 0)
        written.push_back(w << 20 | i);
    std::sort(out.begin(), out.end()), std::sort(read.begin(), read.end());
    EXPECT_EQ(out, written) << "handles lost, doubled or invented";
    EXPECT_FALSE(read.empty());
    EXPECT_EQ(std::adjacent_find(read.begin(), read.end()), read.end()) << "a handle read twice";
    EXPECT_TRUE(std::includes(written.begin(), written.end(), read.begin(), read.end()));
}
