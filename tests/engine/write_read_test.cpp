// Writing and main-reader reading over both families: where writes land and how they are
// numbered, what a write hands back to the writer, counters a slot carries over to its next
// queue, and the writer's back-pressure.
#include "common/engine_fixture.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_engine_watchdog(50);

class WriteRead : public EngineTest {};

TEST_P(WriteRead, FirstWriteLandsInNodeZeroAndTheReaderTakesIt) {
    const int32_t q = fresh(4 * 32);
    ASSERT_GE(q, 0);
    EXPECT_EQ(f().ready_to_read(q), 0);
    EXPECT_EQ(write(q, 0x1000), kNone) << "node 0 held nothing";
    QueueStatus st = status(q);
    EXPECT_EQ(st.wr, 0);
    EXPECT_EQ(st.rd, -1);
    EXPECT_EQ(newest_seq(q), 0) << "a slot never written numbers from 0";
    EXPECT_EQ(f().ready_to_read(q), 1);
    EXPECT_EQ(read(q), 0x1000u);
    EXPECT_EQ(f().ready_to_read(q), 0);
    EXPECT_EQ(status(q).rd, 0);
    // A write without a give-back pointer.
    ASSERT_EQ(f().write(q, 0x1001, nullptr, 0), 0);
    EXPECT_EQ(newest_seq(q), 1);
    EXPECT_EQ(f().ready_to_read(q), 1);
}

TEST_P(WriteRead, MainReaderFollowsTheWriterOverSeveralLaps) {
    constexpr int32_t kNodes = 5;
    const int32_t q = alloc(kNodes * 32, 8, /*reserve=*/1, /*no_block=*/0);
    ASSERT_GE(q, 0);
    std::vector<uint64_t> written;
    size_t reads = 0;
    int64_t first_seq = -1;
    for (int batch : {1, 3, 5, 2, 4, 5, 3, 5, 1}) {
        for (int i = 0; i < batch; ++i) {
            const uint64_t h = 0x2000 + written.size();
            // A plain write hands back the handle it overwrites (none on the first lap).
            const uint64_t expect_back =
                written.size() >= kNodes ? written[written.size() - kNodes] : kNone;
            EXPECT_EQ(write(q, h), expect_back) << "write " << written.size();
            written.push_back(h);
            if (first_seq < 0) first_seq = newest_seq(q);
        }
        EXPECT_EQ(status(q).wr, static_cast<int32_t>((written.size() - 1) % kNodes));
        for (int i = 0; i < batch; ++i) {
            EXPECT_EQ(f().ready_to_read(q), 1);
            EXPECT_EQ(read(q), written[reads]) << "read " << reads;
            ++reads;
        }
        EXPECT_EQ(f().ready_to_read(q), 0);
        EXPECT_EQ(status(q).rd, static_cast<int32_t>((reads - 1) % kNodes));
        uint64_t seen = 0;
        ASSERT_EQ(f().look(q, 0, &seen), 0);
        EXPECT_EQ(seen, written[reads - 1]) << "back 0 is the node read last";
        if (reads >= 2) {
            ASSERT_EQ(f().look(q, 1, &seen), 0);
            EXPECT_EQ(seen, written[reads - 2]) << "back 1 is the one before it";
        }
    }
    EXPECT_EQ(newest_seq(q), first_seq + static_cast<int64_t>(written.size()) - 1)
        << "every write takes the next number";
}

TEST_P(WriteRead, NumberingAndTailCarryOverToTheSlotsNextQueue) {
    const int32_t q = dyn(6, 3);  // 7 nodes, tail 4 before the first write
    ASSERT_GE(q, 0);
    for (int i = 0; i < 9; ++i)
        write(q, 0x3000 + i);
    const int64_t last = newest_seq(q);
    ASSERT_EQ(status(q).tail, (4 + 9) % 7);
    f().free_queue(q);

    const int32_t again = alloc(8 * 32);
    ASSERT_EQ(again, q) << "the lowest free slot is the one just freed";
    QueueStatus st = status(again);
    EXPECT_EQ(st.rd, -1);
    EXPECT_EQ(st.wr, -1);
    EXPECT_EQ(st.tail, 6) << "plain allocation leaves tail as the slot held it";
    write(again, 0x3100);
    EXPECT_EQ(newest_seq(again), last + 1) << "the numbering goes on from the freed queue";
    EXPECT_EQ(status(again).tail, 6) << "plain writes do not move tail";
    f().free_queue(again);

    // A smaller ring cannot keep a tail that names none of its nodes.
    const int32_t small = alloc(4 * 32);
    ASSERT_EQ(small, q);
    const int32_t small_tail = status(small).tail;
    EXPECT_TRUE(small_tail >= 0 && small_tail < 4) << "tail " << small_tail;
    write(small, 0x3180);
    EXPECT_EQ(newest_seq(small), last + 2);
    f().free_queue(small);

    const int32_t third = dyn(3, 2);
    ASSERT_EQ(third, q);
    EXPECT_EQ(status(third).tail, 2) << "dynamic allocation sets tail anew";
    write(third, 0x3200);
    EXPECT_EQ(newest_seq(third), last + 3);

    if (f().shared) {
        ASSERT_EQ(gsq_c_reset(), 0);
        const int32_t after_reset = alloc(4 * 32);
        ASSERT_EQ(after_reset, q);
        write(after_reset, 0x3300);
        EXPECT_EQ(newest_seq(after_reset), 0) << "a shared reset restarts the numbering";
    }
}

