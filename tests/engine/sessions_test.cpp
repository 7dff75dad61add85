// Peek sessions over both families: what a peek takes and when it waits, the gap flag, handing
// out or sharing handles, the dynamic window test and scan, refusals, the data-available codes
// and the session slots. The program defines log_Debug itself, so the library's peek
// diagnostics land here instead of in the support library.
#include <cstdarg>
#include <mutex>

#include "common/engine_fixture.h"

namespace {
std::mutex g_debug_mutex;
std::vector<std::string> g_debug_lines;
}  // namespace

extern "C" void log_Debug(const char *fmt, ...) {
    char line[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    std::lock_guard<std::mutex> hold(g_debug_mutex);
    g_debug_lines.emplace_back(line);
}

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_engine_watchdog(50);

void clear_debug() {
    std::lock_guard<std::mutex> hold(g_debug_mutex);
    g_debug_lines.clear();
}

bool debug_has(const std::string &line) {
    std::lock_guard<std::mutex> hold(g_debug_mutex);
    for (const std::string &l : g_debug_lines) {
        if (l == line) return true;
    }
    return false;
}

// Waits (bounded) until the library logged `line`.
bool wait_for_debug(const std::string &line, std::chrono::milliseconds limit = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (debug_has(line)) return true;
        std::this_thread::sleep_for(1ms);
    }
    return debug_has(line);
}

std::string wait_line(int32_t q, int32_t s, int32_t i, int32_t n) {
    return "peek queue [" + std::to_string(q) + "] session =" + std::to_string(s) + " wait for " +
           std::to_string(i) + "(" + std::to_string(n) + ")";
}

class Sessions : public EngineTest {};

TEST_P(Sessions, FirstPeekOfANewSessionWaitsForTheFirstWrite) {
    const int32_t q = alloc(4 * 32);
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q);
    ASSERT_EQ(s, 0);
    const QueueSession rec = status(q).sessions[s];
    EXPECT_EQ(rec.pk, -1);
    EXPECT_EQ(rec.cur_seq, -1);
    EXPECT_EQ(rec.in_use, 1);
    EXPECT_EQ(rec.live_count, 0u);
    clear_debug();
    Peeked p;
    Blocked peeker = start([&] { p = peek(q, s); });
    EXPECT_TRUE(peeker.still_blocked(200ms)) << "nothing written yet";
    EXPECT_TRUE(debug_has(wait_line(q, s, 0, 4)));
    write(q, 0x100);
    require_finish(peeker, "a peek after the first write");
    EXPECT_EQ(p.obj, 0x100u);
    EXPECT_EQ(p.gap, 0);
    EXPECT_EQ(f().live_count(q, s), 1u);
    EXPECT_EQ(f().cur_seq(q, s), newest_seq(q));
}

TEST_P(Sessions, WaitingSessionsSeeEveryNodeOfAPlainRingInOrder) {
    constexpr int32_t kNodes = 4;
    const int32_t q = fresh(kNodes * 32);
    ASSERT_GE(q, 0);
    const int32_t sessions[] = {f().create_session(q), f().create_session(q)};
    for (int i = 0; i < 3 * kNodes + 1; ++i) {
        clear_debug();
        Peeked got[2];
        Blocked peekers[2] = {start([&] { got[0] = peek(q, sessions[0]); }),
                              start([&] { got[1] = peek(q, sessions[1]); })};
        // Each peek is waiting on the node the write is about to fill.
        for (int32_t s : sessions) {
            EXPECT_TRUE(wait_for_debug(wait_line(q, s, i % kNodes, kNodes))) << "write " << i;
        }
        write(q, 0x200 + i);
        for (int k = 0; k < 2; ++k) {
            require_finish(peekers[k], "a waiting peek");
            EXPECT_EQ(got[k].obj, 0x200u + i);
            EXPECT_EQ(got[k].gap, 0);
            EXPECT_EQ(f().cur_seq(q, sessions[k]), i);
        }
    }
    EXPECT_EQ(f().live_count(q, sessions[1]), 3u * kNodes + 1);
}

