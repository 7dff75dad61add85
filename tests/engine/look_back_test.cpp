// Look-back over both families: the steps from the newest node back to tail or to an empty
// node, the queue frozen while a look-back is open, the replay of newer nodes after its end,
// and the calls it refuses.
#include "common/engine_fixture.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_engine_watchdog(50);

class LookBack : public EngineTest {
  protected:
    int32_t begin(int32_t q, int32_t s) {
        node_num = quarter_num = -9;
        return f().begin_look_back(q, s, &node_num, &quarter_num);
    }
    std::pair<int32_t, int32_t> available(int32_t q, int32_t s) {
        int32_t count = 99;
        const int32_t r = f().data_available(q, s, &count);
        return {r, count};
    }
    int32_t node_num = -9, quarter_num = -9;
};

TEST_P(LookBack, FullDynamicWindowStepsBackToTail) {
    const int32_t q = dyn(5, 5);  // 6 nodes, window 5
    ASSERT_GE(q, 0);
    for (int i = 0; i < 8; ++i)
        write(q, 0x100 + i);  // h3..h7 in the window, wr 1, tail 3
    const int32_t s = f().create_session(q);
    const int64_t newest = f().cur_seq(q, s);
    ASSERT_EQ(begin(q, s), 0);
    EXPECT_EQ(node_num, 6);
    EXPECT_EQ(quarter_num, 1);
    EXPECT_EQ(available(q, s), std::make_pair(0, -4)) << "inside a look-back";
    EXPECT_EQ(f().cur_seq(q, s), newest) << "begin puts the session on wr";
    EXPECT_EQ(step(q, s), Step(0, 0x106));
    EXPECT_EQ(step(q, s), Step(0, 0x105));
    EXPECT_EQ(step(q, s), Step(0, 0x104));
    EXPECT_EQ(step(q, s), Step(1, 0x103)) << "tail";
    EXPECT_EQ(step(q, s), Step(1, kNone)) << "node 2 left the window emptied";
    EXPECT_EQ(f().cur_seq(q, s), newest - 4) << "the session stays on tail";
    EXPECT_EQ(f().live_count(q, s), 0u);
    ASSERT_EQ(f().end_look_back(q, s), 0);
    EXPECT_EQ(available(q, s), std::make_pair(1, 4)) << "h4..h7 lie ahead again";
    const Peeked p = peek(q, s);
    EXPECT_EQ(p.obj, 0x104u);
    EXPECT_EQ(p.gap, 0);
}

TEST_P(LookBack, PlainRingStopsAtTailThenAtAnEmptyNode) {
    const int32_t q = fresh(8 * 32);  // tail 0
    ASSERT_GE(q, 0);
    for (int i = 0; i < 3; ++i)
        write(q, 0x200 + i);
    const int32_t s = f().create_session(q);
    ASSERT_EQ(begin(q, s), 0);
    EXPECT_EQ(node_num, 8);
    EXPECT_EQ(quarter_num, 2);
    EXPECT_EQ(step(q, s), Step(0, 0x201));
    EXPECT_EQ(step(q, s), Step(1, 0x200)) << "node 0 is tail";
    EXPECT_EQ(step(q, s), Step(1, kNone)) << "node 7 is empty";
    EXPECT_EQ(step(q, s), Step(1, kNone));
    ASSERT_EQ(f().end_look_back(q, s), 0);
    const QueueSession rec = status(q).sessions[s];
    EXPECT_EQ(rec.pk, 0);
    EXPECT_EQ(rec.cur_seq, 0);
    EXPECT_EQ(rec.looking_back, 0);
}

TEST_P(LookBack, QueueNeverWrittenGivesNoPosition) {
    const int32_t q = alloc(4 * 32);
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q);
    ASSERT_EQ(begin(q, s), 0);
    EXPECT_EQ(node_num, 4);
    EXPECT_EQ(step(q, s), Step(-1, kNone));
    EXPECT_EQ(step(q, s), Step(-1, kNone));
    ASSERT_EQ(f().end_look_back(q, s), 0);
    EXPECT_EQ(f().cur_seq(q, s), -1);
}

TEST_P(LookBack, HandlesTakenByAPeekAreGoneOthersStay) {
    const int32_t q = fresh(8 * 32, 8, 0, 1, /*sharable=*/0);
    ASSERT_GE(q, 0);
    const int32_t a = f().create_session(q), b = f().create_session(q);
    for (int i = 0; i < 4; ++i)
        write(q, 0x300 + i);
    EXPECT_EQ(peek(q, a).obj, 0x300u);
    EXPECT_EQ(peek(q, a).obj, 0x301u);
    ASSERT_EQ(begin(q, b), 0);
    EXPECT_EQ(step(q, b), Step(0, 0x302));
    EXPECT_EQ(step(q, b), Step(0, kNone)) << "taken by a, yet not empty";
    EXPECT_EQ(step(q, b), Step(1, kNone)) << "node 0 is tail";
    EXPECT_EQ(f().cur_seq(q, b), 0);
    ASSERT_EQ(f().end_look_back(q, b), 0);
    EXPECT_EQ(peek(q, a).obj, 0x302u) << "a look-back leaves the handle in the node";
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

TEST_P(LookBack, PeeksReplayTheNodesAfterTheLastStep) {
    const int32_t q = fresh(8 * 32);
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q);
    for (int i = 0; i < 5; ++i)
        write(q, 0x500 + i);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(peek(q, s).obj, 0x500u + i);
    ASSERT_EQ(begin(q, s), 0);
    EXPECT_EQ(step(q, s), Step(0, 0x503));
    EXPECT_EQ(step(q, s), Step(0, 0x502));
    ASSERT_EQ(f().end_look_back(q, s), 0);
    EXPECT_EQ(f().cur_seq(q, s), 2);
    for (int i = 3; i < 5; ++i) {
        const Peeked p = peek(q, s);
        EXPECT_EQ(p.obj, 0x500u + i);
        EXPECT_EQ(p.gap, 0);
    }
    EXPECT_EQ(f().live_count(q, s), 7u) << "replayed nodes count again";
    EXPECT_EQ(available(q, s), std::make_pair(0, 0));
}

TEST_P(LookBack, RefusedCallsTakeAndReleaseNothing) {
    const int32_t q = alloc(4 * 32);
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q), t = f().create_session(q);
    write(q, 0x600);
    EXPECT_EQ(begin(q, 128), -1);
    EXPECT_EQ(begin(q, -1), -1);
    EXPECT_EQ(begin(f().queue_count, s), -1);
    EXPECT_EQ(f().end_look_back(q, s), -1) << "end without begin";

    ASSERT_EQ(begin(q, s), 0);
    int32_t again = 0;
    Blocked second = start([&] { again = begin(q, s); });
    require_finish(second, "a second begin on the same session", 2000ms);
    EXPECT_EQ(again, -1);
    EXPECT_EQ(available(q, s), std::make_pair(0, -4)) << "the first look-back is still open";
    EXPECT_EQ(f().end_look_back(q, t), -1) << "t never began";
    EXPECT_EQ(f().end_look_back(q, s), 0);
    EXPECT_EQ(f().end_look_back(q, s), -1) << "already ended";
    Blocked locker = start([&] {
        f().lock(q);
        f().unlock(q);
    });
    require_finish(locker, "the queue's lock after the look-back", 2000ms);
    EXPECT_EQ(available(q, s), std::make_pair(0, 0));
}

BRENN_BOTH_FAMILIES(LookBack);

}  // namespace
}  // namespace brenn_test
