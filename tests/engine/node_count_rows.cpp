// Changing a running queue's node count. Most rows start from a plain ring of 8 nodes written
// ten times with handles 10 to 19 (seq 0 to 9): nodes 2 to 7 hold seq 2 to 7, nodes 0 and 1
// seq 8 and 9, wr 1; the fresh slot's tail is 0, where look-back steps stop with 1. The log
// lines show handles in hex (16 is "10").
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>

#include "engine/scenario.h"

using namespace brenn_test;

const Row kRows[] = {
    {"[the same count changes nothing; counts of 0 and shared counts above 1024 are refused; "
     "a local ring may grow past 1024; a freed queue is refused] plain 8; w 10..19; cs -> 0; "
     "lb 0 -> 8,2; lk 0 x3 -> 18/1,17/0,16/0; le 0 -> 0; nc 8 -> 0; ncb 270 -> 0; ncb 0 -> -1; "
     "ncb 31 -> -1; S: nc 1025 -> -1; S: ncb 0xFFFFFFFF -> -1; con -> ; ret -> ; "
     "num -> 8,2,10; seqs -> 8,9,2,3,4,5,6,7; pos 0 -> 6,6,0; st -> -1,1,0; L: nc 1025 -> 0; "
     "L: num -> 1025,256,10; free; nc 16 -> -1"},
    {"[a grow packs every kept node from position 0, keeps the distance behind the writer of "
     "each session in use (a destroyed one is left), gives nothing back and wakes nobody] plain "
     "8; w 10..19; cs -> 0; lb 0; lk 0 x3; le 0; cs -> 1; cs -> 2; ds 2 -> 0; S: sem; "
     "nc 16 -> 0; S: sem -> 1,1,0,0; con -> peek 6 map to 4(offset=3)|0 new peek 4 obj=10|peek "
     "1 map to 7(offset=0)|1 new peek 7 obj=13|end resize..; ret -> ; num -> 16,4,10; "
     "pos 0 -> 4,6,0; pos 1 -> 7,9,0; p 0 -> 17/0; w 20 -> -; "
     "seqs -> 2,3,4,5,6,7,8,9,10,-1,-1,-1,-1,-1,-1,-1"},
    {"[a shrink keeps the newest nodes and gives the dropped ones to olk_return, oldest first] "
     "plain 8; w 10..19; cs -> 0; lb 0; lk 0 x3; le 0; nc 4 -> 0; "
     "con -> peek 6 map to 0(offset=3)|0 new peek 0 obj=10|end resize..; ret -> 12,13,14,15; "
     "num -> 4,1,10; seqs -> 6,7,8,9; pos 0 -> 0,6,0; p 0 -> 17/0; w 20 -> 16"},
    {"[empty nodes are squeezed out; sessions keep their distance behind the writer] plain 8; "
     "w 10..12; cs -> 0; lb 0 -> 8,2; lk 0 x2 -> 11/0,10/1; le 0 -> 0; cs -> 1; nc 16 -> 0; "
     "con -> peek 0 map to 0(offset=2)|0 new peek 0 obj=A|peek 2 map to 2(offset=0)|1 new peek "
     "2 obj=C|end resize..; ret -> ; num -> 16,4,3; pos 0 -> 0,0,0; pos 1 -> 2,2,0; "
     "p 0 -> 11/0; w 13 -> -; seqs -> 0,1,2,3,-1,-1,-1,-1,-1,-1,-1,-1,-1,-1,-1,-1"},
    {"[a shrink to M waits for a session M behind the writer; "
     "a peek that catches up does not wake it, the next read does] plain 8; w 10..19; cs -> 0; "
     "lb 0 -> 8,2; lk 0 x4 -> 18/1,17/0,16/0,15/0; le 0 -> 0; nc 4 &; p 0 -> 16/0; "
     "num -> 8,2,10; ret -> ; r -> 18; join -> 0; ret -> 12,13,14,15; "
     "con -> peek 6 map to 0(offset=3)|0 new peek 0 obj=10|end resize..; num -> 4,1,10; "
     "pos 0 -> 0,6,1; r x3 -> 19,16,17; ready -> 0; p 0 -> 17/0"},
    {"[the main reader stays behind its node: after a grow it reads on; "
     "a shrink that drops its node sends it to the oldest kept one] plain 8; w 0..7; "
     "r x6 -> 0,1,2,3,4,5; w 8..9; nc 16 -> 0; con -> end resize..; ret -> ; r x4 -> 6,7,8,9; "
     "ready -> 0; w 10; r -> 10; plain 8; w 0..7; r x3 -> 0,1,2; nc 4 -> 0; ret -> 0,1,2,3; "
     "r x4 -> 4,5,6,7; ready -> 0; w 8; r -> 8"},
    {"[a dynamic window keeps its size where the new ring allows it, ending at the new wr] dyn "
     "7 4; w 0..9 -> -,-,-,-,0,1,2,3,4,5; nc 16 -> 0; ret -> ; st -> -1,3,0; cl -> [6,7,8,9]; "
     "dyn 7 4; w 0..9; nc 3 -> 0; ret -> 6; st -> -1,2,1; cl -> [8,9]; objs -> 7,-,-"},
    {"[sessions whose distance the kept nodes cannot give lose their position and start over] "
     "dyn 7 4; w 0..3; cs -> 0; cs -> 1; lb 1 -> 8,2; lk 1 x2 -> 2/0,1/0; le 1 -> 0; "
     "cl -> [0,1,2,3]; w 4 -> -; nc 16 -> 0; pos 0 -> -1,3,0; pos 1 -> -1,1,0; p 0 -> 4/0; "
     "p 1 -> 4/1"},
    {"[a peek waiting across a shrink chooses its node in the new ring] plain 8; w 10..16; "
     "cs -> 0; p 0 &; nc 4 -> 0; ret -> 10,11,12; con -> peek 6 map to 3(offset=0)|0 new peek 3 "
     "obj=10|end resize..; w 17 -> 13; join -> 17/0; pos 0 -> 0,7,1"},
    {"[a shared ring of 256 nodes grows to the whole node area of 1024 and wraps there] S: "
     "plain 256; S: w 0..299; S: nc 1024 -> 0; S: con -> end resize..; S: ret -> ; "
     "S: num -> 1024,256,300; S: cs -> 0; S: pos 0 -> 255,299,0; S: w 300..1066; "
     "S: w 1067..1068 -> -,44; S: p 0 x2 -> 300/0,301/0; S: lb 0 -> 1024,256; "
     "S: lk 0 x2 -> 1067/0,1066/0; S: le 0 -> 0"},
};

