// Kills at random points, shared family. A victim process runs every kind of shared operation
// (write, read, peek, look-back, resize, clean, node-count change, status, size by time) in a
// loop on queue A (semaphore set 0) while two survivor processes stream on queue B (queue 130,
// set 1): a writer that never runs more than 60 nodes ahead and a main reader that checks
// every handle. The victim is killed with SIGKILL after a random delay, again and again. After
// each kill:
//   - A's lock left taken (the victim died inside a locked section): B's stream must go on
//     while the dead process holds A; then B is drained and checked, gsq_c_reset must release
//     the lock, and A and B are allocated again and used from a fresh numbering;
//   - A's lock free: A must pass the invariant check of its records and go on without a
//     reset (the next victim works on it).
// BRENN_KILLS sets the number of kills (default 20), BRENN_SEED the delays.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <vector>

#include "campaigns/campaign_support.h"
#include "common/table_checks.h"
#include "support/olk.h"
#include "support/olk_standin.h"

namespace brenn_campaign {
namespace {

using namespace std::chrono_literals;
using brenn_test::child_result;
using brenn_test::exited_within;
using brenn_test::fork_child;

constexpr int32_t kSetKey0 = 0xff0061;
constexpr int32_t kQueueA = 0, kQueueB = 130;
constexpr int32_t kNodesB = 64;
constexpr uint64_t kStreamBase = 0xb0000000;
constexpr uint64_t kStreamEnd = 0xbeefbeefbeefULL;
constexpr uint64_t kAhead = kNodesB - 4;  // the writer never overtakes the reader

// What the processes tell each other, in a shared anonymous mapping made before the forks.
struct Control {
    std::atomic<uint64_t> b_written{0}, b_read{0}, b_damage{0};
    std::atomic<int> b_stop{0};
    std::atomic<int> victim_ready{0};
    std::atomic<uint64_t> victim_loops{0};
};

// A in set 0 and B in set 1: A first, then fillers up to 129, B at 130, fillers freed.
bool allocate_pair() {
    const int32_t a = gsq_c_dynamic_alloc(40, 24, 8, 0, 1, 1);
    std::vector<int32_t> fillers;
    for (int32_t q = 1; q < kQueueB; ++q)
        fillers.push_back(gsq_c_alloc_queue(32, 0, 0, 1, 1));
    const int32_t b = gsq_c_alloc_queue(kNodesB * 32, 0, 1, 0, 1);
    for (int32_t q : fillers)
        gsq_c_free_queue(q);
    return a == kQueueA && b == kQueueB;
}

// ---- the survivors on B -------------------------------------------------------------------

int b_writer(Control *c) {
    CHILD_CHECK(gsq_c_init() == 0, 2);
    uint64_t i = 0;
    for (;;) {
        const bool stop = c->b_stop.load() != 0;
        while (i - c->b_read.load() >= kAhead)
            std::this_thread::sleep_for(50us);
        CHILD_CHECK(gsq_c_write(kQueueB, stop ? kStreamEnd : kStreamBase + i, nullptr, 0) == 0, 3);
        if (stop) return 0;
        c->b_written.store(++i);
    }
}

int b_reader(Control *c) {
    CHILD_CHECK(gsq_c_init() == 0, 2);
    for (uint64_t expect = 0;; ++expect) {
        uint64_t obj = 0;
        CHILD_CHECK(gsq_read(kQueueB, &obj) == 0, 3);
        if (obj == kStreamEnd) return c->b_damage.load() == 0 ? 0 : 4;
        if (obj != kStreamBase + expect) c->b_damage.fetch_add(1);
        c->b_read.store(expect + 1);
    }
}

// ---- the victim on A ----------------------------------------------------------------------

// Runs until it is killed. Every result it can predict is checked; a wrong one ends it with a
// code of its own, which the harness reports (a killed victim ends by SIGKILL).
int victim(Control *c, uint64_t seed) {
    CHILD_CHECK(gsq_c_init() == 0, 2);
    Records r;
    CHILD_CHECK(records_of(true, kQueueA, &r), 3);
    const int32_t s0 = gsq_c_create_session(kQueueA);
    const int32_t s1 = gsq_c_create_session(kQueueA);
    CHILD_CHECK(s0 >= 0 && s1 >= 0, 4);
    Rng g(seed);
    uint64_t handle = (seed & 0xffff) << 32;
    int64_t ts = 1000;
    c->victim_ready.store(1);
    for (uint64_t loop = 0;; ++loop) {
        c->victim_loops.fetch_add(1, std::memory_order_relaxed);
        switch (g.below(10)) {
            case 0:
            case 1:
            case 2: {
                uint64_t back = 0;
                ts += 100;
                CHILD_CHECK(gsq_c_write(kQueueA, ++handle, &back, ts) == 0, 10);
                const QueueNode &newest = r.nodes[r.hdr->wr];
                CHILD_CHECK(newest.obj == handle, 11);
                CHILD_CHECK(static_cast<uint64_t>(newest.seq) + 1 == r.hdr->write_seq, 12);
                break;
            }
            case 3:
                if (VSQ_IS_READY_TO_READ(kQueueA) == 1) {
                    const int32_t next = (r.hdr->rd + 1) % r.hdr->node_num;
                    const uint64_t want = r.nodes[next].obj;
                    uint64_t obj = 0;
                    CHILD_CHECK(gsq_read(kQueueA, &obj) == 0 && obj == want, 13);
                }
                break;
            case 4: {
                const int32_t i = peek_would_take(r, s0);
                if (i == -2) {
                    gsq_c_seek(kQueueA, s0);
                    break;
                }
                const uint64_t want = i >= 0 ? r.nodes[i].obj : kNone;
                uint64_t obj = 0;
                int32_t gap = 0;
                CHILD_CHECK(gsq_c_peek(kQueueA, s0, &obj, &gap) == 0 && obj == want, 14);
                break;
            }
            case 5: {
                int32_t nn = 0, qn = 0;
                CHILD_CHECK(VSQ_BEGIN_LOOK_BACK(kQueueA, s1, &nn, &qn) == 0, 15);
                for (uint32_t k = g.below(8); k > 0; --k) {
                    uint64_t obj = 0;
                    if (VSQ_LOOK_BACK(kQueueA, s1, &obj) != 0) break;
                }
                CHILD_CHECK(VSQ_END_LOOK_BACK(kQueueA, s1) == 0, 16);
                break;
            }
            case 6: {
                int32_t count = 0;
                const int32_t n = r.hdr->node_num;
                const auto w = static_cast<int32_t>(g.below(static_cast<uint32_t>(n - 1)));
                std::free(gsq_c_resize(kQueueA, w, &count));
                CHILD_CHECK(count >= 0 && count < n, 17);
                break;
            }
            case 7: {
                int32_t count = -1;
                std::free(gsq_c_clean(kQueueA, &count));
                CHILD_CHECK(count >= 0, 18);
                break;
            }
            case 8: {
                // Both sessions on the newest node: neither holds a shrink back.
                gsq_c_seek(kQueueA, s0);
                gsq_c_seek(kQueueA, s1);
                const uint32_t m = 8 + g.below(57);
                CHILD_CHECK(gsq_c_change_queue_size(kQueueA, m * 32) == 0, 19);
                CHILD_CHECK(r.hdr->node_num == static_cast<int32_t>(m), 20);
                break;
            }
            default: {
                QueueStatus st;
                CHILD_CHECK(gsq_c_get_queue_status(kQueueA, &st) == 0, 21);
                CHILD_CHECK(gsq_c_get_q_size_by_time(kQueueA, 500) >= 0, 22);
                int32_t count = 0;
                gsq_c_is_data_available(kQueueA, s0, &count);
                break;
            }
        }
        if (loop % 64 == 0) {
            const std::string breach = invariant_breach(r);
            if (!breach.empty()) std::fprintf(stderr, "victim: %s\n", breach.c_str());
            CHILD_CHECK(breach.empty(), 23);
        }
    }
}

// ---- the harness --------------------------------------------------------------------------

struct Figures {
    int kills = 0, locked = 0, holder_was_victim = 0, recovered = 0, went_on = 0;
    int brackets_closed = 0, damage = 0;
    uint64_t victim_loops = 0, b_delivered = 0, b_during_locked = 0;
};

class Kills : public ::testing::Test {
  protected:
    void SetUp() override {
        gsq_c_destroy();
        brenn_test::remove_shared_objects();
        void *m = mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                       -1, 0);
        ASSERT_NE(m, MAP_FAILED);
        c_ = new (m) Control;
        ASSERT_EQ(gsq_c_create(), 0);
    }
    void TearDown() override {
        for (pid_t p : {victim_, writer_, reader_}) {
            if (p > 0) {
                kill(p, SIGKILL);
                waitpid(p, nullptr, 0);
            }
        }
        gsq_c_destroy();
        brenn_test::remove_shared_objects();
        munmap(c_, sizeof(Control));
        EXPECT_EQ(brenn_test::keys_listed_by_ipcs(), "") << "objects left behind";
    }

