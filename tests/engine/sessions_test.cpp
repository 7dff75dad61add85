// Peek sessions over both families: what a peek takes and when it waits, the gap flag, handing
// out or sharing handles, the dynamic window test and scan, refusals, the data-available codes
// and the session slots. The library's peek diagnostics land in this program (support_calls.h).
#include "common/engine_fixture.h"
#include "common/support_calls.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_watchdog(50);

std::string wait_line(int32_t q, int32_t s, int32_t i, int32_t n) {
    return "peek queue [" + std::to_string(q) + "] session =" + std::to_string(s) + " wait for " +
           std::to_string(i) + "(" + std::to_string(n) + ")";
}

class Sessions : public EngineTest {};

TEST_P(Sessions, WaitingSessionsSeeEveryNodeOfAPlainRingInOrder) {
    constexpr int32_t kNodes = 4;
    const int32_t q = fresh(kNodes * 32);
    ASSERT_GE(q, 0);
    const int32_t sessions[] = {f().create_session(q), f().create_session(q)};
    EXPECT_EQ(position(q, sessions[1]), (Position{-1, -1, 0}));
    EXPECT_EQ(status(q).sessions[sessions[1]].in_use, 1);
    for (int i = 0; i < 3 * kNodes + 1; ++i) {
        clear_support_calls();
        Peeked got[2];
        Blocked peekers[2] = {start([&] { got[0] = peek(q, sessions[0]); }),
                              start([&] { got[1] = peek(q, sessions[1]); })};
        // Each peek waits on the node the write is about to fill (the first on node 0).
        for (int32_t s : sessions) {
            EXPECT_TRUE(debug_logged(wait_line(q, s, i % kNodes, kNodes), 3s)) << "write " << i;
        }
        write(q, 0x200 + i);
        for (int k = 0; k < 2; ++k) {
            require_finish(peekers[k], "a waiting peek");
            EXPECT_EQ(got[k], (Peeked{0x200u + i, 0}));
            EXPECT_EQ(f().cur_seq(q, sessions[k]), i);
        }
    }
    EXPECT_EQ(f().live_count(q, sessions[1]), 3u * kNodes + 1);
}

TEST_P(Sessions, SessionsThatKeepUpWithADynamicWindowSeeEveryNode) {
    const int32_t q = dyn(6, 4);
    ASSERT_GE(q, 0);
    const int32_t a = f().create_session(q), b = f().create_session(q);
    int written = 0;
    for (int batch : {1, 3, 2, 3, 1, 3, 3, 2}) {  // each below the window
        writes(q, 0x300 + written, batch);
        for (int i = 0; i < batch; ++i, ++written) {
            EXPECT_EQ(peek(q, a), (Peeked{0x300u + written, 0}));
            EXPECT_EQ(peek(q, b), (Peeked{0x300u + written, 0}));
        }
    }
    EXPECT_EQ(f().cur_seq(q, a), newest_seq(q));
    EXPECT_EQ(position(q, a), position(q, b));
    EXPECT_EQ(f().live_count(q, b), static_cast<uint64_t>(written));
}

// A session whose last seq is 0 reports no gap whatever comes next: see
// ClearedPositionOnAPlainQueueWaitsAtNodeZero.
TEST_P(Sessions, GapFlagTellsSkippedNodes) {
    const int32_t q = fresh(3 * 32);  // tail 0: seq 5 lies in node 2
    ASSERT_GE(q, 0);
    writes(q, 0x400, 5);
    const int32_t s = f().create_session(q);
    EXPECT_EQ(f().cur_seq(q, s), 4);
    write(q, 0x405);
    EXPECT_EQ(peek(q, s), (Peeked{0x405, 0}));
    writes(q, 0x406, 4);
    EXPECT_EQ(peek(q, s), (Peeked{0x409, 1})) << "node 0, after the session's node 2, holds seq 9";
    EXPECT_EQ(position(q, s), (Position{0, 9, 2}));
}

