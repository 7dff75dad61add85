// Look-back over both families: the steps from the newest node back to tail or to an empty
// node, the queue frozen while a look-back is open, the replay of newer nodes after its end,
// and the calls it refuses.
#include "common/engine_fixture.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_watchdog(50);

class LookBack : public EngineTest {};

TEST_P(LookBack, FullDynamicWindowStepsBackToTailAndPeeksReplayFromThere) {
    const int32_t q = dyn(5, 5);  // 6 nodes, window 5
    ASSERT_GE(q, 0);
    writes(q, 0x100, 8);  // h3..h7 in the window, wr 1, tail 3
    const int32_t s = f().create_session(q);
    const int64_t newest = f().cur_seq(q, s);
    ASSERT_EQ(begin(q, s), 0);
    EXPECT_EQ(node_num, 6);
    EXPECT_EQ(quarter_num, 1);
    EXPECT_EQ(available(q, s), Available(0, -4)) << "inside a look-back";
    EXPECT_EQ(f().cur_seq(q, s), newest) << "begin puts the session on wr";
    EXPECT_EQ(steps(q, s, 5), (Steps{{0, 0x106}, {0, 0x105}, {0, 0x104}, {1, 0x103}, {1, kNone}}))
        << "tail, then node 2 that left the window emptied";
    EXPECT_EQ(f().cur_seq(q, s), newest - 4) << "the session stays on tail";
    EXPECT_EQ(f().live_count(q, s), 0u);
    ASSERT_EQ(f().end_look_back(q, s), 0);
    EXPECT_EQ(available(q, s), Available(1, 4)) << "h4..h7 lie ahead again";
    EXPECT_EQ(peeks(q, s, 4),
              (std::vector<Peeked>{{0x104, 0}, {0x105, 0}, {0x106, 0}, {0x107, 0}}));
    // Two steps back and the two nodes once more: replayed nodes count again.
    EXPECT_EQ(look_back(q, s, 2), (Steps{{0, 0x106}, {0, 0x105}}));
    EXPECT_EQ(peeks(q, s, 2), (std::vector<Peeked>{{0x106, 0}, {0x107, 0}}));
    EXPECT_EQ(f().live_count(q, s), 6u);
    EXPECT_EQ(available(q, s), Available(0, 0));
}

// On a queue that is not sharable a peek takes the handle out of its node: a look-back finds that
// node not empty, yet without a handle. It steps back to tail, then stays on an empty node.
TEST_P(LookBack, PlainRingStopsAtTailThenAtAnEmptyNode) {
    const int32_t q = fresh(8 * 32, 8, 0, 1, /*sharable=*/0);  // tail 0
    ASSERT_GE(q, 0);
    const int32_t b = f().create_session(q);
    ASSERT_EQ(begin(q, b), 0);
    EXPECT_EQ(node_num, 8);
    EXPECT_EQ(quarter_num, 2);
    EXPECT_EQ(steps(q, b, 2), (Steps{{-1, kNone}, {-1, kNone}})) << "never written: no position";
    ASSERT_EQ(f().end_look_back(q, b), 0);
    EXPECT_EQ(f().cur_seq(q, b), -1);

    writes(q, 0x300, 2);
    const int32_t a = f().create_session(q);  // on node 1
    writes(q, 0x302, 2);
    EXPECT_EQ(peek(q, a).obj, 0x302u);
    EXPECT_EQ(look_back(q, b, 5),
              (Steps{{0, kNone}, {0, 0x301}, {1, 0x300}, {1, kNone}, {1, kNone}}))
        << "node 2 was taken by a, node 0 is tail, node 7 is empty";
    EXPECT_EQ(position(q, b), (Position{0, 0, 0}));
    EXPECT_EQ(status(q).sessions[b].looking_back, 0);
    for (uint64_t h : {0x300u, 0x301u}) {
        EXPECT_EQ(read(q), h) << "a look-back leaves the handle in the node";
    }
    EXPECT_EQ(read(q), kNone) << "the main reader comes after a";
}

TEST_P(LookBack, OpenLookBackFreezesTheWriter) {
    const int32_t q = alloc(4 * 32);
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q);
    write(q, 0x400);
    ASSERT_EQ(begin(q, s), 0);
    Blocked writer = start([&] { write(q, 0x401); });
    EXPECT_TRUE(writer.still_blocked(200ms)) << "a write ran inside a look-back";
    EXPECT_EQ(step(q, s), Step(1, kNone));
    ASSERT_EQ(f().end_look_back(q, s), 0);
    require_finish(writer, "the write after the look-back ended");
    EXPECT_EQ(status(q).wr, 1);
}

// Bad ids are refused by every operation (table_cases); these are the refusals that keep a
// look-back from waiting for itself or releasing a lock it did not take.
TEST_P(LookBack, RefusedCallsTakeAndReleaseNothing) {
    const int32_t q = alloc(4 * 32);
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q), t = f().create_session(q);
    write(q, 0x600);
    EXPECT_EQ(f().end_look_back(q, s), -1) << "end without begin";
    ASSERT_EQ(begin(q, s), 0);
    int32_t again = 0;
    Blocked second = start([&] { again = begin(q, s); });
    require_finish(second, "a second begin on the same session", 2000ms);
    EXPECT_EQ(again, -1);
    EXPECT_EQ(available(q, s), Available(0, -4)) << "the first look-back is still open";
    EXPECT_EQ(f().end_look_back(q, t), -1) << "t never began";
    EXPECT_EQ(f().end_look_back(q, s), 0);
    EXPECT_EQ(f().end_look_back(q, s), -1) << "already ended";
    Blocked locker = lock_taker(q);
    require_finish(locker, "the queue's lock after the look-back", 2000ms);
    EXPECT_EQ(available(q, s), Available(0, 0));
}

BRENN_BOTH_FAMILIES(LookBack);

}  // namespace
}  // namespace brenn_test
