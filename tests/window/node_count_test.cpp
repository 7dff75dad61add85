// Changing a running queue's node count: the newest nodes that hold something are packed at the
// start of the new ring, dropped handles go to olk_return oldest first, every session keeps its
// distance behind the writer, and a shrink waits for sessions that lag too far. The main
// reader and a dynamic window follow the change. Run on both families where they agree.
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "common/engine_fixture.h"
#include "common/support_calls.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_watchdog(50);

using Rels = std::vector<int64_t>;
using Lines = std::vector<std::string>;

// Write number `rel` (0 for the first write of a test queue) carries this handle.
uint64_t handle(int64_t rel) {
    return 0x1000 + static_cast<uint64_t>(rel);
}

std::vector<uint64_t> handles(const Rels &rels) {
    std::vector<uint64_t> h;
    for (int64_t r : rels)
        h.push_back(handle(r));
    return h;
}

class NodeCount : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        clear_support_calls();
    }

    // Writes handle(from) .. handle(from + count - 1), ts 1000 apart.
    void write_rel(int32_t q, int64_t from, int64_t count) {
        for (int64_t r = from; r < from + count; ++r)
            write(q, handle(r), 1000 * (r + 1));
    }

    // A plain ring of size / 32 nodes written `writes` times; base_ becomes the seq of write 0.
    int32_t plain_written(uint32_t size, int32_t writes) {
        const int32_t q = alloc(size);
        EXPECT_GE(q, 0);
        write_rel(q, 0, writes);
        base_ = newest_seq(q) - (writes - 1);
        return q;
    }

    // A new session placed `back` nodes behind wr by a look-back.
    int32_t session_at(int32_t q, int32_t back) {
        const int32_t s = f().create_session(q);
        EXPECT_GE(s, 0);
        for (const Step &st : look_back(q, s, back))
            EXPECT_GE(st.first, 0);
        return s;
    }

    // The write numbers the ring holds, oldest first and ending with the one at wr (so, after a
    // change, those at positions 0 .. wr), read back from wr by a look-back of a session of its
    // own; it stops at an empty node. Checks each handle against its write; the look-back's
    // quarter_num stays for the caller.
    Rels ring(int32_t q) {
        const int32_t wr = status(q).wr;
        const int32_t s = f().create_session(q);
        EXPECT_EQ(begin(q, s), 0);
        Rels newest_first;
        if (wr >= 0) newest_first.push_back(f().cur_seq(q, s) - base_);
        for (int32_t i = 1; wr >= 0 && i < node_num; ++i) {
            const int64_t before = f().cur_seq(q, s);
            const Step st = step(q, s);
            if (st.first < 0 || (st.second == kNone && f().cur_seq(q, s) == before)) break;
            const int64_t rel = f().cur_seq(q, s) - base_;
            EXPECT_EQ(st.second, handle(rel)) << "node with write " << rel;
            newest_first.push_back(rel);
        }
        EXPECT_EQ(f().end_look_back(q, s), 0);
        EXPECT_EQ(f().destroy_session(q, s), 0);
        return Rels(newest_first.rbegin(), newest_first.rend());
    }

    void expect_unchanged(int32_t q, const QueueStatus &before, const Rels &ring_before) {
        const QueueStatus after = status(q);
        EXPECT_EQ(std::memcmp(&after, &before, sizeof after), 0) << "positions or sessions moved";
        EXPECT_EQ(f().node_num(q), 8);
        EXPECT_EQ(ring(q), ring_before);
        EXPECT_EQ(console_lines(), Lines{});
        EXPECT_EQ(returned_handles(), std::vector<uint64_t>{});
    }

    int64_t base_ = 0;
};

