// What the engine tests share: a fixture over both families that can hand out a queue in a slot
// no earlier queue of this process used (numbering from 0 and tail 0, as in a fresh table),
// small probes of a queue's state, and bounded waits that end the program when a call never
// returns (a thread stuck in a queue wait cannot be joined, and its queue must not be freed
// under it).
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/families.h"

namespace brenn_test {

using namespace std::chrono_literals;

inline constexpr uint64_t kNone = BRENN_NO_HANDLE;

// One look-back step: its result and the handle it gave.
using Step = std::pair<int32_t, uint64_t>;

// Ends the program at once, removing the shared objects first so that the keys are left as
// they were found.
[[noreturn]] inline void give_up(const std::string &why) {
    std::fprintf(stderr, "%s: giving up on this test program\n", why.c_str());
    std::fflush(nullptr);
    remove_shared_objects();
    std::_Exit(1);
}

inline void require_finish(Blocked &b, const std::string &what,
                           std::chrono::milliseconds limit = 5000ms) {
    if (b.finishes(limit)) return;
    ADD_FAILURE() << what << " did not return within " << limit.count() << " ms";
    give_up(what + " never returned");
}

// Aborts the whole program after `seconds`, cleaning the shared keys.
inline bool arm_engine_watchdog(unsigned seconds) {
    std::thread([seconds] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        give_up("watchdog: still running after " + std::to_string(seconds) + " s");
    }).detach();
    return true;
}

struct Peeked {
    uint64_t obj = 0;
    int32_t gap = -7;  // stays -7 when the peek does not write the gap flag
};

class EngineTest : public FamilyTest {
  protected:
    void TearDown() override {
        if (!f().shared) {
            for (int32_t q : fresh_) {
                if (f().node_num(q) >= 0) f().free_queue(q);
            }
        }
        fresh_.clear();
        FamilyTest::TearDown();
    }

    // A plain queue in a slot that no queue of this process has used: its first write gets
    // seq 0 and its tail is 0. Shared slots are fresh anyway (the segment is made per test);
    // local ones are taken from slot 16 upwards, above what the other tests reach.
    int32_t fresh(uint32_t size, int32_t max_sessions = 8, int32_t reserve = 0,
                  int32_t no_block = 1, int32_t sharable = 1) {
        if (f().shared) return alloc(size, max_sessions, reserve, no_block, sharable);
        static int32_t first_unused = 16;
        std::vector<int32_t> below;
        int32_t q;
        while ((q = f().alloc_queue(size, max_sessions, reserve, no_block, sharable)) >= 0 &&
               q < first_unused) {
            below.push_back(q);
        }
        for (int32_t p : below)
            f().free_queue(p);
        if (q >= 0) {
            first_unused = q + 1;
            fresh_.push_back(q);
        }
        return q;
    }

    QueueStatus status(int32_t q) {
        QueueStatus st{};
        EXPECT_EQ(f().queue_status(q, &st), 0);
        return st;
    }

    // The seq of node wr, as a session created now sees it (-1 when nothing was written).
    int64_t newest_seq(int32_t q) {
        const int32_t s = f().create_session(q);
        if (s < 0) {
            ADD_FAILURE() << "no free session on queue " << q;
            return -2;
        }
        const int64_t seq = f().cur_seq(q, s);
        f().destroy_session(q, s);
        return seq;
    }

    uint64_t write(int32_t q, uint64_t obj, int64_t ts = 0) {
        uint64_t back = 0xbad;
        EXPECT_EQ(f().write(q, obj, &back, ts), 0);
        return back;
    }
    uint64_t read(int32_t q) {
        uint64_t obj = 0xbad;
        EXPECT_EQ(f().read(q, &obj), 0);
        return obj;
    }
    Peeked peek(int32_t q, int32_t s) {
        Peeked p;
        EXPECT_EQ(f().peek(q, s, &p.obj, &p.gap), 0);
        return p;
    }
    Step step(int32_t q, int32_t s) {
        uint64_t obj = 0xbad;
        const int32_t r = f().look_back(q, s, &obj);
        return {r, obj};
    }

  private:
    std::vector<int32_t> fresh_;
};

}  // namespace brenn_test