TEST_P(Sessions, SessionsThatKeepUpWithADynamicWindowSeeEveryNode) {
    const int32_t q = dyn(6, 4);
    ASSERT_GE(q, 0);
    const int32_t a = f().create_session(q), b = f().create_session(q);
    int written = 0, taken = 0;
    for (int batch : {1, 3, 2, 3, 1, 3, 3, 2}) {  // each below the window
        for (int i = 0; i < batch; ++i)
            write(q, 0x300 + written++);
        for (int i = 0; i < batch; ++i, ++taken) {
            for (int32_t s : {a, b}) {
                const Peeked p = peek(q, s);
                EXPECT_EQ(p.obj, 0x300u + taken);
                EXPECT_EQ(p.gap, 0);
            }
        }
    }
    EXPECT_EQ(f().cur_seq(q, a), f().cur_seq(q, b));
    EXPECT_EQ(f().cur_seq(q, a), newest_seq(q));
    EXPECT_EQ(f().live_count(q, b), static_cast<uint64_t>(written));
}

TEST_P(Sessions, GapFlagTellsSkippedNodes) {
    // A ring of 3 in a fresh slot (tail 0): seq 5 lies in node 2.
    const int32_t q = fresh(3 * 32);
    ASSERT_GE(q, 0);
    for (int i = 0; i <= 4; ++i)
        write(q, 0x400 + i);
    const int32_t s = f().create_session(q);
    EXPECT_EQ(f().cur_seq(q, s), 4);
    write(q, 0x405);
    EXPECT_EQ(peek(q, s).obj, 0x405u);
    for (int i = 6; i <= 9; ++i)
        write(q, 0x400 + i);
    const Peeked p = peek(q, s);
    EXPECT_EQ(p.obj, 0x409u) << "node 0, after the session's node 2, now holds seq 9";
    EXPECT_EQ(p.gap, 1);
    EXPECT_EQ(f().cur_seq(q, s), 9);
    EXPECT_EQ(f().live_count(q, s), 2u);

    // A session whose last seq is 0 reports no gap whatever comes next. It sits on node 0,
    // which is tail: the next write takes its position away, so it looks at node 0 again.
    const int32_t z = fresh(3 * 32);
    ASSERT_GE(z, 0);
    const int32_t t = f().create_session(z);
    write(z, 0x500);
    EXPECT_EQ(peek(z, t).obj, 0x500u);
    ASSERT_EQ(f().cur_seq(z, t), 0);
    for (int i = 1; i <= 5; ++i)
        write(z, 0x500 + i);
    EXPECT_EQ(status(z).sessions[t].pk, -1);
    const Peeked after_zero = peek(z, t);
    EXPECT_EQ(after_zero.obj, 0x503u);
    EXPECT_EQ(after_zero.gap, 0) << "cur_seq 0 never reports a gap";
    EXPECT_EQ(peek(z, t).obj, 0x504u);
}

