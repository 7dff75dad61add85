// The queue tables: what allocation leaves in a slot (node and quarter counts, the dynamic tail,
// max_sessions, the sharable flag, numbering carried over), release, and the calls refused on
// an id outside the table, a free slot, a bad session id or a process that left the segment.
#include <algorithm>
#include <climits>

#include "engine/scenario.h"

using namespace brenn_test;

// Every call refused: -1, no handle, NULL, out-parameters untouched. P prefixes each statement.
// clang-format off
#define REFUSED_QUEUE(P)                                                                         \
    P "w 1 -> -!-1;" P "r -> -!-1;" P "look 0 -> -!-1;" P "ready -> -1;" P "cs -> -1;"           \
    P "sh 0 -> -1;" P "sh? -> -1;" P "rs 1 -> null/.;" P "cl -> null/.;" P "sbt 1000 -> 0;"      \
    P "st -> 0,0,0;" P "nc 20 -> -1;"
#define REFUSED_SESSION(P, S)                                                                    \
    P "ds " S " -> -1;" P "seek " S ";" P "rp " S " -> -1;" P "p " S " -> -/.;"                  \
    P "p " S " -h -> _/.;" P "cur " S " -> -1;" P "live " S " -> 0;"                             \
    P "lb " S " -> -7,-7!-1;" P "lk " S " -> -/-1;"
#define BAD_ID(ID)                                                                               \
    ID "; da 0 -> 0,-1; nn -> -1; S: rdy -> 0; free; lock -> -1; unlock -> -1; le 0 -> -1;"    \
    REFUSED_QUEUE("") REFUSED_SESSION("", "0")

const Row kRows[] = {
    {"[nodes of 32 bytes: node and quarter counts; a shared ring is capped at 256 nodes] "
     "plain 0 bytes=31 -> -1; plain 0 bytes=32; num -> 1,0,0; plain 0 bytes=100; num -> 3,0,0; "
     "plain 0 bytes=320; num -> 10,2,0; nn -> 10; L: plain 0 bytes=1000; L: num -> 31,7,0; "
     "S: plain 0 bytes=8224; S: num -> 256,64,0; plain 0 bytes=16384; L: num -> 512,128,0; "
     "S: num -> 256,128,0; cs -> 0; L: lb 0 -> 512,128; S: lb 0 -> 256,128; le 0 -> 0"},
    {"[a dynamic ring has k + 1 nodes and its tail leaves a window of min(w, k), at least 1] "
     "dyn 10 4; num -> 11,2,0; st -> -1,-1,7; w 1..5 -> -,-,-,-,1; dyn 10 20; st -> -1,-1,1; "
     "w 1..11 -> -,-,-,-,-,-,-,-,-,-,1; dyn 10 0; st -> -1,-1,10; w 1..2 -> -,1; dyn 10 -3; "
     "st -> -1,-1,10; w 1..2 -> -,1"},
    {"[the largest dynamic rings: a shared one of 255 nodes asked, a local one of more] "
     "S: dyn 255 3; S: num -> 256,64,0; S: st -> -1,-1,253; S: w 1..4 -> -,-,-,1; "
     "S: dyn 256 3 -> -1; L: dyn 300 2; L: num -> 301,75,0; L: st -> -1,-1,299; "
     "L: w 1..3 -> -,-,1"},
    {"[sharable is stored as 1 or 0; the numbering carries over to the slot's next queue until a "
     "shared reset] plain 4 s=5; sh? -> 1; w 1..3; free; plain 2 s=0; sh? -> 0; num -> 2,0,3; "
     "w 4; seqs -> 3,-1; S: reset -> 0; S: rdy -> 0; S: plain 2 -> 0; S: num -> 2,0,0; S: w 5; "
     "S: seqs -> 0,-1"},
    {"[a free slot refuses every queue call but the lock calls and keeps its node count, "
     "numbering and tail; release gives nothing back] plain 8; w 1; free; ret -> ; S: sem; "
     "da 0 -> 0,-2; da 127 -> 0,-2; nn -> 8; S: rdy -> 0;"
     REFUSED_QUEUE("") REFUSED_SESSION("", "0") REFUSED_SESSION("", "127")
     "le 0 -> 0; S: sem -> 0,0,0,0; lock -> 0; unlock -> 0; S: sem -> 1,1,0,0; plain 8; "
     "num -> 8,2,1; st -> -1,-1,0"},
    {"[an id below the table is refused by every call, without the lock] S: sem;"
     BAD_ID("id -1") BAD_ID("id -2147483648") "S: sem -> 0,0,0,0; con ->"},
    {"[an id past the table is refused by every call, without the lock] S: sem;"
     BAD_ID("L: id 1024; S: id 512") BAD_ID("id 2147483647") "S: sem -> 0,0,0,0; con ->"},
    {"[a session id outside 0 to 127 is refused by every session call] plain 4; w 1; S: sem; "
     "da -1 -> 0,-1; da 128 -> 0,-1; da 2147483647 -> 0,-1;"
     REFUSED_SESSION("", "-1") REFUSED_SESSION("", "128") REFUSED_SESSION("", "2147483647")
     "le -1 -> -1; le 128 -> -1; S: sem -> 0,0,0,0; num -> 4,1,1; st -> -1,0,0"},
    {"[a process that left the segment is refused everything, then finds its queue again] "
     "plain 8; w 1..3; S: uninit -> 0; S: uninit -> -1; S: reset -> -1; S: plain 4 -> -1; "
     "S: dyn 4 2 -> -1; S: free; S: sem; S: da 0 -> 0,-1; S: nn -> -1; S: rdy -> 0;"
     REFUSED_QUEUE("S: ") REFUSED_SESSION("S: ", "0")
     "S: lock -> -1; S: unlock -> -1; S: le 0 -> -1; S: sem -> 0,0,0,0; S: init -> 0; "
     "S: rdy -> 1; cs -> 0; w 4; p 0 -> 4/0; cur 0 -> 3; r x4 -> 1,2,3,4"},
};
// clang-format on

