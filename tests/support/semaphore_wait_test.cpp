// vos_wait and vos_signal, and locks under contention, between threads and processes. A
// lost wake-up shows as a side that never finishes: every such wait has a deadline, after
// which the set is destroyed to free the sleepers and the test fails.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "olk.h"
#include "olk_standin.h"
#include "support_test_util.h"

namespace {

using support_test::BoundedThread;
using support_test::ForkChild;
using support_test::Key;
using support_test::KeyGuard;
using support_test::kSlowdown;
using support_test::SetGuard;
using support_test::WaitChild;
using support_test::WaitFor;
using namespace std::chrono_literals;

class WaitSignal : public support_test::KeyedTest {
  protected:
    void SetUp() override {
        support_test::UseKeyBlock(3);
        KeyedTest::SetUp();
    }
};

// Words shared with forked children, in a plain segment of their own.
struct Shared {
    uint32_t turn;
    uint32_t flag;
    uint64_t counter;
    uint32_t rounds[2];
};

class SharedWords {
  public:
    explicit SharedWords(int32_t key) : key_(key) {
        id_ = vos_create_shared_memory(key_.key(), sizeof(Shared));
        if (id_ >= 0) words_ = static_cast<Shared *>(vos_attach_shared_memory(id_));
    }
    ~SharedWords() {
        if (words_ != nullptr) vos_dettach_shared_memory(id_, words_);
    }
    SharedWords(const SharedWords &) = delete;
    SharedWords &operator=(const SharedWords &) = delete;
    Shared *get() const { return words_; }

  private:
    KeyGuard key_;
    int32_t id_ = -1;
    Shared *words_ = nullptr;
};

// Plain words read and written only under the semaphore: the lock alone must order them
// (ThreadSanitizer builds check that it does).
uint32_t Load(const uint32_t &w) {
    return w;
}
void Store(uint32_t &w, uint32_t v) {
    w = v;
}

// Waits for `turn == me` under the lock, hands the turn over and signals, `rounds` times.
// 0 when all went through; -1 when a call failed (the set was destroyed by a deadline).
int PlayTurns(int32_t set, int32_t index, uint32_t *turn, uint32_t me, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        if (vos_lock(set, index) != 0) return -1;
        while (Load(*turn) != me) {
            if (vos_wait(set, index) != 0) return -1;
        }
        Store(*turn, 1 - me);
        if (vos_signal(set, index) != 0) return -1;
        if (vos_unlock(set, index) != 0) return -1;
    }
    return 0;
}

TEST_F(WaitSignal, SignalWithNobodyAsleepIsHarmless) {
    KeyGuard key(Key(1));
    const int32_t set = vos_create_semaphore(key.key(), 2);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(vos_signal(set, 0), 0);
    EXPECT_EQ(vos_is_lock(set, 0), 0);
}