SCENARIO_TABLE(NodeCount, kRows)

// A local change obtains the new ring before it touches the queue: when the memory cannot be
// had (4 GiB under an address-space limit) it refuses and the queue goes on as before.
const Row kShortOfMemory[] = {
    {"[a change whose ring cannot be had is refused with the queue as it was] plain 8; "
     "w 10..19; cs -> 0; lb 0; lk 0 x3; le 0; ncb 0xFFFFFFE0 -> -1; con -> ; ret -> ; "
     "num -> 8,2,10; seqs -> 8,9,2,3,4,5,6,7; pos 0 -> 6,6,0; st -> -1,1,0; p 0 -> 17/0"},
};

TEST(LocalNodeCount, ShortOfMemory) {
    if (kSanitized) GTEST_SKIP() << "an address-space limit does not mix with a sanitizer";
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlimit old{}, tight{};
    ASSERT_TRUE(pages > 0 && getrlimit(RLIMIT_AS, &old) == 0);
    tight = old;
    tight.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (64u << 20);
    if (old.rlim_max != RLIM_INFINITY && tight.rlim_cur > old.rlim_max) GTEST_SKIP();
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    const std::shared_ptr<void> restore(nullptr, [old](void *) { setrlimit(RLIMIT_AS, &old); });
    volatile size_t probe_size = 0xFFFFFFE0u;  // volatile: a 32-bit compiler refuses a constant
    if (void *probe = std::malloc(probe_size)) {
        std::free(probe);
        GTEST_SKIP() << "the address-space limit is not enforced here (an emulator?)";
    }
    run_rows<Local>(kShortOfMemory);
}