// A refused count and the same count again leave the queue exactly as it was.
TEST_P(NodeCount, RefusedOrSameCountsChangeNothing) {
    const int32_t q = plain_written(8 * 32, 10);
    ASSERT_GE(q, 0);
    session_at(q, 3);
    const Rels ring_before = ring(q);
    ASSERT_EQ(ring_before, (Rels{2, 3, 4, 5, 6, 7, 8, 9}));
    const QueueStatus before = status(q);
    const int32_t freed = alloc(256);
    ASSERT_GE(freed, 0);
    f().free_queue(freed);
    clear_support_calls();
    EXPECT_EQ(f().change_queue_size(q, 256), 0);
    EXPECT_EQ(f().change_queue_size(q, 270), 0);                          // also 8 nodes
    std::vector<uint32_t> sizes = {0, 31};                                // no node at all
    if (f().shared) sizes.insert(sizes.end(), {1025 * 32, 0xFFFFFFFFu});  // beyond the node area
    for (uint32_t size : sizes)
        EXPECT_EQ(f().change_queue_size(q, size), -1) << "size " << size;
    for (int32_t id : {-1, f().queue_count, freed})
        EXPECT_EQ(f().change_queue_size(id, 512), -1) << "queue " << id;
    expect_unchanged(q, before, ring_before);
    if (!f().shared) {  // a local ring has no limit of 1024 nodes
        EXPECT_EQ(f().change_queue_size(q, 1025 * 32), 0);
        EXPECT_EQ(f().node_num(q), 1025);
    }
}

struct ChangeCase {
    const char *name;
    int32_t writes;
    uint32_t size;
    std::vector<int32_t> backs;  // sessions placed this many nodes behind wr, in order
    std::vector<int32_t> pks;    // their positions afterwards
    Lines console;
    Rels returned;
    int32_t wr, nodes, quarter;
    Rels ring;  // write numbers at positions 0 .. wr
};

TEST_P(NodeCount, PacksDropsAndMovesSessions) {
    // clang-format off
    const ChangeCase cases[] = {
        {"grow the wrapped ring of 8 to 16", 10, 512, {3, 0}, {4, 7},
         {"peek 6 map to 4(offset=3)", "0 new peek 4 obj=1006",
          "peek 1 map to 7(offset=0)", "1 new peek 7 obj=1009", "end resize.."},
         {}, 7, 16, 4, {2, 3, 4, 5, 6, 7, 8, 9}},
        {"shrink the wrapped ring of 8 to 4", 10, 128, {3}, {0},
         {"peek 6 map to 0(offset=3)", "0 new peek 0 obj=1006", "end resize.."},
         {2, 3, 4, 5}, 3, 4, 1, {6, 7, 8, 9}},
        {"empty nodes are squeezed out", 3, 512, {2, 0}, {0, 2},
         {"peek 0 map to 0(offset=2)", "0 new peek 0 obj=1000",
          "peek 2 map to 2(offset=0)", "1 new peek 2 obj=1002", "end resize.."},
         {}, 2, 16, 4, {0, 1, 2}},
    };
    // clang-format on
    for (const ChangeCase &c : cases) {
        SCOPED_TRACE(c.name);
        const int32_t q = plain_written(8 * 32, c.writes);
        ASSERT_GE(q, 0);
        std::vector<int32_t> sessions;
        std::vector<int64_t> seqs;
        for (int32_t back : c.backs) {
            sessions.push_back(session_at(q, back));
            seqs.push_back(f().cur_seq(q, sessions.back()));
        }
        clear_support_calls();
        EXPECT_EQ(f().change_queue_size(q, c.size), 0);
        EXPECT_EQ(console_lines(), c.console);
        EXPECT_EQ(returned_handles(), handles(c.returned));
        EXPECT_EQ(f().node_num(q), c.nodes);
        const QueueStatus st = status(q);
        EXPECT_EQ(st.wr, c.wr);
        EXPECT_EQ(ring(q), c.ring);
        EXPECT_EQ(quarter_num, c.quarter);
        for (size_t i = 0; i < sessions.size(); ++i) {
            EXPECT_EQ(st.sessions[sessions[i]].pk, c.pks[i]) << "session " << sessions[i];
            EXPECT_EQ(f().cur_seq(q, sessions[i]), seqs[i]);
            if (c.pks[i] >= c.wr) continue;
            // The next peek takes the node after the one the session had.
            EXPECT_EQ(peek(q, sessions[i]), (Peeked{handle(c.ring[c.pks[i] + 1]), 0}));
        }
        f().free_queue(q);
    }
}