// While asleep the waiter does not hold the lock; it returns holding it again, with what
// the signaller wrote visible.
TEST_F(WaitSignal, WaitFreesTheLockAndReturnsHoldingIt) {
    KeyGuard key(Key(2));
    const int32_t set = vos_create_semaphore(key.key(), 1);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    uint32_t go = 0;
    std::atomic<bool> waiting{false};
    std::atomic<int> locked_after{-5};
    std::atomic<int32_t> holder_after{-5};
    std::atomic<int> failures{0};
    BoundedThread waiter([&] {
        if (vos_lock(set, 0) != 0) failures.fetch_add(1);
        waiting.store(true);
        while (Load(go) == 0) {
            if (vos_wait(set, 0) != 0) {
                failures.fetch_add(1);
                return;
            }
        }
        locked_after.store(vos_is_lock(set, 0));
        holder_after.store(olk_semaphore_holder(set, 0));
        if (vos_unlock(set, 0) != 0) failures.fetch_add(1);
    });
    ASSERT_TRUE(WaitFor([&] { return waiting.load() && vos_is_lock(set, 0) == 0; }))
        << "vos_wait kept the lock while asleep";
    EXPECT_EQ(olk_semaphore_holder(set, 0), 0);
    ASSERT_EQ(vos_lock(set, 0), 0);
    Store(go, 1);
    ASSERT_EQ(vos_signal(set, 0), 0);
    ASSERT_EQ(vos_unlock(set, 0), 0);
    if (!waiter.Join(10s)) {
        ADD_FAILURE() << "the waiter missed the signal";
        guard.Release();
        ASSERT_TRUE(waiter.Join(10s));
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(locked_after.load(), 1);
    EXPECT_EQ(holder_after.load(), static_cast<int32_t>(getpid()));
    EXPECT_EQ(vos_is_lock(set, 0), 0);
}

// One signal wakes every sleeper of the pair, not just one.
TEST_F(WaitSignal, OneSignalWakesEverySleeper) {
    KeyGuard key(Key(3));
    const int32_t set = vos_create_semaphore(key.key(), 2);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    constexpr int kSleepers = 4;
    uint32_t go = 0;
    std::atomic<int> arrived{0};
    std::atomic<int> woken{0};
    std::vector<std::unique_ptr<BoundedThread>> sleepers;
    for (int t = 0; t < kSleepers; ++t) {
        sleepers.push_back(std::make_unique<BoundedThread>([&] {
            if (vos_lock(set, 1) != 0) return;
            arrived.fetch_add(1);
            while (Load(go) == 0) {
                if (vos_wait(set, 1) != 0) return;
            }
            woken.fetch_add(1);
            vos_unlock(set, 1);
        }));
    }
    // Each sleeper counted itself under the lock before vos_wait read the event word, so a
    // signal given under the lock from now on reaches all of them.
    ASSERT_TRUE(WaitFor([&] { return arrived.load() == kSleepers; }));
    ASSERT_EQ(vos_lock(set, 1), 0);
    Store(go, 1);
    ASSERT_EQ(vos_signal(set, 1), 0);
    ASSERT_EQ(vos_unlock(set, 1), 0);
    const bool all = WaitFor([&] { return woken.load() == kSleepers; }, 10s);
    EXPECT_TRUE(all) << woken.load() << " of " << kSleepers << " woke";
    if (!all) guard.Release();
    for (auto &s : sleepers)
        EXPECT_TRUE(s->Join(10s));
}

// A signal given after the waiter freed the lock but before it went to sleep is not lost:
// signals here are given outside the lock, the widest window there is.
TEST_F(WaitSignal, SignalOutsideTheLockIsNotLost) {
    KeyGuard key(Key(4));
    const int32_t set = vos_create_semaphore(key.key(), 1);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    const int rounds = 20000 / kSlowdown;
    uint32_t posted = 0;
    std::atomic<int> failures{0};
    BoundedThread waiter([&] {
        for (int i = 1; i <= rounds; ++i) {
            if (vos_lock(set, 0) != 0) {
                failures.fetch_add(1);
                return;
            }
            while (Load(posted) < static_cast<uint32_t>(i)) {
                if (vos_wait(set, 0) != 0) {
                    failures.fetch_add(1);
                    return;
                }
            }
            vos_unlock(set, 0);
        }
    });
    BoundedThread poster([&] {
        for (int i = 1; i <= rounds; ++i) {
            if (vos_lock(set, 0) != 0) return;
            Store(posted, static_cast<uint32_t>(i));
            vos_unlock(set, 0);
            if (vos_signal(set, 0) != 0) return;
            // Let the waiter fall asleep again now and then, so both paths are taken.
            if (i % 64 == 0) std::this_thread::yield();
        }
    });
    const bool finished = waiter.Join(30s);
    EXPECT_TRUE(finished) << "a wake-up was lost";
    if (!finished) guard.Release();
    EXPECT_TRUE(waiter.Join(10s));
    EXPECT_TRUE(poster.Join(10s));
    EXPECT_EQ(failures.load(), 0);
}

// Two threads hand a turn back and forth; each waits for its turn under the lock. Any lost
// wake-up stops both for good.
TEST_F(WaitSignal, PingPongBetweenThreadsNeverStalls) {
    KeyGuard key(Key(5));
    const int32_t set = vos_create_semaphore(key.key(), 4);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    const int rounds = 20000 / kSlowdown;
    uint32_t turn = 0;
    std::atomic<int> results[2] = {{1}, {1}};
    BoundedThread a([&] { results[0].store(PlayTurns(set, 3, &turn, 0, rounds)); });
    BoundedThread b([&] { results[1].store(PlayTurns(set, 3, &turn, 1, rounds)); });
    const bool finished = a.Join(30s) && b.Join(5s);
    EXPECT_TRUE(finished) << "ping-pong stalled: a wake-up was lost";
    if (!finished) guard.Release();
    EXPECT_TRUE(a.Join(10s));
    EXPECT_TRUE(b.Join(10s));
    EXPECT_EQ(results[0].load(), 0);
    EXPECT_EQ(results[1].load(), 0);
}

// The same between two processes, the turn in a shared segment.
TEST_F(WaitSignal, PingPongBetweenProcessesNeverStalls) {
    KeyGuard key(Key(6));
    SharedWords words(Key(7));
    ASSERT_NE(words.get(), nullptr);
    const int32_t set = vos_create_semaphore(key.key(), 2);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    const int rounds = 5000 / kSlowdown;
    Shared *shared = words.get();
    const pid_t child =
        ForkChild([&] { return PlayTurns(set, 1, &shared->turn, 1, rounds) == 0 ? 0 : 1; });
    ASSERT_GT(child, 0);
    std::atomic<int> mine{1};
    BoundedThread player([&] { mine.store(PlayTurns(set, 1, &shared->turn, 0, rounds)); });
    const bool finished = player.Join(30s);
    EXPECT_TRUE(finished) << "ping-pong between processes stalled: a wake-up was lost";
    if (!finished) guard.Release();
    EXPECT_TRUE(player.Join(10s));
    EXPECT_EQ(WaitChild(child, 10s), 0);
    EXPECT_EQ(mine.load(), 0);
}

// A child waits for a flag; this process, which never saw the set before, finds it by key,
// sets the flag and signals.
TEST_F(WaitSignal, ChildWaitsParentSignals) {
    KeyGuard key(Key(8));
    SharedWords words(Key(9));
    ASSERT_NE(words.get(), nullptr);
    Shared *shared = words.get();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = ForkChild([&] {
        close(ready[0]);
        const int32_t set = vos_create_semaphore(key.key(), 3);
        if (set < 0) return 1;
        if (vos_lock(set, 2) != 0) return 2;
        const char c = 'r';
        if (write(ready[1], &c, 1) != 1) return 3;
        while (Load(shared->flag) == 0) {
            if (vos_wait(set, 2) != 0) return 4;
        }
        if (Load(shared->flag) != 77) return 5;
        return vos_unlock(set, 2) == 0 ? 0 : 6;
    });
    close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    close(ready[0]);
    const int32_t set = vos_get_semaphore(key.key(), 3);
    SetGuard guard(set);
    ASSERT_GE(set, 0) << std::strerror(errno);
    ASSERT_EQ(vos_lock(set, 2), 0);  // the child is asleep in vos_wait now
    Store(shared->flag, 77);
    ASSERT_EQ(vos_signal(set, 2), 0);
    ASSERT_EQ(vos_unlock(set, 2), 0);
    const int code = WaitChild(child, 10s);
    EXPECT_EQ(code, 0) << "the child missed the signal";
}

// Contended increments of a plain counter under the lock give the exact total.
TEST_F(WaitSignal, ContendedLockCountsExactlyAcrossThreads) {
    KeyGuard key(Key(10));
    const int32_t set = vos_create_semaphore(key.key(), 1);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    constexpr int kThreads = 4;
    const int each = 50000 / kSlowdown;
    uint64_t counter = 0;  // plain: the semaphore alone protects it
    std::atomic<int> failures{0};
    std::vector<std::unique_ptr<BoundedThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(std::make_unique<BoundedThread>([&] {
            for (int i = 0; i < each; ++i) {
                if (vos_lock(set, 0) != 0) {
                    failures.fetch_add(1);
                    return;
                }
                ++counter;
                if (vos_unlock(set, 0) != 0) failures.fetch_add(1);
            }
        }));
    }
    bool finished = true;
    for (auto &t : threads)
        finished = t->Join(30s) && finished;
    EXPECT_TRUE(finished) << "a lock sleeper was never woken";
    if (!finished) guard.Release();
    for (auto &t : threads)
        EXPECT_TRUE(t->Join(10s));
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(counter, static_cast<uint64_t>(kThreads) * each);
    EXPECT_EQ(vos_is_lock(set, 0), 0);
}

