// The size-by-time estimate: how many nodes a span of time takes at the rate of the newest
// unbroken run of timestamps, walking back from the node written before the newest one.
// Run on both families.
#include <cstdlib>

#include "common/engine_fixture.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_watchdog(50);

struct EstimateCase {
    const char *name;
    int32_t k;                // a dynamic queue of k + 1 nodes and window k
    std::vector<int64_t> ts;  // written in this order, each with a give-back pointer
    bool clean;               // the window cleaned before the estimate
    int32_t duration;
    int32_t expected;
};

class SizeByTime : public EngineTest {};

const std::vector<int64_t> kSeven = {100, 200, 300, 400, 500, 600, 700};

// 25 writes 10 apart into 20 nodes: the run spans the wrap.
std::vector<int64_t> wrapped() {
    std::vector<int64_t> ts;
    for (int64_t t = 1; t <= 25; ++t)
        ts.push_back(1000 + 10 * t);
    return ts;
}

// Mostly five nodes: after five or more writes every node holds a timestamp, so the walk never
// depends on what a node held before it was first written.
TEST_P(SizeByTime, RunsBreaksAndCaps) {
    const EstimateCase cases[] = {
        // Nodes 0..4 hold 600, 700, 300, 400, 500 with wr 1: the run is 600, 500, 400, 300.
        {"four-node run", 4, kSeven, false, 150, 2},
        {"capped at node_num - 1", 4, kSeven, false, 1000, 4},
        {"a step of 2100 ends the run", 4, {700, 800, 2900, 3000, 3100}, false, 150, 3},
        {"a step of exactly 2000 continues", 4, {1000, 3000, 3500, 4000, 4100}, false, 900, 1},
        {"a step of 2001 ends it", 4, {999, 3000, 3500, 4000, 4100}, false, 900, 2},
        {"a later timestamp ends the run", 4, {100, 900, 200, 300, 400}, false, 100, 2},
        {"reversal right before the start", 4, {100, 200, 600, 500, 700}, false, 100, 0},
        {"timestamp 0 ends the run", 4, {100, 0, 300, 400, 500}, false, 100, 2},
        {"timestamp 0 right before the start", 4, {100, 200, 0, 400, 500}, false, 100, 0},
        {"start node without timestamp", 4, {100, 200, 300, 0, 500}, false, 100, 0},
        {"equal timestamps only", 4, {500, 500, 500, 500, 500}, false, 100, 0},
        {"duration 0", 4, kSeven, false, 0, 0},
        {"negative duration", 4, kSeven, false, -150, 0},
        {"nothing written", 4, {}, false, 150, 0},
        {"a ring of one node", 0, {100, 200, 300}, false, 150, 0},
        // Clean empties nodes but keeps their timestamps.
        {"cleaned", 4, kSeven, true, 150, 2},
        {"cleaned, capped", 4, kSeven, true, 1000, 4},
        // Start node: ts 1240; the walk takes 19 nodes back to 1060, a span of 180.
        {"across the wrap", 19, wrapped(), false, 20, 19 * 20 / 180},
        {"across the wrap, 90", 19, wrapped(), false, 90, 9},
        {"across the wrap, capped", 19, wrapped(), false, 1000, 19},
    };
    for (const EstimateCase &c : cases) {
        SCOPED_TRACE(c.name);
        const int32_t q = dyn(c.k, c.k);
        ASSERT_GE(q, 0);
        ASSERT_EQ(f().node_num(q), c.k + 1);
        uint64_t h = 1;
        for (int64_t t : c.ts)
            write(q, h++, t);
        if (c.clean) {
            int32_t count = 0;
            std::free(f().clean(q, &count));
            EXPECT_EQ(count, c.k);
        }
        EXPECT_EQ(f().size_by_time(q, c.duration), c.expected);
        f().free_queue(q);
    }
}

BRENN_BOTH_FAMILIES(SizeByTime);

}  // namespace
}  // namespace brenn_test