// A session 5 nodes behind the writer would lose its node in a shrink to 4: the change waits.
// Catching up by peeking is not enough, since peeks wake nobody; the next read lets it go on.
TEST_P(NodeCount, ShrinkWaitsForALaggingSession) {
    const int32_t q = plain_written(8 * 32, 10);
    ASSERT_GE(q, 0);
    const int32_t s = session_at(q, 5);
    ASSERT_EQ(status(q).sessions[s].pk, 4);
    clear_support_calls();
    std::atomic<int32_t> rc{99};
    Blocked change = start([this, q, &rc] { rc = f().change_queue_size(q, 128); });
    EXPECT_TRUE(change.still_blocked(300ms)) << "the shrink did not wait for the session";

    // No ASSERT before the change has returned: it uses the queue.
    Peeked p[2];
    bounded("peeks during the shrink wait", [&] { p[0] = peek(q, s), p[1] = peek(q, s); });
    EXPECT_EQ(p[0].obj, handle(5));
    EXPECT_EQ(p[1], (Peeked{handle(6), 0}));
    EXPECT_TRUE(change.still_blocked(300ms)) << "the shrink went on without a write or read";
    EXPECT_EQ(f().node_num(q), 8);
    EXPECT_EQ(returned_handles(), std::vector<uint64_t>{});

    EXPECT_EQ(f().ready_to_read(q), 1);
    uint64_t got = 0;
    bounded("read during the shrink wait", [&] { got = read(q); });
    EXPECT_EQ(got, handle(8));  // node 0
    require_finish(change, "the shrink after the read");
    EXPECT_EQ(rc.load(), 0);
    EXPECT_EQ(returned_handles(), handles({2, 3, 4, 5}));
    EXPECT_EQ(console_lines(),
              (Lines{"peek 6 map to 0(offset=3)", "0 new peek 0 obj=1006", "end resize.."}));
    EXPECT_EQ(f().node_num(q), 4);
    const QueueStatus st = status(q);
    EXPECT_EQ(st.wr, 3);
    EXPECT_EQ(st.sessions[s].pk, 0);
    // The reader had taken write 8 only (now at position 2): it reads write 9, then goes round
    // to the unread writes 6 and 7 at positions 0 and 1, and stops before write 8 again.
    EXPECT_EQ(st.rd, 2);
    for (int64_t r : {9, 6, 7}) {
        ASSERT_EQ(f().ready_to_read(q), 1) << "before write " << r;
        EXPECT_EQ(read(q), handle(r));
    }
    EXPECT_EQ(f().ready_to_read(q), 0);
    bounded("peek after the shrink", [&] { p[0] = peek(q, s); });
    EXPECT_EQ(p[0], (Peeked{handle(7), 0}));
}

struct ReaderCase {
    const char *name;
    int32_t writes, reads, more_writes;
    uint32_t size;
    Rels next_reads, returned;
};

// The main reader stays behind the same node: it neither reads a kept node twice nor skips a
// kept node it had not read.
TEST_P(NodeCount, MainReaderReadsOn) {
    const ReaderCase cases[] = {
        {"grow with the writer wrapped past the reader", 8, 6, 2, 512, {6, 7, 8, 9}, {}},
        {"shrink drops the reader's node", 8, 3, 0, 128, {4, 5, 6, 7}, {0, 1, 2, 3}},
    };
    for (const ReaderCase &c : cases) {
        SCOPED_TRACE(c.name);
        const int32_t q = alloc(8 * 32);
        ASSERT_GE(q, 0);
        write_rel(q, 0, c.writes);
        for (int64_t r = 0; r < c.reads; ++r)
            ASSERT_EQ(read(q), handle(r));
        write_rel(q, c.writes, c.more_writes);
        clear_support_calls();
        ASSERT_EQ(f().change_queue_size(q, c.size), 0);
        EXPECT_EQ(returned_handles(), handles(c.returned));
        EXPECT_EQ(console_lines(), Lines{"end resize.."});
        const int64_t next = c.writes + c.more_writes;
        for (int64_t r : c.next_reads) {
            ASSERT_EQ(f().ready_to_read(q), 1) << "before write " << r;
            EXPECT_EQ(read(q), handle(r));
        }
        EXPECT_EQ(f().ready_to_read(q), 0);
        write_rel(q, next, 1);
        EXPECT_EQ(read(q), handle(next));
        f().free_queue(q);
    }
}