TEST_F(WaitSignal, ContendedLockCountsExactlyAcrossProcesses) {
    KeyGuard key(Key(11));
    SharedWords words(Key(12));
    ASSERT_NE(words.get(), nullptr);
    const int32_t set = vos_create_semaphore(key.key(), 2);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    constexpr int kChildren = 2;
    constexpr int kThreads = 2;
    constexpr int kEach = 20000 / kSlowdown;
    Shared *shared = words.get();
    auto work = [set, shared] {
        for (int i = 0; i < kEach; ++i) {
            if (vos_lock(set, 1) != 0) return 1;
            // Read, pause, write: a second holder would make an increment vanish.
            const uint64_t seen = __atomic_load_n(&shared->counter, __ATOMIC_RELAXED);
            if (i % 128 == 0) sched_yield();
            __atomic_store_n(&shared->counter, seen + 1, __ATOMIC_RELAXED);
            if (vos_unlock(set, 1) != 0) return 2;
        }
        return 0;
    };
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c)
        children.push_back(ForkChild(work));
    std::atomic<int> failures{0};
    std::vector<std::unique_ptr<BoundedThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(std::make_unique<BoundedThread>([&] { failures.fetch_add(work()); }));
    }
    bool finished = true;
    for (auto &t : threads)
        finished = t->Join(40s) && finished;
    EXPECT_TRUE(finished) << "a lock sleeper was never woken";
    if (!finished) guard.Release();
    for (auto &t : threads)
        EXPECT_TRUE(t->Join(10s));
    for (pid_t child : children)
        EXPECT_EQ(WaitChild(child, 10s), 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(__atomic_load_n(&shared->counter, __ATOMIC_RELAXED),
              static_cast<uint64_t>(kChildren + kThreads) * kEach);
}

