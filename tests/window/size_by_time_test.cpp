// The size-by-time estimate: how many nodes a span of time takes at the rate of the newest
// unbroken run of timestamps, walking back from the node written before the newest one.
// Run on both families.
#include <cstdlib>
#include <vector>

#include "common/families.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool watchdog_armed = (arm_watchdog(50), true);

struct EstimateCase {
    const char *name;
    std::vector<int64_t> ts;  // written in this order, each with a give-back pointer
    int32_t duration;
    int32_t expected;
};

class SizeByTime : public FamilyTest {
  protected:
    // A dynamic queue of `k` + 1 nodes written with the given timestamps (handles 1, 2, ...).
    int32_t written(int32_t k, const std::vector<int64_t> &ts) {
        const int32_t q = dyn(k, k);
        EXPECT_GE(q, 0);
        uint64_t h = 1;
        for (int64_t t : ts) {
            uint64_t back = 0;
            EXPECT_EQ(f().write(q, h++, &back, t), 0);
        }
        return q;
    }
};

const std::vector<int64_t> kSeven = {100, 200, 300, 400, 500, 600, 700};

// Five nodes throughout: after five or more writes every node holds a timestamp, so the walk
// never depends on what a node held before it was first written.
TEST_P(SizeByTime, RunsBreaksAndCaps) {
    const EstimateCase cases[] = {
        // Nodes 0..4 hold 600, 700, 300, 400, 500 with wr 1: the run is 600, 500, 400, 300.
        {"four-node run", kSeven, 150, 2},
        {"capped at node_num - 1", kSeven, 1000, 4},
        {"a step of 2100 ends the run", {700, 800, 2900, 3000, 3100}, 150, 3},
        {"a step of exactly 2000 continues", {1000, 3000, 3500, 4000, 4100}, 900, 1},
        {"a step of 2001 ends it", {999, 3000, 3500, 4000, 4100}, 900, 2},
        {"a later timestamp ends the run", {100, 900, 200, 300, 400}, 100, 2},
        {"reversal right before the start", {100, 200, 600, 500, 700}, 100, 0},
        {"timestamp 0 ends the run", {100, 0, 300, 400, 500}, 100, 2},
        {"timestamp 0 right before the start", {100, 200, 0, 400, 500}, 100, 0},
        {"start node without timestamp", {100, 200, 300, 0, 500}, 100, 0},
        {"equal timestamps only", {500, 500, 500, 500, 500}, 100, 0},
        {"duration 0", kSeven, 0, 0},
        {"negative duration", kSeven, -150, 0},
        {"nothing written", {}, 150, 0},
    };
    for (const EstimateCase &c : cases) {
        SCOPED_TRACE(c.name);
        const int32_t q = written(4, c.ts);
        ASSERT_GE(q, 0);
        EXPECT_EQ(f().size_by_time(q, c.duration), c.expected);
        f().free_queue(q);
    }
}

TEST_P(SizeByTime, RingOfOneNodeGivesNoEstimate) {
    const int32_t q = written(0, {100, 200, 300});
    ASSERT_GE(q, 0);
    ASSERT_EQ(f().node_num(q), 1);
    EXPECT_EQ(f().size_by_time(q, 150), 0);
}

// Clean empties nodes but keeps their timestamps, so the estimate does not change.
TEST_P(SizeByTime, CleanLeavesTheEstimate) {
    const int32_t q = written(4, kSeven);
    ASSERT_GE(q, 0);
    ASSERT_EQ(f().size_by_time(q, 150), 2);
    int32_t count = 0;
    uint64_t *array = f().clean(q, &count);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(count, 4);
    std::free(array);
    EXPECT_EQ(f().size_by_time(q, 150), 2);
    EXPECT_EQ(f().size_by_time(q, 1000), 4);
}

// A long ring that has wrapped: the run spans the wrap and the cap follows node_num.
TEST_P(SizeByTime, RunAcrossTheWrapOfALargerRing) {
    std::vector<int64_t> ts;
    for (int64_t t = 1; t <= 25; ++t)
        ts.push_back(1000 + 10 * t);  // 20 nodes, written 25 times
    const int32_t q = written(19, ts);
    ASSERT_GE(q, 0);
    // Start node: ts 1240; the walk takes 19 nodes back to 1060, a span of 180.
    EXPECT_EQ(f().size_by_time(q, 20), 19 * 20 / 180);
    EXPECT_EQ(f().size_by_time(q, 90), 9);
    EXPECT_EQ(f().size_by_time(q, 1000), 19);
}

BRENN_BOTH_FAMILIES(SizeByTime);

}  // namespace
}  // namespace brenn_test
