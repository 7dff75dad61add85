// Writing and main-reader reading over both families: where writes land and how they are
// numbered, what a write hands back to the writer, counters a slot carries over to its next
// queue, and the writer's back-pressure.
#include "common/engine_fixture.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_watchdog(50);

class WriteRead : public EngineTest {};

TEST_P(WriteRead, MainReaderFollowsTheWriterOverSeveralLaps) {
    constexpr int32_t kNodes = 5;
    const int32_t q = fresh(kNodes * 32, 8, /*reserve=*/1, /*no_block=*/0);
    ASSERT_GE(q, 0);
    EXPECT_EQ(f().ready_to_read(q), 0);
    std::vector<uint64_t> written;
    size_t reads = 0;
    for (int batch : {1, 3, 5, 2, 4, 5, 3, 5, 1}) {
        for (int i = 0; i < batch; ++i) {
            const uint64_t h = 0x2000 + written.size();
            // A plain write hands back the handle it overwrites (none on the first lap).
            const uint64_t back =
                written.size() >= kNodes ? written[written.size() - kNodes] : kNone;
            EXPECT_EQ(write(q, h), back) << "write " << written.size();
            written.push_back(h);
        }
        const QueueStatus st = status(q);
        EXPECT_EQ(st.wr, static_cast<int32_t>((written.size() - 1) % kNodes));
        EXPECT_EQ(st.rd, reads == 0 ? -1 : static_cast<int32_t>((reads - 1) % kNodes));
        for (int i = 0; i < batch; ++i, ++reads) {
            EXPECT_EQ(f().ready_to_read(q), 1);
            EXPECT_EQ(read(q), written[reads]) << "read " << reads;
        }
        EXPECT_EQ(f().ready_to_read(q), 0);
        uint64_t seen[2] = {0, 0};
        ASSERT_EQ(f().look(q, 0, &seen[0]), 0);
        ASSERT_EQ(f().look(q, 1 + kNodes, &seen[1]), 0) << "taken modulo the ring";
        EXPECT_EQ(seen[0], written[reads - 1]) << "back 0 is the node read last";
        if (reads >= 2) {
            EXPECT_EQ(seen[1], written[reads - 2]) << "back 1 is the one before it";
        }
    }
    EXPECT_EQ(newest_seq(q), static_cast<int64_t>(written.size()) - 1)
        << "a slot never written numbers from 0, and every write takes the next number";
    ASSERT_EQ(f().write(q, 0x2fff, nullptr, 0), 0) << "a write without a give-back pointer";
    EXPECT_EQ(newest_seq(q), static_cast<int64_t>(written.size()));
    EXPECT_EQ(read(q), 0x2fffu);
}

TEST_P(WriteRead, NumberingAndTailCarryOverToTheSlotsNextQueue) {
    const int32_t q = dyn(6, 3);  // 7 nodes, tail 4 before the first write
    ASSERT_GE(q, 0);
    writes(q, 0x3000, 9);
    const int64_t last = newest_seq(q);
    ASSERT_EQ(status(q).tail, (4 + 9) % 7);
    f().free_queue(q);

    ASSERT_EQ(alloc(8 * 32), q) << "the lowest free slot is the one just freed";
    const QueueStatus st = status(q);
    EXPECT_EQ(std::make_pair(st.rd, st.wr), std::make_pair(-1, -1));
    EXPECT_EQ(st.tail, 6) << "plain allocation leaves tail as the slot held it";
    write(q, 0x3100);
    EXPECT_EQ(newest_seq(q), last + 1) << "the numbering goes on from the freed queue";
    EXPECT_EQ(status(q).tail, 6) << "plain writes do not move tail";
    f().free_queue(q);

    // A smaller ring keeps the tail 6 although it names none of its nodes: a plain queue only
    // compares and reports it.
    ASSERT_EQ(alloc(4 * 32), q);
    EXPECT_EQ(status(q).tail, 6);
    write(q, 0x3180);
    EXPECT_EQ(newest_seq(q), last + 2);
    const int32_t s = f().create_session(q);  // on node 0, the newest
    write(q, 0x3190);
    EXPECT_EQ(status(q).sessions[s].pk, 0) << "a session on node 0 keeps its place";
    EXPECT_EQ(status(q).tail, 6);
    f().free_queue(q);

    ASSERT_EQ(dyn(3, 2), q);
    EXPECT_EQ(status(q).tail, 2) << "dynamic allocation sets tail anew";
    write(q, 0x3200);
    EXPECT_EQ(newest_seq(q), last + 4);

    if (f().shared) {
        ASSERT_EQ(gsq_c_reset(), 0);
        ASSERT_EQ(alloc(4 * 32), q);
        write(q, 0x3300);
        EXPECT_EQ(newest_seq(q), 0) << "a shared reset restarts the numbering";
    }
}

// With a give-back pointer the evicted tail comes back and its node is emptied; without one
// the old tail node keeps its handle.
TEST_P(WriteRead, DynamicWriteEvictsTheTail) {
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
        Steps want;
        for (int32_t j = 1; j < window; ++j)
            want.emplace_back(j == window - 1 ? 1 : 0, 0x4000u + kWrites - 1 - j);
        want.emplace_back(1, kNone);
        EXPECT_EQ(look_back(q, f().create_session(q), window), want);
        f().free_queue(q);
    }

    const int32_t q = dyn(4, 2);  // 5 nodes, tail 3
    ASSERT_GE(q, 0);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(f().write(q, 0x5000 + i, nullptr, 0), 0);
    ASSERT_EQ(status(q).tail, 1);
    // Node 1 is tail, node 0 left the window full, node 4 was never written.
    EXPECT_EQ(look_back(q, f().create_session(q), 3),
              (Steps{{1, 0x5001}, {0, 0x5000}, {1, kNone}}));
}

TEST_P(WriteRead, WriterWaitsOnlyWhileBlockingAndLeadingTheReaderByTheWholeRing) {
    // Before the first read a full ring of 4 puts the writer 4 ahead: reserve 0 still lets
    // the fifth write overwrite node 0, any reserve above 0 holds it until a read, unless the
    // queue never blocks.
    const struct { int32_t reserve, no_block; } cases[] = {{0, 0}, {1, 0}, {3, 0}, {3, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE("reserve " + std::to_string(c.reserve) + " no_block " +
                     std::to_string(c.no_block));
        const int32_t q = alloc(4 * 32, 8, c.reserve, c.no_block);
        ASSERT_GE(q, 0);
        writes(q, 0x6000, 4);
        uint64_t back = 0;
        Blocked fifth = start([&] { back = write(q, 0x6004); });
        if (c.reserve == 0 || c.no_block) {
            require_finish(fifth, "a fifth write that must not wait", 2000ms);
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

BRENN_BOTH_FAMILIES(WriteRead);

}  // namespace
}  // namespace brenn_test