struct WindowCase {
    const char *name;
    uint32_t size;
    int32_t wr, window;
    Rels clean, returned;
};

// A dynamic window keeps its size where the new ring allows it (at most node_num - 1 nodes),
// ending at the new wr.
TEST_P(NodeCount, DynamicWindowFollows) {
    const WindowCase cases[] = {
        {"grow keeps the window of 4", 512, 3, 4, {6, 7, 8, 9}, {}},
        {"shrink to 3 nodes leaves a window of 2", 96, 2, 2, {8, 9}, {6}},
    };
    for (const WindowCase &c : cases) {
        SCOPED_TRACE(c.name);
        const int32_t q = dyn(7, 4);  // 8 nodes; after 10 writes nodes 6, 7, 0, 1 hold 6 to 9
        ASSERT_GE(q, 0);
        write_rel(q, 0, 10);
        clear_support_calls();
        ASSERT_EQ(f().change_queue_size(q, c.size), 0);
        EXPECT_EQ(returned_handles(), handles(c.returned));
        const int32_t m = f().node_num(q);
        const QueueStatus st = status(q);
        EXPECT_EQ(st.wr, c.wr);
        EXPECT_EQ(st.rd, -1);
        ASSERT_TRUE(st.tail >= 0 && st.tail < m) << "tail " << st.tail;
        EXPECT_EQ((st.wr + m - st.tail + 1) % m, c.window);
        int32_t count = 0;
        uint64_t *array = f().clean(q, &count);
        ASSERT_NE(array, nullptr);
        EXPECT_EQ(std::vector<uint64_t>(array, array + count), handles(c.clean));
        std::free(array);
        f().free_queue(q);
    }
}

// Sessions whose distance behind the writer the kept nodes cannot give lose their position and
// start over at their next peek.
TEST_P(NodeCount, SessionsBeyondTheKeptNodesLoseTheirPosition) {
    const int32_t q = dyn(7, 4);
    ASSERT_GE(q, 0);
    write_rel(q, 0, 4);                       // nodes 0..3, wr 3, tail 0
    const int32_t a = f().create_session(q);  // on node 3
    const int32_t b = session_at(q, 2);       // on node 1
    int32_t count = 0;
    std::free(f().clean(q, &count));
    ASSERT_EQ(count, 4);
    write_rel(q, 4, 1);  // the only node holding something: node 4
    ASSERT_EQ(f().change_queue_size(q, 512), 0);
    const QueueStatus st = status(q);
    EXPECT_EQ(st.wr, 0);
    EXPECT_EQ(st.sessions[a].pk, -1);
    EXPECT_EQ(st.sessions[b].pk, -1);
    Peeked p[2];
    bounded("peeks of sessions without position", [&] { p[0] = peek(q, a), p[1] = peek(q, b); });
    EXPECT_EQ(p[0], (Peeked{handle(4), 0}));
    EXPECT_EQ(p[1], (Peeked{handle(4), 1}));  // from write 1 to write 4
}

// A peek waiting on node 7 while the ring shrinks to 4 nodes chooses its node again in the new
// ring and takes the next write.
TEST_P(NodeCount, PeekWaitingAcrossAShrinkStaysInTheRing) {
    const int32_t q = plain_written(8 * 32, 7);  // nodes 0..6, wr 6
    ASSERT_GE(q, 0);
    const int32_t s = f().create_session(q);  // on node 6: its peek waits on node 7
    Peeked p;
    Blocked peeker = start([&] { p = peek(q, s); });
    ASSERT_TRUE(peeker.still_blocked(300ms));
    clear_support_calls();
    std::atomic<int32_t> rc{99};
    bounded("shrink under a waiting peek", [&] { rc = f().change_queue_size(q, 128); });
    EXPECT_EQ(rc.load(), 0);
    EXPECT_EQ(returned_handles(), handles({0, 1, 2}));
    EXPECT_EQ(console_lines(),
              (Lines{"peek 6 map to 3(offset=0)", "0 new peek 3 obj=1006", "end resize.."}));
    EXPECT_EQ(status(q).sessions[s].pk, 3);
    write_rel(q, 7, 1);  // lands on node 0 of the new ring
    require_finish(peeker, "the waiting peek after the write");
    EXPECT_EQ(p, (Peeked{handle(7), 0}));
    EXPECT_EQ(status(q).sessions[s].pk, 0);
}

