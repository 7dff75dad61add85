// Writing and the main reader: where writes land and how they are numbered, what a write
// hands back, what a slot carries over to its next queue, and the writer's back-pressure.
#include "engine/scenario.h"

using namespace brenn_test;

const Row kRows[] = {
    {"[the first write goes to node 0 with the slot's first number] plain 4; w 7 -> -; "
     "seqs -> 0,-1,-1,-1; objs -> 7,-,-,-; states -> weee; num -> 4,1,1"},
    {"[the main reader follows the writer over laps; look counts back from rd modulo the ring] "
     "plain 5 r=1 b; ready -> 0; w 1 -> -; ready -> 1; st -> -1,0,0; r -> 1; ready -> 0; "
     "look 0 -> 1; look 1 -> -; w 2..4 -> -,-,-; r x3 -> 2,3,4; st -> 3,3,0; "
     "w 5..9 -> -,1,2,3,4; states -> wwwww; r x5 -> 5,6,7,8,9; states -> rrrrr; look 0 -> 9; "
     "look 1 -> 8; look 6 -> 8; ready -> 0"},
    {"[a read waits for the write of the node after rd] plain 4; r &; w 1 -> -; join -> 1; "
     "r &; w 2 -> -; join -> 2"},
    {"[a blocking writer a whole ring ahead waits for the main reader; "
     "lag 0 overwrites] plain 4 r=1 b; w 1..4; w 5 &; r -> 1; join -> 1; st -> 0,0,0; "
     "w 6 -> 2; r x4 -> 6,3,4,5; ready -> 0"},
    {"[a reserve the lead still fits, or no_block, never waits] plain 4 b; "
     "w 1..5 -> -,-,-,-,1; r -> 5; plain 4 r=3; w 1..5 -> -,-,-,-,1"},
    {"[a read that takes the node ends the wait though the lead still exceeds the reserve] "
     "plain 4 r=3 b; w 1..4; w 5 &; r -> 1; join -> 1; r x3 -> 2,3,4"},
    {"[a dynamic write hands back the tail it evicts and keeps the window's size] dyn 4 1; "
     "w 1..6 -> -,1,2,3,4,5; st -> -1,0,0; dyn 4 2; w 1..6@100+1 -> -,-,1,2,3,4; st -> -1,0,4; "
     "dyn 4 4; w 1..6 -> -,-,-,-,1,2; st -> -1,0,2; ret ->"},
    {"[without a give-back pointer the evicted node keeps its handle until a write covers it] "
     "dyn 4 2; wn 1..3 -> 0,0,0; st -> -1,2,1; objs -> 1,2,3,-,-; w 4 -> 2; objs -> 1,-,3,4,-; "
     "w 5 -> 3; w 6 -> 4; objs -> 6,-,-,-,5; ret ->"},
    {"[only dynamic writes store their timestamp; emptying a node keeps it] plain 2; w 1@500; "
     "L: dump #0; S: dump #1; dyn 1 1; w 1@500; w 2@600; L: dump #2; S: dump #3",
     {"total node num=2,wr=0, pk[0]=-1,pk[1]=-1,pk[2]=-1\n\tdynamic=NO, tail=0, size=1\n"
      "$   0-0000000000000001(0)[ts=t0]\n",
      "total node num=2,wr=0\n\tdynamic=NO, tail=0, size=0\n"
      "*   0-0000000000000001(0)[ts=t0]\n*   1-FFFFFFFFFFFFFFFF(-1)[ts=t0]\n",
      "total node num=2,wr=1, pk[0]=-1,pk[1]=-1,pk[2]=-1\n\tdynamic=YES, tail=1, size=1\n"
      "$   1-0000000000000002(1)[ts=t600]\n",
      "total node num=2,wr=1\n\tdynamic=YES, tail=1, size=0\n"
      "*   0-FFFFFFFFFFFFFFFF(-1)[ts=t500]\n*   1-0000000000000002(1)[ts=t600]\n"}},
    {"[the numbering and tail carry over to the slot's next queue; "
     "a plain queue keeps the tail] dyn 6 3; w 1..9; st -> -1,1,6; free; plain 8; "
     "st -> -1,-1,6; w 10; num -> 8,2,10; st -> -1,0,6; free; plain 4; st -> -1,-1,6; w 11; "
     "cs -> 0; w 12; pos 0 -> 0,10,0; st -> -1,1,6; L: dump #0; S: dump #1; lb 0 -> 4,1; "
     "lk 0 x3 -> 11/0,-/1,-/1; le 0 -> 0; free; dyn 3 2; st -> -1,-1,2; w 13; num -> 4,1,13",
     {"pk[0]=0\ntotal node num=4,wr=1, pk[0]=0,pk[1]=-1,pk[2]=-1\n"
      "\tdynamic=NO, tail=6, size=0\n    0-000000000000000B(10)[ts=t0]\n"
      "^   1-000000000000000C(11)[ts=t0]\n",
      "pk[0]=0\ntotal node num=4,wr=1\n\tdynamic=NO, tail=6, size=-1\n"
      "*   0-000000000000000B(10)[ts=t0]\n*   1-000000000000000C(11)[ts=t0]\n"
      "    2-FFFFFFFFFFFFFFFF(-1)[ts=t0]\n    3-FFFFFFFFFFFFFFFF(-1)[ts=t0]\n"}},
    {"[a dynamic write gives nothing to olk_return: a shrink of a full window leaves the oldest "
     "kept node outside the window, where the next write covers it] dyn 3 3; w 1..3; "
     "nc 2 -> 0; ret -> 1; con -> end resize..; w 4 -> 3; ret -> ; cl -> [4]"},
    {"[a window of 0 that grows again leaves the node after wr outside, to be written over] dyn "
     "3 3; rs 0 -> [-,-,-]; w 1..4 -> -,-,-,-; rs 3 -> null/0; w 5 -> 2; ret -> ; cl -> [3,4,5]"},
    {"[a read waiting while the ring grows keeps its node: it takes it when the writer comes "
     "round] plain 4; w 1..4; r x4 -> 1,2,3,4; r &; nc 8 -> 0; w 5..8; w 9; join -> 9; "
     "st -> 0,0,0"},
    {"[a write waiting while the ring grows keeps its node: it writes where the read made room] "
     "plain 4 r=1 b; w 1..4; w 5 &; nc 8 -> 0; r -> 1; join -> 1; st -> 0,0,0; r x3 -> 2,3,4; "
     "ready -> 0"},
    {"[a read whose node a shrink drops waits for the node after rd in the new ring] plain 8; "
     "w 1..6; r x6; r &; nc 4 -> 0; st -> 3,3,0; w 7; join -> 7"},
    {"[the writer's test wraps in 32 bits: a reserve far below zero makes it wait] plain 4 "
     "r=-2147483648 b; w 1..4; w 5 &; r -> 1; join -> 1"},
    {"[size by time computes as signed arithmetic that wraps] dyn 3 3; "
     "w 1@-9223372036854774808; w 2@9223372036854775707; w 3@9223372036854775807; w 4@7; "
     "sbt 1000 -> -2"},
    {"[write and read lock once and wake once; look and ready only lock] plain 4; S: sem; w 1; "
     "S: sem -> 1,1,0,1; r; S: sem -> 1,1,0,1; look 0; ready; S: sem -> 2,2,0,0"},
};

SCENARIO_TABLE(WriteRead, kRows)