TEST_P(Sessions, SharableQueuesShareHandlesOthersHandThemOutOnce) {
    // Any nonzero value counts as set, and is stored as given.
    for (int32_t sharable : {1, 0, 5}) {
        SCOPED_TRACE("sharable " + std::to_string(sharable));
        const int32_t q = alloc(4 * 32, 8, 0, 1, sharable == 1 ? 1 : 0);
        ASSERT_GE(q, 0);
        if (sharable == 5) {
            EXPECT_EQ(f().set_sharable(q, 5), 0);
        }
        EXPECT_EQ(f().is_sharable(q), sharable);
        const int32_t a = f().create_session(q), b = f().create_session(q);
        write(q, 0x600);
        const uint64_t shared = sharable ? 0x600u : kNone;
        EXPECT_EQ(peek(q, a), (Peeked{0x600, 0}));
        EXPECT_EQ(peek(q, b), (Peeked{shared, 0}));
        EXPECT_EQ(position(q, a), position(q, b));
        EXPECT_EQ(position(q, a).live_count, 1u);
        EXPECT_EQ(read(q), shared) << "the main reader comes after them";
        f().free_queue(q);
    }
}

TEST_P(Sessions, RefusedPeeksTouchNeitherTheLockNorTheSession) {
    const int32_t q = alloc(4 * 32);
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q);
    write(q, 0x700);
    const int32_t freed = alloc(4 * 32);
    ASSERT_GE(freed, 0);
    f().free_queue(freed);
    const struct {
        int32_t q, s;
    } refused[] = {{q, 128}, {q, -1}, {f().queue_count, 0}, {-1, 0}, {freed, 0}, {q, 5}};

    ASSERT_EQ(f().lock(q), 0);  // held here: a refused peek must neither wait for nor free it
    std::vector<Peeked> got(std::size(refused), Peeked{0, 42});
    Blocked peeks = start([&] {
        for (size_t i = 0; i < std::size(refused); ++i) {
            f().peek(refused[i].q, refused[i].s, &got[i].obj, &got[i].gap);
            int32_t gap = 43;
            f().peek(refused[i].q, refused[i].s, nullptr, &gap);
        }
    });
    require_finish(peeks, "refused peeks while the queue is locked", 2000ms);
    EXPECT_EQ(got, std::vector<Peeked>(std::size(refused), Peeked{kNone, 42}));
    Blocked locker = lock_taker(q);
    EXPECT_TRUE(locker.still_blocked(100ms)) << "a refused peek released the lock";
    ASSERT_EQ(f().unlock(q), 0);
    require_finish(locker, "lock after the refused peeks");

    EXPECT_EQ(position(q, 5), (Position{-1, -1, 0}));
    EXPECT_EQ(peek(q, s).obj, 0x700u);
    // On a queue that is not sharable a session that was never created peeks like any other.
    ASSERT_EQ(f().set_sharable(q, 0), 0);
    EXPECT_EQ(peek(q, 5), (Peeked{0x700, 0}));
    EXPECT_EQ(f().live_count(q, 5), 1u);
}

// Bad ids and free slots give -1 and -2 (table_cases); here the counts and the codes that
// depend on the session.
TEST_P(Sessions, DataAvailableCountsAndCodes) {
    const int32_t q = fresh(8 * 32);
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q);
    EXPECT_EQ(available(q, s), Available(0, 0)) << "never written";
    write(q, 0x800);
    EXPECT_EQ(available(q, s), Available(1, 1)) << "no position yet";
    write(q, 0x801);
    peeks(q, s, 2);
    writes(q, 0x802, 3);
    EXPECT_EQ(available(q, s), Available(1, 3)) << "pk is wr - 3";
    peeks(q, s, 3);
    EXPECT_EQ(available(q, s), Available(0, 0)) << "took the newest";

    EXPECT_EQ(available(q, 6), Available(0, -3)) << "not in use on a sharable queue";
    ASSERT_EQ(begin(q, s), 0);
    EXPECT_EQ(available(q, s), Available(0, -4));
    ASSERT_EQ(f().end_look_back(q, s), 0);
    EXPECT_EQ(available(q, s), Available(0, 0));
    write(q, 0x805);
    EXPECT_EQ(available(q, s), Available(1, 1));
    EXPECT_EQ(f().data_available(q, s, nullptr), 0) << "a NULL count gives 0";
    ASSERT_EQ(f().set_sharable(q, 0), 0);
    EXPECT_EQ(available(q, 6), Available(1, 1)) << "any id counts on a queue that is not sharable";
}

