// Window upkeep of dynamic queues: resize shrinks the window from its oldest end and hands the
// dropped handles back in an array, grows it backwards from wr, and clean empties the window
// while keeping its size. Run on both families.
#include <cstdlib>
#include <optional>
#include <vector>

#include "common/families.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool watchdog_armed = (arm_watchdog(50), true);

constexpr uint64_t kNone = BRENN_NO_HANDLE;
constexpr int32_t kUntouched = 12345;  // a count the call must not overwrite

using Handles = std::vector<uint64_t>;

// Takes an array from resize or clean: its entries, freed again; nullopt for a null result.
std::optional<Handles> take(uint64_t *array, int32_t count) {
    if (array == nullptr) return std::nullopt;
    Handles h(array, array + count);
    std::free(array);
    return h;
}

int32_t window_of(const QueueStatus &s, int32_t n) {
    return (s.wr + n - s.tail + 1) % n;
}

class WindowUpkeep : public FamilyTest {
  protected:
    QueueStatus status(int32_t q) {
        QueueStatus s{};
        EXPECT_EQ(f().queue_status(q, &s), 0);
        return s;
    }
    // A dynamic queue of 10 nodes and window 4 (11 nodes, tail 7), optionally with the six
    // writes of handles 1 to 6 that leave wr 5, tail 2 and handles 3, 4, 5, 6 in the window.
    int32_t queue(bool six_writes) {
        const int32_t q = dyn(10, 4);
        EXPECT_GE(q, 0);
        if (q < 0 || !six_writes) return q;
        const Handles expected_back = {kNone, kNone, kNone, kNone, 1, 2};
        for (uint64_t h = 1; h <= 6; ++h) {
            uint64_t back = 0;
            EXPECT_EQ(f().write(q, h, &back, static_cast<int64_t>(100 * h)), 0);
            EXPECT_EQ(back, expected_back[h - 1]) << "write of handle " << h;
        }
        const QueueStatus s = status(q);
        EXPECT_EQ(s.wr, 5);
        EXPECT_EQ(s.tail, 2);
        return q;
    }
};

struct UpkeepCase {
    const char *name;
    bool six_writes;
    bool clean;          // clean, else resize to new_window
    int32_t new_window;  // for resize
    std::optional<Handles> array;
    int32_t count;  // kUntouched: not written
    int32_t tail, wr, window;
};

TEST_P(WindowUpkeep, SingleCallsOnTheTenFourQueue) {
    const Handles all_ones4 = {kNone, kNone, kNone, kNone};
    const UpkeepCase cases[] = {
        {"resize to node_num is refused", true, false, 11, std::nullopt, kUntouched, 2, 5, 4},
        {"resize to node_num - 1 grows", true, false, 10, std::nullopt, 0, 7, 5, 10},
        {"resize to the current window", true, false, 4, std::nullopt, 0, 2, 5, 4},
        {"resize to 0 empties the window", true, false, 0, Handles{3, 4, 5, 6}, 4, 6, 5, 0},
        {"negative window is refused", true, false, -1, std::nullopt, kUntouched, 2, 5, 4},
        {"negative window, fresh queue", false, false, -3, std::nullopt, kUntouched, 7, -1, 4},
        {"clean after six writes", true, true, 0, Handles{3, 4, 5, 6}, 4, 2, 5, 4},
        {"clean on a fresh queue", false, true, 0, all_ones4, 4, 7, -1, 4},
    };
    for (const UpkeepCase &c : cases) {
        SCOPED_TRACE(c.name);
        const int32_t q = queue(c.six_writes);
        ASSERT_GE(q, 0);
        int32_t count = kUntouched;
        uint64_t *array = c.clean ? f().clean(q, &count) : f().resize(q, c.new_window, &count);
        EXPECT_EQ(take(array, count), c.array);
        EXPECT_EQ(count, c.count);
        const QueueStatus s = status(q);
        EXPECT_EQ(s.tail, c.tail);
        EXPECT_EQ(s.wr, c.wr);
        EXPECT_EQ(window_of(s, 11), c.window);
        EXPECT_EQ(f().node_num(q), 11);
        f().free_queue(q);
    }
}

