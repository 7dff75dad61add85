// Look-back: the steps from the newest node back to tail or to an empty node, the queue frozen
// while a look-back is open, the replay of newer nodes after its end, a plain queue's tail as
// the index its slot held, and the calls that begin and end refuse.
#include "engine/scenario.h"

using namespace brenn_test;

const Row kRows[] = {
    {"[a full dynamic window steps back to tail, then peeks replay the newer nodes] dyn 5 5; "
     "w 1..8; cs -> 0; cur 0 -> 7; S: sem; lb 0 -> 6,1; da 0 -> 0,-4; cur 0 -> 7; "
     "lk 0 x5 -> 7/0,6/0,5/0,4/1,-/1; cur 0 -> 3; live 0 -> 0; le 0 -> 0; S: sem -> 1,1,0,0; "
     "use? 0 -> 1,0; da 0 -> 1,4; p 0 x4 -> 5/0,6/0,7/0,8/0; lb 0 -> 6,1; lk 0 x2 -> 7/0,6/0; "
     "le 0 -> 0; p 0 x2 -> 7/0,8/0; live 0 -> 6; da 0 -> 0,0"},
    {"[a plain ring steps back to tail, then stays on an empty node; "
     "handles stay in the nodes] plain 8 s=0; cs -> 0; lb 0 -> 8,2; lk 0 x2 -> -/-1,-/-1; "
     "le 0 -> 0; cur 0 -> -1; w 1..2; cs -> 1; w 3..4; p 1 -> 3/0; lb 0 -> 8,2; "
     "lk 0 x5 -> -/0,2/0,1/1,-/1,-/1; le 0 -> 0; pos 0 -> 0,0,0; use? 0 -> 1,0; r x3 -> 1,2,-"},
    {"[a plain queue's tail is the index its slot held: a step onto it answers 1 and a write "
     "moves a session sitting on it] dyn 4 2; w 1..4; free; plain 4; st -> -1,-1,2; w 5..8; "
     "cs -> 0; lb 0 -> 4,1; lk 0 x3 -> 7/1,6/0,5/0; le 0 -> 0; lb 0 -> 4,1; lk 0 -> 7/1; "
     "le 0 -> 0; pos 0 -> 2,6,0; w 9 -> 5; pos 0 -> -1,6,0; da 0 -> 1,1; p 0 -> 9/1"},
    {"[the steps compare no numbers: with tail outside the ring they go round the ring] dyn 6 "
     "3; w 1..9; free; plain 4; w 10..15; cs -> 0; lb 0 -> 4,1; "
     "lk 0 x5 -> 14/0,13/0,12/0,15/0,14/0; le 0 -> 0"},
    {"[an open look-back holds the writer until its end] plain 4; cs; w 1; lb 0 -> 4,1; w 2 &; "
     "lk 0 -> -/1; le 0 -> 0; join -> -; st -> -1,1,0"},
    {"[begin refuses a session already looking back; an end without a look-back open releases "
     "no lock; an end after the queue was freed and allocated again releases it] plain 4; cs; "
     "cs; w 1; S: sem; le 0 -> 0; S: sem -> 0,0,0,0; lb 0 -> 4,1; lb 0 -> -7,-7!-1; "
     "da 0 -> 0,-4; le 0 -> 0; le 0 -> 0; S: sem -> 1,1,0,0; da 0 -> 0,0; lb 1 -> 4,1; free; "
     "plain 4; le 1 -> 0; S: sem -> 1,1,0,0; w 2 -> -"},
};

SCENARIO_TABLE(LookBack, kRows)