TEST_P(Sessions, SharableQueuesShareHandlesOthersHandThemOutOnce) {
    for (int32_t sharable : {1, 0}) {
        SCOPED_TRACE("sharable " + std::to_string(sharable));
        const int32_t q = alloc(4 * 32, 8, 0, 1, sharable);
        ASSERT_GE(q, 0);
        EXPECT_EQ(f().is_sharable(q), sharable);
        const int32_t a = f().create_session(q), b = f().create_session(q);
        write(q, 0x600);
        const int64_t seq = newest_seq(q);
        const Peeked first = peek(q, a), second = peek(q, b);
        EXPECT_EQ(first.obj, 0x600u);
        EXPECT_EQ(second.obj, sharable ? 0x600u : kNone);
        EXPECT_EQ(first.gap, 0);
        EXPECT_EQ(second.gap, 0);
        for (int32_t s : {a, b}) {
            EXPECT_EQ(f().cur_seq(q, s), seq);
            EXPECT_EQ(f().live_count(q, s), 1u);
        }
        EXPECT_EQ(read(q), sharable ? 0x600u : kNone) << "the main reader comes after them";
        f().free_queue(q);
    }
    // Any nonzero value counts as set, and is stored as given.
    const int32_t q = alloc(4 * 32, 8, 0, 1, 0);
    EXPECT_EQ(f().set_sharable(q, 5), 0);
    EXPECT_EQ(f().is_sharable(q), 5);
    const int32_t a = f().create_session(q), b = f().create_session(q);
    write(q, 0x610);
    EXPECT_EQ(peek(q, a).obj, 0x610u);
    EXPECT_EQ(peek(q, b).obj, 0x610u);
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
    std::vector<Peeked> got(std::size(refused));
    Blocked peeks = start([&] {
        for (size_t i = 0; i < std::size(refused); ++i) {
            got[i].gap = 42;
            f().peek(refused[i].q, refused[i].s, &got[i].obj, &got[i].gap);
            int32_t gap = 43;
            f().peek(refused[i].q, refused[i].s, nullptr, &gap);
        }
    });
    require_finish(peeks, "refused peeks while the queue is locked", 2000ms);
    for (size_t i = 0; i < std::size(refused); ++i) {
        EXPECT_EQ(got[i].obj, kNone) << "case " << i;
        EXPECT_EQ(got[i].gap, 42) << "case " << i;
    }
    Blocked locker = start([&] {
        f().lock(q);
        f().unlock(q);
    });
    EXPECT_TRUE(locker.still_blocked(100ms)) << "a refused peek released the lock";
    ASSERT_EQ(f().unlock(q), 0);
    require_finish(locker, "lock after the refused peeks");

    const QueueSession untouched = status(q).sessions[5];
    EXPECT_EQ(untouched.pk, -1);
    EXPECT_EQ(untouched.cur_seq, -1);
    EXPECT_EQ(untouched.live_count, 0u);
    EXPECT_EQ(peek(q, s).obj, 0x700u);
    // On a queue that is not sharable a session that was never created peeks like any other.
    ASSERT_EQ(f().set_sharable(q, 0), 0);
    const Peeked stranger = peek(q, 5);
    EXPECT_EQ(stranger.obj, 0x700u);
    EXPECT_EQ(stranger.gap, 0);
    EXPECT_EQ(f().live_count(q, 5), 1u);
}

TEST_P(Sessions, DataAvailableCountsAndCodes) {
    const int32_t q = fresh(8 * 32);
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q);
    auto available = [&](int32_t queue, int32_t session) {
        int32_t count = 99;
        const int32_t r = f().data_available(queue, session, &count);
        return std::make_pair(r, count);
    };
    using R = std::pair<int32_t, int32_t>;
    EXPECT_EQ(available(q, s), R(0, 0)) << "never written";
    write(q, 0x800);
    EXPECT_EQ(available(q, s), R(1, 1)) << "no position yet";
    write(q, 0x801);
    peek(q, s);
    peek(q, s);
    for (int i = 2; i <= 4; ++i)
        write(q, 0x800 + i);
    EXPECT_EQ(available(q, s), R(1, 3)) << "pk is wr - 3";
    for (int i = 0; i < 3; ++i)
        peek(q, s);
    EXPECT_EQ(available(q, s), R(0, 0)) << "took the newest";

    const int32_t freed = alloc(4 * 32);
    f().free_queue(freed);
    EXPECT_EQ(available(q, 128), R(0, -1));
    EXPECT_EQ(available(q, -1), R(0, -1));
    EXPECT_EQ(available(f().queue_count, s), R(0, -1));
    EXPECT_EQ(available(-1, s), R(0, -1));
    EXPECT_EQ(available(freed, 0), R(0, -2));
    EXPECT_EQ(available(q, 6), R(0, -3)) << "not in use on a sharable queue";
    int32_t n = 0, quarter = 0;
    ASSERT_EQ(f().begin_look_back(q, s, &n, &quarter), 0);
    EXPECT_EQ(available(q, s), R(0, -4));
    ASSERT_EQ(f().end_look_back(q, s), 0);
    EXPECT_EQ(available(q, s), R(0, 0));
    write(q, 0x805);
    EXPECT_EQ(available(q, s), R(1, 1));
    ASSERT_EQ(f().set_sharable(q, 0), 0);
    EXPECT_EQ(available(q, 6), R(1, 1)) << "any id counts on a queue that is not sharable";
}

