// The diagnostic dumps, byte for byte. The local dump appends whole lines to the caller's buffer
// while each fits with its terminating zero, skips nodes without a handle and marks tail '$'
// and wr '^'; the shared dump prints every node and marks those after tail up to wr with '*'.
// The time text is this program's make_time_string2: "t" and the timestamp.
#include "engine/scenario.h"

using namespace brenn_test;

const Row kRows[] = {
    {"[a fresh plain queue: a local line of L characters goes in only while L is below the room "
     "left, a later shorter one still may; the shared dump prints every node] plain 4; "
     "L: dump #0 80; L: dump #1 79; L: dump #1 52; L: dump #2 51; L: dump #2 29; "
     "L: dump #3 28; L: dump #3 1; L: dump #3 0; S: dump #4; S: tim -> 0,0,0,0",
     {"total node num=4,wr=-1, pk[0]=-1,pk[1]=-1,pk[2]=-1\n\tdynamic=NO, tail=0, size=0\n",
      "total node num=4,wr=-1, pk[0]=-1,pk[1]=-1,pk[2]=-1\n", "\tdynamic=NO, tail=0, size=0\n",
      "<untouched>",
      "total node num=4,wr=-1\n\tdynamic=NO, tail=0, size=3\n"
      "    0-FFFFFFFFFFFFFFFF(-1)[ts=t0]\n*   1-FFFFFFFFFFFFFFFF(-1)[ts=t0]\n"
      "*   2-FFFFFFFFFFFFFFFF(-1)[ts=t0]\n*   3-FFFFFFFFFFFFFFFF(-1)[ts=t0]\n"}},
    {"[tail 6 and wr 1 of 8 nodes: sizes 4 (tail to wr) and 3 (after tail), and the markers; "
     "a local dump without room formats every node line all the same] dyn 7 4; "
     "wn 0xA0..0xA9@100+100; cs -> 0; L: dump #0; S: dump #1; "
     "tim -> 900,1000,300,400,500,600,700,800; L: dump #2 0; "
     "L: tim -> 900,1000,300,400,500,600,700,800",
     {"pk[0]=1\ntotal node num=8,wr=1, pk[0]=1,pk[1]=-1,pk[2]=-1\n"
      "\tdynamic=YES, tail=6, size=4\n    0-00000000000000A8(8)[ts=t900]\n"
      "^   1-00000000000000A9(9)[ts=t1000]\n    2-00000000000000A2(2)[ts=t300]\n"
      "    3-00000000000000A3(3)[ts=t400]\n    4-00000000000000A4(4)[ts=t500]\n"
      "    5-00000000000000A5(5)[ts=t600]\n$   6-00000000000000A6(6)[ts=t700]\n"
      "    7-00000000000000A7(7)[ts=t800]\n",
      "pk[0]=1\ntotal node num=8,wr=1\n\tdynamic=YES, tail=6, size=3\n"
      "*   0-00000000000000A8(8)[ts=t900]\n*   1-00000000000000A9(9)[ts=t1000]\n"
      "    2-00000000000000A2(2)[ts=t300]\n    3-00000000000000A3(3)[ts=t400]\n"
      "    4-00000000000000A4(4)[ts=t500]\n    5-00000000000000A5(5)[ts=t600]\n"
      "    6-00000000000000A6(6)[ts=t700]\n*   7-00000000000000A7(7)[ts=t800]\n",
      "<untouched>"}},
    {"[tail and wr on one node: '$' locally with size 1; "
     "shared size 0 with every node marked] dyn 3 1; wn 0x23..0x2A@100+100; L: dump #0; "
     "S: dump #1",
     {"total node num=4,wr=3, pk[0]=-1,pk[1]=-1,pk[2]=-1\n\tdynamic=YES, tail=3, size=1\n"
      "    0-0000000000000027(4)[ts=t500]\n    1-0000000000000028(5)[ts=t600]\n"
      "    2-0000000000000029(6)[ts=t700]\n$   3-000000000000002A(7)[ts=t800]\n",
      "total node num=4,wr=3\n\tdynamic=YES, tail=3, size=0\n"
      "*   0-0000000000000027(4)[ts=t500]\n*   1-0000000000000028(5)[ts=t600]\n"
      "*   2-0000000000000029(6)[ts=t700]\n*   3-000000000000002A(7)[ts=t800]\n"}},
    {"[wr above tail, then wr below it; nodes emptied by give-back writes keep their "
     "timestamps, and only the local dump skips them] dyn 3 2; w 0x50..0x51@100+100 -> -,-; "
     "L: dump #0; S: dump #1; w 0x52..0x54@300+100 -> 80,81,82; L: dump #2; S: dump #3",
     {"total node num=4,wr=1, pk[0]=-1,pk[1]=-1,pk[2]=-1\n\tdynamic=YES, tail=0, size=2\n"
      "$   0-0000000000000050(0)[ts=t100]\n^   1-0000000000000051(1)[ts=t200]\n",
      "total node num=4,wr=1\n\tdynamic=YES, tail=0, size=1\n"
      "    0-0000000000000050(0)[ts=t100]\n*   1-0000000000000051(1)[ts=t200]\n"
      "    2-FFFFFFFFFFFFFFFF(-1)[ts=t0]\n    3-FFFFFFFFFFFFFFFF(-1)[ts=t0]\n",
      "total node num=4,wr=0, pk[0]=-1,pk[1]=-1,pk[2]=-1\n\tdynamic=YES, tail=3, size=2\n"
      "^   0-0000000000000054(4)[ts=t500]\n$   3-0000000000000053(3)[ts=t400]\n",
      "total node num=4,wr=0\n\tdynamic=YES, tail=3, size=1\n"
      "*   0-0000000000000054(4)[ts=t500]\n    1-FFFFFFFFFFFFFFFF(-1)[ts=t200]\n"
      "    2-FFFFFFFFFFFFFFFF(-1)[ts=t300]\n    3-0000000000000053(3)[ts=t400]\n"}},
};

SCENARIO_TABLE(Dump, kRows)

// A free slot, freed or never allocated, gives one line (locally only with room for its zero);
// an id outside the table gives nothing, and so does the shared dump of a detached process.
TYPED_TEST(Dump, FreeSlotsAndRefusedIds) {
    using F = TypeParam;
    const int32_t q = this->alloc(4);
    F::free_queue(q);
    for (const int32_t id : {q, BRENN_SHARED_QUEUES - 1}) {
        const std::string line = "queue " + std::to_string(id) + " not allocated!\n";
        EXPECT_EQ(F::dump(id), line);
        const auto len = static_cast<int32_t>(line.size());
        if (!F::shared) {
            EXPECT_EQ(F::dump(id, len + 1) + F::dump(id, len), line + "<untouched>");
        }
    }
    for (const int32_t id : {-1, F::queue_count})
        EXPECT_EQ(F::dump(id), F::shared ? "" : "<untouched>") << id;
    if (!F::shared) return;
    const int32_t live = this->alloc(4);
    ASSERT_EQ(gsq_c_uninit(), 0);
    EXPECT_EQ(F::dump(live), "");
    ASSERT_EQ(gsq_c_init(), 0);
    EXPECT_NE(F::dump(live), "");
}