    void start_survivors() {
        c_->b_written.store(0);
        c_->b_read.store(0);
        c_->b_stop.store(0);
        writer_ = fork_child([this] { return b_writer(c_); }, 900);
        reader_ = fork_child([this] { return b_reader(c_); }, 900);
    }
    // Ends B's stream and checks that the reader got every handle in order.
    void stop_survivors() {
        c_->b_stop.store(1);
        EXPECT_EQ(child_result(writer_, 10s), 0) << "B's writer";
        EXPECT_EQ(child_result(reader_, 10s), 0) << "B's reader";
        writer_ = reader_ = -1;
        EXPECT_EQ(c_->b_damage.load(), 0u) << "B's reader got other handles than written";
        EXPECT_EQ(c_->b_read.load(), c_->b_written.load()) << "B lost nodes";
        fig_.b_delivered += c_->b_read.load();
    }
    bool survivors_alive() {
        return exited_within(writer_, 0ms) == -1 && exited_within(reader_, 0ms) == -1;
    }

    Control *c_ = nullptr;
    pid_t victim_ = -1, writer_ = -1, reader_ = -1;
    Figures fig_;
};

TEST_F(Kills, VictimKilledAtRandomPointsWhileAnotherQueueStreams) {
    setenv("OLK_LOG_QUIET", "1", 1);
    const uint64_t seed = campaign_seed();
    const auto kills = static_cast<int>(env_u64("BRENN_KILLS", 20));
    std::printf("kills: seed 0x%" PRIx64 " (replay with BRENN_SEED=0x%" PRIx64 "), %d kills\n",
                seed, seed, kills);
    static Watchdog dog(30, 3600, nullptr, brenn_test::remove_shared_objects);
    Rng g(seed);
    ASSERT_TRUE(allocate_pair());
    start_survivors();
    for (int k = 0; k < kills && !HasFailure(); ++k) {
        dog.beat();
        SCOPED_TRACE("kill " + std::to_string(k));
        c_->victim_ready.store(0);
        const uint64_t victim_seed = g.next();
        victim_ = fork_child([this, victim_seed] { return victim(c_, victim_seed); }, 60);
        const auto ready_by = std::chrono::steady_clock::now() + 5s;
        while (c_->victim_ready.load() == 0 && std::chrono::steady_clock::now() < ready_by)
            std::this_thread::sleep_for(100us);
        ASSERT_EQ(c_->victim_ready.load(), 1) << "the victim did not start";
        std::this_thread::sleep_for(std::chrono::microseconds(g.below(20000)));
        const pid_t dead = victim_;
        kill(dead, SIGKILL);
        const int end = child_result(dead, 5s);
        victim_ = -1;
        ASSERT_EQ(end, 128 + SIGKILL)
            << "the victim ended by itself: it found damage (code " << end << ")";
        ++fig_.kills;
        fig_.victim_loops += c_->victim_loops.exchange(0);
        ASSERT_TRUE(survivors_alive()) << "a survivor on B died";

        const int32_t set0 = vos_get_semaphore(kSetKey0, 250);
        ASSERT_GE(set0, 0);
        if (vos_is_lock(set0, kQueueA) == 1) {
            ++fig_.locked;
            if (olk_semaphore_holder(set0, kQueueA) == dead) ++fig_.holder_was_victim;
            // B goes on while the dead process holds A.
            const uint64_t before = c_->b_read.load();
            std::this_thread::sleep_for(100ms);
            const uint64_t during = c_->b_read.load() - before;
            fig_.b_during_locked += during;
            EXPECT_GE(during, 20u) << "B's stream stalled while A's lock was held";
            EXPECT_EQ(vos_is_lock(set0, kQueueA), 1) << "A's lock went free by itself";
            stop_survivors();
            ASSERT_EQ(gsq_c_reset(), 0);
            const int32_t set0_now = vos_get_semaphore(kSetKey0, 250);
            ASSERT_EQ(vos_is_lock(set0_now, kQueueA), 0) << "the reset left A's lock taken";
            ASSERT_TRUE(allocate_pair()) << "A and B cannot be allocated again after the reset";
            // A is used again from a fresh numbering.
            Records r;
            ASSERT_TRUE(records_of(true, kQueueA, &r));
            ASSERT_EQ(r.hdr->write_seq, 0u);
            uint64_t back = 1, obj = 0;
            ASSERT_EQ(gsq_c_write(kQueueA, 77, &back, 5), 0);
            ASSERT_EQ(gsq_read(kQueueA, &obj), 0);
            EXPECT_EQ(obj, 77u);
            EXPECT_EQ(r.nodes[r.hdr->wr].seq, 0);
            EXPECT_EQ(invariant_breach(r), "");
            start_survivors();
            ++fig_.recovered;
        } else {
            // A goes on without a reset: its records pass the check; the dead victim's sessions
            // are given up (an open look-back of the dead is closed).
            Records r;
            ASSERT_TRUE(records_of(true, kQueueA, &r));
            const std::string breach = invariant_breach(r);
            if (!breach.empty()) ++fig_.damage;
            EXPECT_EQ(breach, "") << "A's records after a kill outside a locked section";
            for (int32_t s = 0; s < 128; ++s) {
                if (r.hdr->sessions[s].looking_back != 0) {
                    EXPECT_EQ(VSQ_END_LOOK_BACK(kQueueA, s), 0);
                    ++fig_.brackets_closed;
                }
                if (r.hdr->sessions[s].in_use != 0) gsq_c_destroy_session(kQueueA, s);
            }
            ++fig_.went_on;
        }
    }
    stop_survivors();
    Records r;
    ASSERT_TRUE(records_of(true, kQueueA, &r));
    EXPECT_EQ(invariant_breach(r), "");
    std::printf(
        "kills: %d kills, %d inside a locked section (holder recorded as the dead "
        "victim: %d; recovered by the reset: %d), %d went on without a reset (%d "
        "look-back brackets of the dead closed), damage found %d; the victims ran %" PRIu64
        " operations; B delivered %" PRIu64 " nodes without a loss, %" PRIu64
        " of them while A's lock was held by a dead process\n",
        fig_.kills, fig_.locked, fig_.holder_was_victim, fig_.recovered, fig_.went_on,
        fig_.brackets_closed, fig_.damage, fig_.victim_loops, fig_.b_delivered,
        fig_.b_during_locked);
    EXPECT_EQ(fig_.recovered, fig_.locked);
    EXPECT_EQ(fig_.damage, 0);
}

}  // namespace
}  // namespace brenn_campaign