// A lock sleeper is woken by an unlock from a thread that never held the lock.
TEST_F(WaitSignal, UnlockFromAnotherThreadWakesALockSleeper) {
    KeyGuard key(Key(13));
    const int32_t set = vos_create_semaphore(key.key(), 1);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    ASSERT_EQ(vos_lock(set, 0), 0);
    std::atomic<int32_t> got{-5};
    BoundedThread sleeper([&] { got.store(vos_lock(set, 0)); });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(sleeper.Finished());
    BoundedThread stranger([&] { vos_unlock(set, 0); });
    ASSERT_TRUE(stranger.Join(10s));
    const bool woke = sleeper.Join(10s);
    EXPECT_TRUE(woke) << "the lock sleeper was not woken by the unlock";
    if (!woke) guard.Release();
    EXPECT_TRUE(sleeper.Join(10s));
    EXPECT_EQ(got.load(), 0);
    EXPECT_EQ(vos_is_lock(set, 0), 1);
    EXPECT_EQ(vos_unlock(set, 0), 0);
}

// Sleepers on one semaphore are not disturbed in their duty by traffic on another: each
// pair of the set keeps its own handshake.
TEST_F(WaitSignal, PairsOfOneSetAreIndependent) {
    KeyGuard key(Key(14));
    const int32_t set = vos_create_semaphore(key.key(), 8);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    const int rounds = 5000 / kSlowdown;
    constexpr int kPairs = 3;
    uint32_t turns[kPairs] = {0, 0, 0};
    std::atomic<int> failures{0};
    std::vector<std::unique_ptr<BoundedThread>> players;
    for (int p = 0; p < kPairs; ++p) {
        for (uint32_t me = 0; me < 2; ++me) {
            players.push_back(std::make_unique<BoundedThread>([&, p, me] {
                failures.fetch_add(PlayTurns(set, 2 * p + 1, &turns[p], me, rounds) != 0);
            }));
        }
    }
    bool finished = true;
    for (auto &t : players)
        finished = t->Join(40s) && finished;
    EXPECT_TRUE(finished) << "a pair stalled";
    if (!finished) guard.Release();
    for (auto &t : players)
        EXPECT_TRUE(t->Join(10s));
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