// How many sessions max_sessions allows is checked by table_cases; here which slot comes next.
TEST_P(Sessions, CreateTakesTheLowestFreeSlotBelowMaxSessions) {
    const int32_t q = alloc(4 * 32, /*max_sessions=*/2);
    ASSERT_GE(q, 0);
    EXPECT_EQ(f().create_session(q), 0);
    EXPECT_EQ(f().create_session(q), 1);
    EXPECT_EQ(f().create_session(q), -1);
    EXPECT_EQ(f().destroy_session(q, 0), 0);
    EXPECT_EQ(f().create_session(q), 0);
    EXPECT_EQ(f().destroy_session(q, 2), -1) << "outside max_sessions";
    EXPECT_EQ(f().destroy_session(q, 1), 0);
    EXPECT_EQ(f().create_session(q), 1);
}

TEST_P(Sessions, SeekSkipsEverythingWrittenSoFar) {
    const int32_t q = fresh(8 * 32);
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q);
    writes(q, 0x900, 3);
    f().seek(q, s);
    EXPECT_EQ(position(q, s), (Position{2, 2, 0}));
    EXPECT_EQ(available(q, s), Available(0, 0));
    write(q, 0x903);
    EXPECT_EQ(peek(q, s), (Peeked{0x903, 0}));
}

// A session loses its position to a reset, and to a write that lands after it on the tail
// index; on a plain queue its next peek then waits at node 0 until the writer comes round.
TEST_P(Sessions, ClearedPositionOnAPlainQueueWaitsAtNodeZero) {
    const int32_t q = fresh(4 * 32);  // tail 0
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q);
    write(q, 0xa00);
    EXPECT_EQ(peek(q, s).obj, 0xa00u);
    int64_t next = 1;  // the number of the next write
    for (bool reset : {true, false}) {
        SCOPED_TRACE(reset ? "reset" : "write");
        ASSERT_EQ(status(q).sessions[s].pk, 0);
        const int64_t last = next - 1;  // the session took the newest node, node 0
        if (reset) {
            ASSERT_EQ(f().reset_peek(q, s), 0);
        } else {
            write(q, 0xa00 + next++);
            EXPECT_EQ(available(q, s), Available(1, 1)) << "only the plain next node counts";
        }
        EXPECT_EQ(position(q, s), (Position{-1, last, reset ? 1u : 2u}));
        Peeked p;
        Blocked peeker = start([&] { p = peek(q, s); });
        EXPECT_TRUE(peeker.still_blocked(200ms)) << "node 0 holds nothing newer";
        while (next % 4 != 0) {
            write(q, 0xa00 + next++);
            EXPECT_TRUE(peeker.still_blocked(50ms)) << "not the node the peek waits on";
        }
        write(q, 0xa00 + next);
        require_finish(peeker, "the peek waiting at node 0");
        EXPECT_EQ(p, (Peeked{0xa00u + static_cast<uint64_t>(next++), last == 0 ? 0 : 1}))
            << "cur_seq 0 tells no gap";
    }

    // In a dynamic queue the session moves with the tail, onto a node it never took.
    const int32_t d = dyn(4, 2);  // 5 nodes, tail 3
    ASSERT_GE(d, 0);
    const int32_t t = f().create_session(d);
    writes(d, 0xb10, 2);  // wr 1, tail 0
    EXPECT_EQ(peek(d, t).obj, 0xb10u) << "the scan starts at tail";
    write(d, 0xb12);
    EXPECT_EQ(status(d).sessions[t].pk, 1);
    EXPECT_EQ(peek(d, t).obj, 0xb12u);
}