TEST_P(Sessions, CreateTakesTheLowestFreeSlotBelowMaxSessions) {
    const int32_t q = alloc(4 * 32, /*max_sessions=*/2);
    ASSERT_GE(q, 0);
    EXPECT_EQ(f().create_session(q), 0);
    EXPECT_EQ(f().create_session(q), 1);
    EXPECT_EQ(f().create_session(q), -1);
    EXPECT_EQ(f().destroy_session(q, 0), 0);
    EXPECT_EQ(f().create_session(q), 0);
    EXPECT_EQ(f().destroy_session(q, -1), -1);
    EXPECT_EQ(f().destroy_session(q, 2), -1);
    EXPECT_EQ(f().destroy_session(q, 1), 0);

    const int32_t none = alloc(4 * 32, /*max_sessions=*/0);
    EXPECT_EQ(f().create_session(none), -1);
    const int32_t many = alloc(4 * 32, /*max_sessions=*/200);
    for (int32_t i = 0; i < BRENN_MAX_SESSIONS; ++i)
        ASSERT_EQ(f().create_session(many), i);
    EXPECT_EQ(f().create_session(many), -1);
}

TEST_P(Sessions, SeekSkipsEverythingWrittenSoFar) {
    const int32_t q = fresh(8 * 32);
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q);
    for (int i = 0; i < 3; ++i)
        write(q, 0x900 + i);
    f().seek(q, s);
    EXPECT_EQ(f().cur_seq(q, s), 2);
    EXPECT_EQ(f().live_count(q, s), 0u);
    int32_t count = 99;
    EXPECT_EQ(f().data_available(q, s, &count), 0);
    write(q, 0x903);
    const Peeked p = peek(q, s);
    EXPECT_EQ(p.obj, 0x903u);
    EXPECT_EQ(p.gap, 0);
}

TEST_P(Sessions, ResetPeekOnAPlainQueueWaitsAtNodeZero) {
    const int32_t q = fresh(4 * 32);
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q);
    for (int i = 0; i < 3; ++i)
        write(q, 0xa00 + i);
    for (int i = 0; i < 3; ++i)
        peek(q, s);
    ASSERT_EQ(f().reset_peek(q, s), 0);
    const QueueSession rec = status(q).sessions[s];
    EXPECT_EQ(rec.pk, -1);
    EXPECT_EQ(rec.cur_seq, 2);
    EXPECT_EQ(rec.live_count, 3u);
    Peeked p;
    Blocked peeker = start([&] { p = peek(q, s); });
    EXPECT_TRUE(peeker.still_blocked(200ms)) << "node 0 holds nothing newer";
    write(q, 0xa03);
    EXPECT_TRUE(peeker.still_blocked(150ms)) << "node 3 is not the node the peek waits on";
    write(q, 0xa04);
    require_finish(peeker, "the peek waiting at node 0");
    EXPECT_EQ(p.obj, 0xa04u);
    EXPECT_EQ(p.gap, 1);
}

TEST_P(Sessions, WriteMovesASessionOffTheTailNode) {
    const int32_t q = fresh(4 * 32);  // tail 0
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q);
    write(q, 0xb00);
    peek(q, s);
    ASSERT_EQ(status(q).sessions[s].pk, 0);
    write(q, 0xb01);
    EXPECT_EQ(status(q).sessions[s].pk, -1);
    int32_t count = 99;
    EXPECT_EQ(f().data_available(q, s, &count), 1);
    EXPECT_EQ(count, 1);

    // In a dynamic queue it moves with the tail, onto a node it never took.
    const int32_t d = dyn(4, 2);  // 5 nodes, tail 3
    ASSERT_GE(d, 0);
    const int32_t t = f().create_session(d);
    write(d, 0xb10);
    write(d, 0xb11);  // wr 1, tail 0
    EXPECT_EQ(peek(d, t).obj, 0xb10u) << "the scan starts at tail";
    write(d, 0xb12);
    EXPECT_EQ(status(d).sessions[t].pk, 1);
    EXPECT_EQ(peek(d, t).obj, 0xb12u);
}

