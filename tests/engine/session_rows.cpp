// Peek sessions: what a peek takes and when it waits, the gap flag, handing out or sharing
// handles, the dynamic window test and scan, the peeks that take no node, the data-available
// test and the session slots. The shared family's rows also check the debug lines (its queue
// is 0).
#include "engine/scenario.h"

using namespace brenn_test;

#define NOTHING_NEWER \
    "peek queue [0] session=0 can not find data_available seek_cnt=[7], NEVER EVER OCCUR"

const Row kRows[] = {
    {"[waiting sessions are all woken by the write of their node and see every node in order] "
     "plain 4; cs -> 0; cs -> 1; pos 1 -> -1,-1,0; use? 1 -> 1,0; p 0 &; p 1 &; w 1; "
     "join -> 1/0; join -> 1/0; p 0 &; p 1 &; w 2; join -> 2/0; join -> 2/0; p 0 &; p 1 &; "
     "w 3; join -> 3/0; join -> 3/0; p 0 &; p 1 &; w 4; join -> 4/0; join -> 4/0; dbg; p 0 &; "
     "p 1 &; w 5 -> 1; join -> 5/0; join -> 5/0; cur 1 -> 4; live 1 -> 5; "
     "dbg -> peek queue [0] session =0 wait for 0(4)|peek queue [0] session =1 wait for 0(4)"},
    {"[a session that keeps up with a dynamic window sees every node, over laps] dyn 6 4; cs; "
     "w 1; p 0 -> 1/0; w 2..4; p 0 x3 -> 2/0,3/0,4/0; w 5..7; p 0 x3 -> 5/0,6/0,7/0; w 8..10; "
     "p 0 x3 -> 8/0,9/0,10/0; w 11..12; p 0 x2 -> 11/0,12/0; pos 0 -> 4,11,12"},
    {"[the gap flag tells skipped nodes; a new session starts on the newest node] plain 3; "
     "w 1..5; cs -> 0; cur 0 -> 4; w 6; p 0 -> 6/0; w 7..10; p 0 -> 10/1; pos 0 -> 0,9,2"},
    {"[a queue that is not sharable hands a handle out once; "
     "any nonzero flag shares it] plain 4 s=0; sh? -> 0; cs; cs; w 1..2; p 0 -> 1/0; "
     "p 1 -> -/0; pos 1 -> 0,0,1; sh 5 -> 0; sh? -> 5; p 0 -> 2/0; p 1 -> 2/0; pos 1 -> 1,1,2; "
     "r x2 -> -,2"},
    {"[a session not in use is refused on a sharable queue without the lock, accepted "
     "otherwise] plain 4; w 1; S: sem; p 5 -> -/.; p 5 -h -> _/.; da 5 -> 0,-3; "
     "S: sem -> 0,0,0,0; pos 5 -> -1,-1,0; sh 0; p 5 -> 1/0; live 5 -> 1"},
    {"[a peek without both pointers is refused before it waits or takes, under the lock] plain "
     "4 s=0; cs; S: sem; p 0 -h -> _/.; p 0 -g -> -/_; p 0 -h -g -> _/_; S: sem -> 3,3,0,0; "
     "w 1; p 0 -g -> -/_; p 0 -h -> _/.; objs -> 1,-,-,-; pos 0 -> -1,-1,0; p 0 -> 1/0; "
     "objs -> -,-,-,-"},
    {"[a dynamic peek without a position scans the window from tail; "
     "nothing newer: at once] dyn 6 4; cs; w 1..3; p 0 x2 -> 1/0,2/0; rp 0 -> 0; p 0 -> 3/0; "
     "rp 0; w 4..8 -> -,1,2,3,4; p 0 x4 -> 5/1,6/0,7/0,8/0; rp 0; S: sem; dbg; p 0 -> -/.; "
     "S: sem -> 1,1,0,0; p 0 -h -> _/.; S: sem -> 1,1,0,0; S: dbg -> " NOTHING_NEWER
     "|" NOTHING_NEWER "; pos 0 -> -1,7,7"},
    {"[a plain peek without a position waits at node 0, after a reset or a write on tail] plain "
     "4; cs; w 1; p 0 -> 1/0; rp 0 -> 0; pos 0 -> -1,0,1; p 0 &; w 2..5; join -> 5/0; w 6; "
     "pos 0 -> -1,4,2; da 0 -> 1,1; p 0 &; w 7..9; join -> 9/1"},
    {"[a write moves a dynamic session sitting on the tail onto the next node] dyn 4 2; cs; "
     "w 1..2; p 0 -> 1/0; w 3 -> 1; pos 0 -> 1,0,1; p 0 -> 3/0"},
    {"[the ninth slot moves too; a slot freed meanwhile stays] dyn 4 2 m=16; cs; cs; cs; cs; "
     "cs; cs; cs; cs; cs -> 8; w 1..2; p 8 -> 1/0; p 0 -> 1/0; ds 0; w 3 -> 1; "
     "pos 8 -> 1,0,1; pos 0 -> 0,0,1"},
    {"[a session outside the dynamic window jumps to the newest node] dyn 6 2 s=0; w 1..2; "
     "p 9 x2 -> 1/0,2/0; w 3..7; p 9 -> 7/1; pos 9 -> 6,6,3"},
    {"[in a window of one every position is inside: the peek waits on the emptied next node] "
     "dyn 4 1 s=0; w 1..2; p 9 -> 2/0; w 3..4; p 9 &; w 5..8; join -> 8/1"},
    {"[data available: the count to wr, and the codes of a session not in use or looking back] "
     "plain 8; cs; da 0 -> 0,0; w 1; da 0 -> 1,1; w 2; p 0 x2 -> 1/0,2/0; w 3..5; da 0 -> 1,3; "
     "p 0 x3 -> 3/0,4/0,5/0; da 0 -> 0,0; da 6 -> 0,-3; lb 0 -> 8,2; da 0 -> 0,-4; le 0 -> 0; "
     "da 0 -> 0,0; w 6; da 0 -> 1,1; da 0 -c -> 0,.; sh 0; da 6 -> 1,1"},
    {"[create takes the lowest free slot below max_sessions and counts anew; "
     "destroy frees one] plain 4 m=2; cs -> 0; cs -> 1; cs -> -1; w 1; p 0 -> 1/0; ds 0 -> 0; "
     "use? 0 -> 0,0; pos 0 -> 0,0,1; cs -> 0; pos 0 -> 0,0,0; ds 2 -> -1; ds 1 -> 0; cs -> 1"},
    {"[seek puts a session on the newest node and keeps its count] plain 8; cs; w 1..2; "
     "p 0 -> 1/0; w 3..4; seek 0; pos 0 -> 3,3,1; da 0 -> 0,0; w 5; p 0 -> 5/0"},
};

SCENARIO_TABLE(Sessions, kRows)