// Sessions that were never created: the writes do not move them along.
TEST_P(Sessions, DynamicSessionOutsideTheWindowJumpsToTheNewest) {
    const int32_t q = dyn(6, 2, 8, 0, 1, /*sharable=*/0);  // 7 nodes, window 2
    ASSERT_GE(q, 0);
    writes(q, 0xc00, 2);
    EXPECT_EQ(peeks(q, 9, 2), (std::vector<Peeked>{{0xc00, 0}, {0xc01, 0}}));
    writes(q, 0xc02, 5);  // window: nodes 5 and 6
    Peeked p;
    bounded(
        "a peek from outside the window", [&] { p = peek(q, 9); }, 2000ms);
    EXPECT_EQ(p, (Peeked{0xc06, 1}));
    EXPECT_EQ(status(q).sessions[9].pk, 6);
}

TEST_P(Sessions, DynamicWindowOfOneCountsEveryPositionInside) {
    const int32_t q = dyn(4, 1, 8, 0, 1, /*sharable=*/0);  // 5 nodes, wr == tail
    ASSERT_GE(q, 0);
    writes(q, 0xd00, 2);
    EXPECT_EQ(peek(q, 9).obj, 0xd01u);
    writes(q, 0xd02, 2);
    Peeked p;
    Blocked peeker = start([&] { p = peek(q, 9); });
    EXPECT_TRUE(peeker.still_blocked(200ms)) << "node 2, after the session's node, was emptied";
    writes(q, 0xd04, 3);
    EXPECT_TRUE(peeker.still_blocked(100ms));
    write(q, 0xd07);  // fills node 2 again
    require_finish(peeker, "the peek waiting inside the window");
    EXPECT_EQ(p, (Peeked{0xd07, 1}));
}

TEST_P(Sessions, DynamicPeekAfterResetScansTheWindow) {
    const int32_t q = dyn(6, 4);  // 7 nodes
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q);
    writes(q, 0xe00, 3);
    EXPECT_EQ(peeks(q, s, 2), (std::vector<Peeked>{{0xe00, 0}, {0xe01, 0}}))
        << "the scan starts at the oldest node written";
    ASSERT_EQ(f().reset_peek(q, s), 0);
    EXPECT_EQ(peek(q, s), (Peeked{0xe02, 0})) << "the first node after the one taken last";

    ASSERT_EQ(f().reset_peek(q, s), 0);
    writes(q, 0xe03, 5);
    EXPECT_EQ(peeks(q, s, 4), (std::vector<Peeked>{{0xe04, 1}, {0xe05, 0}, {0xe06, 0}, {0xe07, 0}}))
        << "from the oldest node of the window";

    // Nothing newer: all ones at once, with the diagnostic line, and the session unchanged.
    ASSERT_EQ(f().reset_peek(q, s), 0);
    clear_support_calls();
    const int64_t seq = f().cur_seq(q, s);
    Peeked p;
    bounded(
        "a scan that finds nothing", [&] { p = peek(q, s); }, 2000ms);
    EXPECT_EQ(p, (Peeked{kNone, -7})) << "no gap flag without a node";
    EXPECT_TRUE(debug_logged("peek queue [" + std::to_string(q) + "] session=" + std::to_string(s) +
                             " can not find data_available seek_cnt=[7], NEVER EVER OCCUR"));
    EXPECT_EQ(position(q, s), (Position{-1, seq, 7}));
}

BRENN_BOTH_FAMILIES(Sessions);

}  // namespace
}  // namespace brenn_test