TEST_P(Sessions, DynamicSessionOutsideTheWindowJumpsToTheNewest) {
    const int32_t q = dyn(6, 2, 8, 0, 1, /*sharable=*/0);  // 7 nodes, window 2
    ASSERT_GE(q, 0);
    constexpr int32_t s = 9;  // never created: the writes do not move it along
    write(q, 0xc00);
    write(q, 0xc01);
    EXPECT_EQ(peek(q, s).obj, 0xc00u);
    EXPECT_EQ(peek(q, s).obj, 0xc01u);
    for (int i = 2; i <= 6; ++i)
        write(q, 0xc00 + i);  // window: nodes 5 and 6
    Peeked p;
    Blocked peeker = start([&] { p = peek(q, s); });
    require_finish(peeker, "a peek from outside the window", 2000ms);
    EXPECT_EQ(p.obj, 0xc06u);
    EXPECT_EQ(p.gap, 1);
    EXPECT_EQ(status(q).sessions[s].pk, 6);
}

TEST_P(Sessions, DynamicWindowOfOneCountsEveryPositionInside) {
    const int32_t q = dyn(4, 1, 8, 0, 1, /*sharable=*/0);  // 5 nodes, wr == tail
    ASSERT_GE(q, 0);
    constexpr int32_t s = 9;
    write(q, 0xd00);
    write(q, 0xd01);
    EXPECT_EQ(peek(q, s).obj, 0xd01u);
    write(q, 0xd02);
    write(q, 0xd03);
    Peeked p;
    Blocked peeker = start([&] { p = peek(q, s); });
    EXPECT_TRUE(peeker.still_blocked(200ms)) << "node 2, after the session's node, was emptied";
    for (int i = 4; i <= 6; ++i)
        write(q, 0xd00 + i);
    EXPECT_TRUE(peeker.still_blocked(100ms));
    write(q, 0xd07);  // fills node 2 again
    require_finish(peeker, "the peek waiting inside the window");
    EXPECT_EQ(p.obj, 0xd07u);
    EXPECT_EQ(p.gap, 1);
}

TEST_P(Sessions, DynamicPeekAfterResetScansTheWindow) {
    const int32_t q = dyn(6, 4);  // 7 nodes
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q);
    for (int i = 0; i < 3; ++i)
        write(q, 0xe00 + i);
    EXPECT_EQ(peek(q, s).obj, 0xe00u) << "the oldest node written";
    EXPECT_EQ(peek(q, s).obj, 0xe01u);
    ASSERT_EQ(f().reset_peek(q, s), 0);
    Peeked p = peek(q, s);
    EXPECT_EQ(p.obj, 0xe02u) << "the first node after the one taken last";
    EXPECT_EQ(p.gap, 0);

    ASSERT_EQ(f().reset_peek(q, s), 0);
    for (int i = 3; i <= 7; ++i)
        write(q, 0xe00 + i);
    p = peek(q, s);
    EXPECT_EQ(p.obj, 0xe04u) << "the oldest node of the window";
    EXPECT_EQ(p.gap, 1);
    for (int i = 5; i <= 7; ++i)
        EXPECT_EQ(peek(q, s).obj, 0xe00u + i);

    // Nothing newer: all ones at once, with the diagnostic line, and the session unchanged.
    ASSERT_EQ(f().reset_peek(q, s), 0);
    clear_debug();
    const int64_t seq = f().cur_seq(q, s);
    p = Peeked{};
    Blocked peeker = start([&] { p = peek(q, s); });
    require_finish(peeker, "a scan that finds nothing", 2000ms);
    EXPECT_EQ(p.obj, kNone);
    EXPECT_EQ(p.gap, -7) << "no gap flag without a node";
    EXPECT_TRUE(debug_has("peek queue [" + std::to_string(q) + "] session=" + std::to_string(s) +
                          " can not find data_available seek_cnt=[7], NEVER EVER OCCUR"));
    EXPECT_EQ(f().cur_seq(q, s), seq);
    EXPECT_EQ(f().live_count(q, s), 7u);
}

BRENN_BOTH_FAMILIES(Sessions);

}  // namespace
}  // namespace brenn_test
