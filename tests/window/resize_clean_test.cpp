// Window upkeep of dynamic queues: resize shrinks the window from its oldest end and hands the
// dropped handles back in an array, grows it backwards from wr, and clean empties the window
// while keeping its size. Run on both families.
#include <cstdlib>
#include <optional>

#include "common/engine_fixture.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_watchdog(50);

constexpr int32_t kUntouched = 12345;  // a count the call must not overwrite
constexpr int32_t kClean = -100;       // a call that cleans rather than resizes

using Handles = std::vector<uint64_t>;

// One resize (to the window given) or clean, and what it must give and leave.
struct Call {
    int32_t resize;  // the new window, or kClean
    std::optional<Handles> array;
    int32_t count;  // kUntouched: not written
    int32_t tail, wr, window;
};

class WindowUpkeep : public EngineTest {
  protected:
    // A dynamic queue of 10 nodes and window 4 (11 nodes, tail 7), optionally with the six
    // writes of handles 1 to 6 that leave wr 5, tail 2 and handles 3, 4, 5, 6 in the window.
    int32_t ten_four(bool six_writes) {
        const int32_t q = dyn(10, 4);
        if (q < 0 || !six_writes) return q;
        for (uint64_t h = 1; h <= 6; ++h)
            EXPECT_EQ(write(q, h, static_cast<int64_t>(100 * h)), h <= 4 ? kNone : h - 4);
        return q;
    }

    void expect_call(int32_t q, const Call &c) {
        int32_t count = kUntouched;
        uint64_t *array =
            c.resize == kClean ? f().clean(q, &count) : f().resize(q, c.resize, &count);
        std::optional<Handles> got;
        if (array != nullptr) got = Handles(array, array + count);
        std::free(array);
        EXPECT_EQ(got, c.array);
        EXPECT_EQ(count, c.count);
        const QueueStatus st = status(q);
        const int32_t n = f().node_num(q);
        EXPECT_EQ(st.tail, c.tail);
        EXPECT_EQ(st.wr, c.wr);
        EXPECT_EQ((st.wr + n - st.tail + 1) % n, c.window) << "window";
    }
};

TEST_P(WindowUpkeep, SingleCallsOnTheTenFourQueue) {
    const Handles all_ones4 = {kNone, kNone, kNone, kNone};
    const struct {
        const char *name;
        bool six_writes;
        Call call;
    } cases[] = {
        {"resize to node_num is refused", true, {11, std::nullopt, kUntouched, 2, 5, 4}},
        {"resize to node_num - 1 grows", true, {10, std::nullopt, 0, 7, 5, 10}},
        {"resize to the current window", true, {4, std::nullopt, 0, 2, 5, 4}},
        {"resize to 0 empties the window", true, {0, Handles{3, 4, 5, 6}, 4, 6, 5, 0}},
        {"negative window is refused", true, {-1, std::nullopt, kUntouched, 2, 5, 4}},
        {"negative window, fresh queue", false, {-3, std::nullopt, kUntouched, 7, -1, 4}},
        {"clean after six writes", true, {kClean, Handles{3, 4, 5, 6}, 4, 2, 5, 4}},
        {"clean on a fresh queue", false, {kClean, all_ones4, 4, 7, -1, 4}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const int32_t q = ten_four(c.six_writes);
        ASSERT_GE(q, 0);
        EXPECT_EQ(f().node_num(q), 11);
        expect_call(q, c.call);
        EXPECT_EQ(f().node_num(q), 11);
        f().free_queue(q);
    }
}

// The worked sequence: shrink to 1, grow to 3 (the regained nodes are empty), clean twice,
// then a write evicts an emptied node and hands back no buffer.
TEST_P(WindowUpkeep, ShrinkGrowCleanAndWriteOn) {
    const int32_t q = ten_four(true);
    ASSERT_GE(q, 0);
    expect_call(q, {1, Handles{3, 4, 5}, 3, 5, 5, 1});
    expect_call(q, {3, std::nullopt, 0, 3, 5, 3});
    expect_call(q, {kClean, Handles{kNone, kNone, 6}, 3, 3, 5, 3});
    expect_call(q, {kClean, Handles{kNone, kNone, kNone}, 3, 3, 5, 3});
    EXPECT_EQ(write(q, 7, 700), kNone);
    // The window now ends in the new node: a clean returns two emptied nodes and handle 7.
    expect_call(q, {kClean, Handles{kNone, kNone, 7}, 3, 4, 6, 3});
}

// The window keeps its size across wrap-around, and a grown window takes back nodes whose
// handles were not given back (writes without a give-back pointer leave them in place).
TEST_P(WindowUpkeep, GrowRegainsNodesLeftInPlaceAcrossTheWrap) {
    const int32_t q = dyn(4, 2);  // 5 nodes, tail 3
    ASSERT_GE(q, 0);
    for (uint64_t h = 1; h <= 7; ++h)
        ASSERT_EQ(f().write(q, h, nullptr, 0), 0);
    ASSERT_EQ(status(q).tail, 0);  // handle 7 at node 1, handle 6 at node 0
    expect_call(q, {4, std::nullopt, 0, 3, 1, 4});
    expect_call(q, {kClean, Handles{4, 5, 6, 7}, 4, 3, 1, 4});
}

TEST_P(WindowUpkeep, PlainQueueIsLeftAlone) {
    const int32_t q = alloc(8 * 32);
    ASSERT_GE(q, 0);
    for (uint64_t h = 1; h <= 3; ++h)
        write(q, h);
    const QueueStatus before = status(q);
    int32_t count = kUntouched;
    EXPECT_EQ(f().resize(q, 1, &count), nullptr);
    EXPECT_EQ(f().resize(q, 0, &count), nullptr);
    EXPECT_EQ(count, kUntouched);
    EXPECT_EQ(f().clean(q, &count), nullptr);
    EXPECT_EQ(count, 0);
    const QueueStatus after = status(q);
    EXPECT_EQ(after.wr, before.wr);
    EXPECT_EQ(after.tail, before.tail);
    // Nothing was emptied: the main reader still finds the three handles.
    for (uint64_t h = 1; h <= 3; ++h)
        EXPECT_EQ(read(q), h);
}

BRENN_BOTH_FAMILIES(WindowUpkeep);

}  // namespace
}  // namespace brenn_test
