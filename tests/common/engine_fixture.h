// What the engine and window tests share: a fixture over both families that can hand out a
// queue in a slot no earlier queue of this process used (numbering from 0 and tail 0, as in a
// fresh table), and short forms of the calls whose results the tests compare.
#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "common/families.h"

namespace brenn_test {

using namespace std::chrono_literals;

inline constexpr uint64_t kNone = BRENN_NO_HANDLE;

// One look-back step: its result and the handle it gave.
using Step = std::pair<int32_t, uint64_t>;
using Steps = std::vector<Step>;
// What the data-available test answers: its result and the count.
using Available = std::pair<int32_t, int32_t>;

// Aborts the whole program after `seconds`, cleaning the shared keys.
inline bool arm_engine_watchdog(unsigned seconds) {
    return arm_watchdog(seconds);
}

struct Peeked {
    uint64_t obj = 0;
    int32_t gap = -7;  // stays -7 when the peek does not write the gap flag
    bool operator==(const Peeked &) const = default;
};
inline void PrintTo(const Peeked &p, std::ostream *os) {
    *os << "{obj 0x" << std::hex << p.obj << std::dec << ", gap " << p.gap << "}";
}

// A session's record as the queue status copies it, less what rarely changes.
struct Position {
    int32_t pk;
    int64_t cur_seq;
    uint64_t live_count;
    bool operator==(const Position &) const = default;
};
inline void PrintTo(const Position &p, std::ostream *os) {
    *os << "{pk " << p.pk << ", cur_seq " << p.cur_seq << ", live_count " << p.live_count << "}";
}

class EngineTest : public FamilyTest {
  protected:
    // A queue made by `make` in a slot that no queue of this process has used: its first write
    // gets seq 0 and a plain ring's tail is 0. Shared slots are fresh anyway (the segment is
    // made per test); local ones are taken from slot 16 upwards, above what the other tests
    // reach, while fillers hold every lower free slot.
    int32_t in_fresh_slot(const std::function<int32_t()> &make) {
        if (f().shared) return make();
        static int32_t first_unused = 16;
        std::vector<int32_t> fillers;
        int32_t x;
        while ((x = f().alloc_queue(32, 1, 0, 1, 1)) >= 0 && x < first_unused)
            fillers.push_back(x);
        if (x >= 0) f().free_queue(x);
        const int32_t q = make();
        for (int32_t p : fillers)
            f().free_queue(p);
        EXPECT_EQ(q, x) << "not the first unused slot";
        if (q >= 0) first_unused = q + 1;
        return q;
    }
    int32_t fresh(uint32_t size, int32_t max_sessions = 8, int32_t reserve = 0,
                  int32_t no_block = 1, int32_t sharable = 1) {
        return in_fresh_slot(
            [&] { return alloc(size, max_sessions, reserve, no_block, sharable); });
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
        EXPECT_EQ(f().destroy_session(q, s), 0);
        return seq;
    }

    Position position(int32_t q, int32_t s) {
        const QueueSession r = status(q).sessions[s];
        return {r.pk, r.cur_seq, r.live_count};
    }

    uint64_t write(int32_t q, uint64_t obj, int64_t ts = 0) {
        uint64_t back = 0xbad;
        EXPECT_EQ(f().write(q, obj, &back, ts), 0);
        return back;
    }
    // Writes the handles first .. first + n - 1.
    void writes(int32_t q, uint64_t first, int n) {
        for (int i = 0; i < n; ++i)
            write(q, first + i);
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
    std::vector<Peeked> peeks(int32_t q, int32_t s, int n) {
        std::vector<Peeked> out;
        for (int i = 0; i < n; ++i)
            out.push_back(peek(q, s));
        return out;
    }
    Available available(int32_t q, int32_t s) {
        int32_t count = 99;
        const int32_t r = f().data_available(q, s, &count);
        return {r, count};
    }

    // Look-back: begin stores what it reports in node_num and quarter_num.
    int32_t begin(int32_t q, int32_t s) {
        node_num = quarter_num = -9;
        return f().begin_look_back(q, s, &node_num, &quarter_num);
    }
    Step step(int32_t q, int32_t s) {
        uint64_t obj = 0xbad;
        const int32_t r = f().look_back(q, s, &obj);
        return {r, obj};
    }
    Steps steps(int32_t q, int32_t s, int n) {
        Steps out;
        for (int i = 0; i < n; ++i)
            out.push_back(step(q, s));
        return out;
    }
    // A whole look-back of `n` steps.
    Steps look_back(int32_t q, int32_t s, int n) {
        EXPECT_EQ(begin(q, s), 0);
        const Steps out = steps(q, s, n);
        EXPECT_EQ(f().end_look_back(q, s), 0);
        return out;
    }

    // Another thread taking and releasing the queue's lock: require_finish it before the queue
    // goes.
    Blocked lock_taker(int32_t q) {
        return start([this, q] {
            f().lock(q);
            f().unlock(q);
        });
    }

    int32_t node_num = -9, quarter_num = -9;
};

}  // namespace brenn_test