BRENN_BOTH_FAMILIES(NodeCount);

class SharedNodeCount : public NodeCount {};

// Allocation caps a shared ring at 256 nodes; a change may use the whole node area of 1024.
TEST_P(SharedNodeCount, GrowsToTheWholeNodeArea) {
    const int32_t q = plain_written(256 * 32, 300);
    ASSERT_GE(q, 0);
    ASSERT_EQ(f().node_num(q), 256);
    ASSERT_EQ(f().change_queue_size(q, 32768), 0);
    EXPECT_EQ(f().node_num(q), 1024);
    EXPECT_EQ(status(q).wr, 255);
    Rels expected;
    for (int64_t r = 44; r < 300; ++r)
        expected.push_back(r);
    EXPECT_EQ(ring(q), expected);
    EXPECT_EQ(quarter_num, 256);
    // Fill places 256 to 1023 and wrap to place 0; a session follows every node in order.
    const int32_t s = f().create_session(q);
    write_rel(q, 300, 769);
    EXPECT_EQ(status(q).wr, 0);
    std::vector<Peeked> got(769);
    bounded("peeks over the grown ring", [&] {
        for (Peeked &p : got)
            f().peek(q, s, &p.obj, &p.gap);
    });
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], (Peeked{handle(300 + static_cast<int64_t>(i)), 0})) << "peek " << i;
    EXPECT_EQ(returned_handles(), std::vector<uint64_t>{});
}

INSTANTIATE_TEST_SUITE_P(Families, SharedNodeCount, ::testing::Values(&kShared), family_name);

class LocalNodeCount : public NodeCount {};

// The local change obtains the new array before it touches the queue: when the memory cannot be
// had it refuses, and the queue goes on as before.
TEST_P(LocalNodeCount, MemoryShortLeavesTheQueueAsItWas) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "an address-space limit does not mix with a sanitizer's allocator";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    GTEST_SKIP() << "an address-space limit does not mix with a sanitizer's allocator";
#endif
#endif
    const int32_t q = plain_written(8 * 32, 10);
    ASSERT_GE(q, 0);
    const int32_t s = session_at(q, 3);
    const Rels ring_before = ring(q);
    const QueueStatus before = status(q);
    clear_support_calls();

    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    ASSERT_GT(pages, 0);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (64u << 20);
    if (old.rlim_max != RLIM_INFINITY && tight.rlim_cur > old.rlim_max) GTEST_SKIP();
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    // Under an emulator the limit may not reach the program: then there is no shortage to
    // test.
    volatile size_t probe_size = 0xFFFFFFE0u;  // volatile: a 32-bit compiler refuses a constant
    if (void *probe = std::malloc(probe_size)) {
        std::free(probe);
        ASSERT_EQ(setrlimit(RLIMIT_AS, &old), 0);
        GTEST_SKIP() << "the address-space limit is not enforced here";
    }
    const int32_t rc = f().change_queue_size(q, 0xFFFFFFE0u);  // 134217727 nodes, 4 GiB
    ASSERT_EQ(setrlimit(RLIMIT_AS, &old), 0);
    EXPECT_EQ(rc, -1);
    expect_unchanged(q, before, ring_before);

    Peeked p;
    bounded("peek after the refused change", [&] { p = peek(q, s); });
    EXPECT_EQ(p.obj, handle(7));
}

INSTANTIATE_TEST_SUITE_P(Families, LocalNodeCount, ::testing::Values(&kLocal), family_name);

}  // namespace
}  // namespace brenn_test
