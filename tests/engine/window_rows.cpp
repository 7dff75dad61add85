// Window upkeep of dynamic queues (resize, clean) and the queue statistics (size by time,
// status). Many rows start from "dyn 10 4" (11 nodes, tail 7) written six times: wr 5, tail 2,
// handles 3 to 6 in nodes 2 to 5, nodes 0 and 1 emptied by the writes that gave 1 and 2 back.
// Size by time mostly uses five nodes: after five writes every node holds a timestamp.
#include "engine/scenario.h"

using namespace brenn_test;

const Row kRows[] = {
    {"[resize to node_num or more is refused before the lock, a negative window at all; "
     "node_num - 1 grows the window] dyn 10 4; rs -3 -> null/.; st -> -1,-1,7; "
     "w 1..6 -> -,-,-,-,1,2; S: sem; rs 11 -> null/.; rs 12 -> null/.; S: sem -> 0,0,0,0; "
     "rs -1 -> null/.; st -> -1,5,2; rs 10 -> null/0; st -> -1,5,7; "
     "objs -> -,-,3,4,5,6,-,-,-,-,-"},
    {"[resize to the window's size keeps it; to 0 hands the whole window back, then clean finds "
     "nothing and a grown window holds empty nodes] dyn 10 4; w 1..6; rs 4 -> null/0; "
     "st -> -1,5,2; rs 0 -> [3,4,5,6]; st -> -1,5,6; states -> eeeeeeeeeee; cl -> null/0; "
     "rs 2 -> null/0; st -> -1,5,4; cl -> [-,-]"},
    {"[a shrink drops the oldest nodes, a grow regains them empty, clean keeps the size; "
     "the next write gives back no buffer] dyn 10 4; w 1..6; rs 1 -> [3,4,5]; st -> -1,5,5; "
     "rs 3 -> null/0; st -> -1,5,3; cl -> [-,-,6]; st -> -1,5,3; cl -> [-,-,-]; w 7 -> -; "
     "st -> -1,6,4; cl -> [-,-,7]"},
    {"[clean hands back the window oldest first, empty nodes included, and keeps tail and wr] "
     "dyn 10 4; cl -> [-,-,-,-]; st -> -1,-1,7; w 1..6 -> -,-,-,-,1,2; cl -> [3,4,5,6]; "
     "st -> -1,5,2; objs -> -,-,-,-,-,-,-,-,-,-,-"},
    {"[a grown window takes back the handles that writes without give-back left, across the "
     "wrap] dyn 4 2; wn 1..7; st -> -1,1,0; rs 4 -> null/0; st -> -1,1,3; cl -> [4,5,6,7]"},
    {"[a plain queue, also in a slot that held a dynamic one, is left alone: resize answers "
     "NULL after the lock, clean stores 0] dyn 4 3; w 7..9; free; plain 8; w 1..3; S: sem; "
     "rs 1 -> null/.; rs 0 -> null/.; cl -> null/0; S: sem -> 3,3,0,0; st -> -1,2,0; "
     "r x3 -> 1,2,3"},
    {"[without out_count a plain queue's resize goes as always; "
     "a dynamic queue's is refused after the lock, and clean at once, with nothing changed] "
     "plain 4; S: sem; rs 1 -c -> null/.; S: sem -> 1,1,0,0; dyn 10 4; w 1..6; S: sem; "
     "rs 1 -c -> null/.; rs 8 -c -> null/.; S: sem -> 2,2,0,0; cl -c -> null/.; st -> -1,5,2; "
     "objs -> -,-,3,4,5,6,-,-,-,-,-"},
    {"[size by time: the run before the newest node, at most node_num - 1; "
     "a duration below 1 gives 0 without the lock; clean keeps the timestamps] dyn 4 4; "
     "w 1..7@100+100; sbt 150 -> 2; sbt 1000 -> 4; S: sem; sbt 0 -> 0; sbt -150 -> 0; "
     "S: sem -> 0,0,0,0; cl -> [4,5,6,7]; sbt 150 -> 2; sbt 1000 -> 4; S: sem -> 3,3,0,0; "
     "dyn 4 4; w 1..5@100+1; sbt 1 -> 1"},
    {"[a run ends at a step above 2000 (2000 goes on), at a later timestamp and at 0] dyn 4 4; "
     "w 1..2@700+100; w 3..5@2900+100; sbt 150 -> 3; dyn 4 4; w 1..2@1000+2000; "
     "w 3..4@3500+500; w 5@4100; sbt 900 -> 1; dyn 4 4; w 1@999; w 2@3000; w 3..4@3500+500; "
     "w 5@4100; sbt 900 -> 2; dyn 4 4; w 1@100; w 2@900; w 3..5@200+100; sbt 100 -> 2; "
     "dyn 4 4; w 1@100; w 2@0; w 3..5@300+100; sbt 100 -> 2"},
    {"[no estimate: a break right before the start node, a start node without timestamp, equal "
     "timestamps, nothing written, a ring of one node] dyn 4 4; w 1..2@100+100; w 3@600; "
     "w 4@500; w 5@700; sbt 100 -> 0; dyn 4 4; w 1..2@100+100; w 3@0; w 4..5@400+100; "
     "sbt 100 -> 0; dyn 4 4; w 1..3@100+100; w 4@0; w 5@500; sbt 100 -> 0; dyn 4 4; "
     "w 1..5@500; sbt 100 -> 0; dyn 4 4; sbt 150 -> 0; dyn 0 0; w 1..3@100+100; sbt 150 -> 0"},
    {"[a run across the wrap: 19 nodes from 1240 back to 1060] dyn 19 19; w 1..25@1010+10; "
     "sbt 20 -> 2; sbt 90 -> 9; sbt 1000 -> 19"},
    {"[status copies every session record under the lock, whatever max_sessions] plain 4 m=2; "
     "cs -> 0; w 1; p 0 -> 1/0; S: sem; pos 0 -> 0,0,1; S: sem -> 1,1,0,0; use? 0 -> 1,0; "
     "use? 1 -> 0,0; pos 127 -> -1,-1,0; st -> -1,0,0"},
};

SCENARIO_TABLE(Window, kRows)