// The worked sequence: shrink to 1, grow to 3 (the regained nodes are empty), clean twice,
// then a write evicts an emptied node and hands back no buffer.
TEST_P(WindowUpkeep, ShrinkGrowCleanAndWriteOn) {
    const int32_t q = queue(true);
    ASSERT_GE(q, 0);
    int32_t count = kUntouched;

    uint64_t *array = f().resize(q, 1, &count);
    EXPECT_EQ(take(array, count), (Handles{3, 4, 5}));
    EXPECT_EQ(count, 3);
    QueueStatus s = status(q);
    EXPECT_EQ(s.tail, 5);
    EXPECT_EQ(window_of(s, 11), 1);

    count = kUntouched;
    EXPECT_EQ(f().resize(q, 3, &count), nullptr);
    EXPECT_EQ(count, 0);
    s = status(q);
    EXPECT_EQ(s.tail, 3);
    EXPECT_EQ(window_of(s, 11), 3);

    count = kUntouched;
    array = f().clean(q, &count);
    EXPECT_EQ(take(array, count), (Handles{kNone, kNone, 6}));
    EXPECT_EQ(count, 3);
    s = status(q);
    EXPECT_EQ(s.tail, 3);
    EXPECT_EQ(s.wr, 5);

    count = kUntouched;
    array = f().clean(q, &count);
    EXPECT_EQ(take(array, count), (Handles{kNone, kNone, kNone}));
    EXPECT_EQ(count, 3);

    uint64_t back = 0;
    EXPECT_EQ(f().write(q, 7, &back, 700), 0);
    EXPECT_EQ(back, kNone);
    s = status(q);
    EXPECT_EQ(s.tail, 4);
    EXPECT_EQ(s.wr, 6);
    EXPECT_EQ(window_of(s, 11), 3);

    // The window now ends in the new node: a clean returns two emptied nodes and handle 7.
    count = kUntouched;
    array = f().clean(q, &count);
    EXPECT_EQ(take(array, count), (Handles{kNone, kNone, 7}));
}

// The window keeps its size across wrap-around, and a grown window takes back nodes whose
// handles were not given back (writes without a give-back pointer leave them in place).
TEST_P(WindowUpkeep, GrowRegainsNodesLeftInPlaceAcrossTheWrap) {
    const int32_t q = dyn(4, 2);  // 5 nodes, tail 3
    ASSERT_GE(q, 0);
    for (uint64_t h = 1; h <= 7; ++h)
        ASSERT_EQ(f().write(q, h, nullptr, 0), 0);
    QueueStatus s = status(q);
    EXPECT_EQ(s.wr, 1);  // handle 7 at node 1, handle 6 at node 0
    EXPECT_EQ(s.tail, 0);
    int32_t count = kUntouched;
    EXPECT_EQ(f().resize(q, 4, &count), nullptr);
    EXPECT_EQ(count, 0);
    s = status(q);
    EXPECT_EQ(s.tail, 3);
    count = kUntouched;
    uint64_t *array = f().clean(q, &count);
    EXPECT_EQ(take(array, count), (Handles{4, 5, 6, 7}));
    EXPECT_EQ(count, 4);
}

TEST_P(WindowUpkeep, PlainQueueIsLeftAlone) {
    const int32_t q = alloc(8 * 32);
    ASSERT_GE(q, 0);
    for (uint64_t h = 1; h <= 3; ++h)
        ASSERT_EQ(f().write(q, h, nullptr, 0), 0);
    const QueueStatus before = status(q);
    int32_t count = kUntouched;
    EXPECT_EQ(f().resize(q, 1, &count), nullptr);
    EXPECT_EQ(count, kUntouched);
    EXPECT_EQ(f().resize(q, 0, &count), nullptr);
    EXPECT_EQ(count, kUntouched);
    EXPECT_EQ(f().clean(q, &count), nullptr);
    EXPECT_EQ(count, 0);
    const QueueStatus after = status(q);
    EXPECT_EQ(after.wr, before.wr);
    EXPECT_EQ(after.tail, before.tail);
    // Nothing was emptied: the main reader still finds the three handles.
    for (uint64_t h = 1; h <= 3; ++h) {
        uint64_t got = 0;
        ASSERT_EQ(f().ready_to_read(q), 1);
        EXPECT_EQ(f().read(q, &got), 0);
        EXPECT_EQ(got, h);
    }
}

BRENN_BOTH_FAMILIES(WindowUpkeep);

}  // namespace
}  // namespace brenn_test