SCENARIO_TABLE(Table, kRows)

// A full table refuses; a freed slot is the next one given, also after refused allocations.
// The local release logs the bytes of the node array it frees, the shared one nothing.
TYPED_TEST(Table, FullTableGivesTheLowestFreedSlot) {
    using F = TypeParam;
    const auto released = [](int32_t q) {  // what the release of q logged
        F::free_queue(q);
        return joined(take(&Recorded::console), "|");
    };
    const auto line = [](int bytes) {
        return F::shared ? std::string() : "lsq_free queue 7, size=" + std::to_string(bytes);
    };
    EXPECT_EQ(F::gnode_size(), 32);
    for (int32_t i = 0; i <= F::queue_count; ++i)
        ASSERT_EQ(F::alloc_queue(32, 1, 0, 1, 1), i < F::queue_count ? i : -1);
    take(&Recorded::console);
    EXPECT_EQ(released(7), line(32));
    EXPECT_EQ(csv(F::node_num(7), F::node_num(8)), "1,1");  // a freed slot keeps its count
    if constexpr (F::shared) {
        EXPECT_EQ(gsq_c_ready(7) * 10 + gsq_c_ready(8), 1);  // 7 free, 8 not
    }
    EXPECT_EQ(F::alloc_queue(31, 1, 0, 1, 1), -1);
    // Node counts that are negative, too large for 32-bit bytes, or beyond a shared ring.
    for (int32_t k : {-1, INT_MIN, INT_MAX, INT_MAX / 16, F::shared ? 256 : -1})
        EXPECT_EQ(F::dynamic_alloc(k, 4, 1, 0, 1, 1), -1) << k;
    for (const auto &[size, bytes] : {std::pair{100u, 96}, std::pair{1000u, 992}}) {
        ASSERT_EQ(F::alloc_queue(size, 1, 0, 1, 1), 7);
        EXPECT_EQ(released(7), line(bytes));
    }
    ASSERT_EQ(F::dynamic_alloc(10, 4, 1, 0, 1, 1), 7);
    EXPECT_EQ(released(7), line(352));
    ASSERT_EQ(F::alloc_queue(320, 1, 0, 1, 1), 7);
    ASSERT_EQ(F::change_queue_size(7, 64), 0);
    take(&Recorded::console);
    EXPECT_EQ(released(7), line(64));
    EXPECT_EQ(released(-1) + released(F::queue_count), "");
    EXPECT_EQ(released(7), line(64)) << "a freed slot is released again";
    EXPECT_EQ(F::alloc_queue(64, 1, 0, 1, 1), 7);
    EXPECT_EQ(F::node_num(7), 2);
    EXPECT_EQ(F::alloc_queue(32, 1, 0, 1, 1), -1);
    for (int32_t i = 0; i < F::queue_count; ++i)
        F::free_queue(i);
}

// max_sessions above 128 is stored as 128, others as given; sessions stop at the limit.
TYPED_TEST(Table, MaxSessionsIsCappedAt128) {
    using F = TypeParam;
    const std::pair<int32_t, int32_t> cases[] = {{200, 128}, {128, 128}, {5, 5}, {0, 0}, {-3, -3}};
    for (const auto &[asked, stored] : cases) {
        const int32_t q = F::alloc_queue(320, asked, 0, 1, 1);
        QueueStatus st{};
        EXPECT_EQ(F::queue_status(q, &st), 0);
        EXPECT_EQ(st.max_sessions, stored);
        for (int32_t i = 0; i <= std::max(stored, 0); ++i)
            EXPECT_EQ(F::create_session(q), i < stored ? i : -1) << asked;
        F::free_queue(q);
    }
}