TEST_P(WriteRead, DynamicWriteHandsBackTheEvictedTailAndEmptiesIt) {
    constexpr int32_t kCount = 4;  // a ring of 5 nodes
    constexpr int kWrites = 12;
    for (int32_t window : {1, 2, 4}) {
        SCOPED_TRACE("window " + std::to_string(window));
        const int32_t q = dyn(kCount, window);
        ASSERT_GE(q, 0);
        for (int i = 0; i < kWrites; ++i) {
            EXPECT_EQ(write(q, 0x4000 + i, 100 + i), i >= window ? 0x4000u + i - window : kNone)
                << "write " << i;
            const QueueStatus st = status(q);
            EXPECT_EQ(st.wr, i % (kCount + 1));
            EXPECT_EQ((st.wr + kCount + 1 - st.tail + 1) % (kCount + 1), window)
                << "the window keeps its size";
        }
        // Stepping back from the newest node: the window's nodes, then the emptied one.
        const int32_t s = f().create_session(q);
        int32_t n = 0, quarter = 0;
        ASSERT_EQ(f().begin_look_back(q, s, &n, &quarter), 0);
        for (int32_t j = 1; j < window; ++j) {
            EXPECT_EQ(step(q, s), Step(j == window - 1 ? 1 : 0, 0x4000u + kWrites - 1 - j));
        }
        EXPECT_EQ(step(q, s), Step(1, kNone)) << "the evicted node was emptied";
        EXPECT_EQ(f().end_look_back(q, s), 0);
        f().free_queue(q);
    }
}

TEST_P(WriteRead, DynamicWriteWithoutPointerLeavesTheOldTailNodeAlone) {
    const int32_t q = dyn(4, 2);  // 5 nodes, tail 3
    ASSERT_GE(q, 0);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(f().write(q, 0x5000 + i, nullptr, 0), 0);
    const QueueStatus st = status(q);
    ASSERT_EQ(st.wr, 2);
    ASSERT_EQ(st.tail, 1);
    const int32_t s = f().create_session(q);
    int32_t n = 0, quarter = 0;
    ASSERT_EQ(f().begin_look_back(q, s, &n, &quarter), 0);
    EXPECT_EQ(step(q, s), Step(1, 0x5001)) << "node 1 is tail";
    EXPECT_EQ(step(q, s), Step(0, 0x5000)) << "node 0 left the window full";
    EXPECT_EQ(step(q, s), Step(1, kNone)) << "node 4 was never written";
    EXPECT_EQ(f().end_look_back(q, s), 0);
}

TEST_P(WriteRead, BlockingWriterWaitsOnlyWhileItLeadsTheReaderByTheWholeRing) {
    // Before the first read a full ring of 4 puts the writer 4 ahead: reserve 0 still lets
    // the fifth write overwrite node 0, any reserve above 0 holds it until a read.
    for (int32_t reserve : {0, 1, 3}) {
        SCOPED_TRACE("reserve " + std::to_string(reserve));
        const int32_t q = alloc(4 * 32, 8, reserve, /*no_block=*/0);
        ASSERT_GE(q, 0);
        for (int i = 0; i < 4; ++i)
            write(q, 0x6000 + i);
        uint64_t back = 0;
        Blocked fifth = start([&] { back = write(q, 0x6004); });
        if (reserve == 0) {
            require_finish(fifth, "a fifth write without reserve", 2000ms);
            EXPECT_EQ(back, 0x6000u);
            EXPECT_EQ(read(q), 0x6004u);
            f().free_queue(q);
            continue;
        }
        EXPECT_TRUE(fifth.still_blocked(200ms)) << "lag 4 exceeds node_num - reserve";
        EXPECT_EQ(read(q), 0x6000u);
        require_finish(fifth, "the fifth write after a read");
        EXPECT_EQ(back, 0x6000u);
        QueueStatus st = status(q);
        EXPECT_EQ(st.wr, 0);
        EXPECT_EQ(st.rd, 0);

        // The ring is full again with wr == rd: the lag counts as 0 and the writer overwrites
        // the oldest unread node without waiting.
        Blocked sixth = start([&] { back = write(q, 0x6005); });
        require_finish(sixth, "a write with lag 0", 2000ms);
        EXPECT_EQ(back, 0x6001u) << "the unread handle is handed back";
        for (uint64_t h : {0x6005u, 0x6002u, 0x6003u, 0x6004u})
            EXPECT_EQ(read(q), h);
        EXPECT_EQ(f().ready_to_read(q), 0);
        f().free_queue(q);
    }
}

TEST_P(WriteRead, NoBlockWriterNeverWaits) {
    const int32_t q = alloc(4 * 32, 8, /*reserve=*/3, /*no_block=*/1);
    ASSERT_GE(q, 0);
    std::vector<uint64_t> backs;
    Blocked writer = start([&] {
        for (int i = 0; i < 12; ++i)
            backs.push_back(write(q, 0x7000 + i));
    });
    require_finish(writer, "twelve no-block writes without a reader", 2000ms);
    ASSERT_EQ(backs.size(), 12u);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(backs[i], i >= 4 ? 0x7000u + i - 4 : kNone) << "write " << i;
    }
    for (uint64_t h : {0x7008u, 0x7009u, 0x700au, 0x700bu})
        EXPECT_EQ(read(q), h);
}

BRENN_BOTH_FAMILIES(WriteRead);

}  // namespace
}  // namespace brenn_test
