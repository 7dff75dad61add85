// Semaphore sets: making and finding them, refusals, holders, destruction, the per-process
// table of sets, and sleeping and waking between threads and processes. A lost wake-up shows
// as a side that never finishes: every such wait has a deadline, after which the set is
// destroyed to free the sleepers and the test fails.
#include <gtest/gtest.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "olk.h"
#include "olk_standin.h"
#include "standin/semaphore_layout.h"
#include "support_test_util.h"

namespace {

using support_test::Child;
using support_test::Crew;
using support_test::Key;
using support_test::RunInChild;
using support_test::WaitFor;
using namespace std::chrono_literals;

constexpr int kRounds = 20000;

// Words shared with forked children. The plain ones are read and written only under a
// semaphore, which alone must order them (ThreadSanitizer builds check that it does).
struct Scratch {
    std::atomic<uint32_t> step;
    uint32_t turns[3];
    uint64_t counter;
};

// The program's one anonymous shared mapping, cleared: children forked after see it too.
Scratch *FreshScratch() {
    static void *const memory =
        mmap(nullptr, sizeof(Scratch), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) std::abort();
    return new (memory) Scratch{};
}

using Semaphore = support_test::WatchedTest<2>;

// Every call that names one semaphore must refuse (set, index) with `error`.
void ExpectEveryCallRefused(int32_t set, int32_t index, int error) {
    const std::pair<const char *, int32_t (*)(int32_t, int32_t)> calls[] = {
        {"vos_is_lock", vos_is_lock}, {"olk_semaphore_holder", olk_semaphore_holder},
        {"vos_lock", vos_lock},       {"vos_unlock", vos_unlock},
        {"vos_signal", vos_signal},   {"vos_wait", vos_wait}};
    for (const auto &c : calls)
        EXPECT_REFUSED(c.second(set, index), error)
            << " " << c.first << "(" << set << ", " << index << ")";
}

// A plain segment of `size` bytes at Key(n), each byte `fill`.
int32_t PlainSegment(int32_t n, uint32_t size, int fill) {
    const int32_t id = vos_create_shared_memory(Key(n), size);
    void *bytes = vos_attach_shared_memory(id);
    if (bytes == nullptr) return -1;
    std::memset(bytes, fill, size);
    vos_dettach_shared_memory(id, bytes);
    return id;
}

// Waits for `*turn == me` under the lock, hands the turn over and signals, `rounds` times;
// the signal comes after the unlock with `outside`. 0 when all went through; -1 when a call
// failed (the set was destroyed by a deadline).
int PlayTurns(int32_t set, int32_t index, uint32_t *turn, uint32_t me, bool outside) {
    for (int i = 0; i < kRounds / 2; ++i) {
        if (vos_lock(set, index) != 0) return -1;
        while (*turn != me) {
            if (vos_wait(set, index) != 0) return -1;
        }
        *turn = 1 - me;
        if (!outside && vos_signal(set, index) != 0) return -1;
        if (vos_unlock(set, index) != 0) return -1;
        if (outside && vos_signal(set, index) != 0) return -1;
    }
    return 0;
}

TEST_F(Semaphore, MakeFindLockAndUnlock) {
    const int32_t set = vos_create_semaphore(Key(1), 8);
    ASSERT_GE(set, 0) << std::strerror(errno);
    EXPECT_EQ(shmget(Key(1), 0, 0), set) << "the set is the segment of its key";
    for (const int32_t count : {8, 1, 0})
        EXPECT_EQ(vos_get_semaphore(Key(1), count), set) << count;
    for (const int32_t count : {9, -1, INT_MIN})
        EXPECT_REFUSED(vos_get_semaphore(Key(1), count), EINVAL) << count;
    for (int32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(vos_is_lock(set, i), 0) << i;
        EXPECT_EQ(olk_semaphore_holder(set, i), 0) << i;
    }
    ASSERT_EQ(vos_lock(set, 1), 0);
    EXPECT_EQ(vos_is_lock(set, 1), 1);
    EXPECT_EQ(vos_is_lock(set, 0) + vos_is_lock(set, 2), 0) << "a neighbour was taken too";
    EXPECT_EQ(olk_semaphore_holder(set, 1), static_cast<int32_t>(getpid()));

    // A key in use, by a set or a plain segment, is not made again and the set is untouched;
    // counts outside 1 .. 4096 make nothing.
    ASSERT_GE(vos_create_shared_memory(Key(2), 4096), 0);
    for (const int32_t count : {8, 100}) {
        EXPECT_REFUSED(vos_create_semaphore(Key(1), count), EEXIST);
        EXPECT_REFUSED(vos_create_semaphore(Key(2), count), EEXIST);
    }
    EXPECT_EQ(vos_is_lock(set, 1), 1);
    for (const int32_t count : {0, -1, 4097, INT_MIN, INT_MAX}) {
        EXPECT_REFUSED(vos_create_semaphore(Key(3), count), EINVAL) << count;
        EXPECT_LT(shmget(Key(3), 0, 0), 0) << "refused count " << count << " made a segment";
    }
    const int32_t big = vos_create_semaphore(Key(3), 4096);
    EXPECT_EQ(vos_lock(big, 4095), 0);
    EXPECT_EQ(vos_is_lock(big, 4094) + vos_is_lock(big, 4095), 1);

    EXPECT_EQ(vos_unlock(set, 1), 0);
    EXPECT_EQ(vos_is_lock(set, 1), 0);
    EXPECT_EQ(olk_semaphore_holder(set, 1), 0);
    EXPECT_EQ(vos_unlock(set, 1), 0) << "freeing a free semaphore is no error";
    EXPECT_EQ(vos_lock(set, 1), 0) << "a second unlock spoilt the lock";
}

TEST_F(Semaphore, BadKeysIdsAndIndexesAreRefused) {
    EXPECT_REFUSED(vos_get_semaphore(Key(1), 1), ENOENT);
    EXPECT_REFUSED(vos_get_semaphore(IPC_PRIVATE, 1), ENOENT);
    const int32_t set = vos_create_semaphore(Key(2), 5);
    ASSERT_GE(set, 0);
    for (const int32_t index : {-1, 5, 6, 4096, INT_MAX, INT_MIN})
        ExpectEveryCallRefused(set, index, EINVAL);
    for (int32_t i = 0; i < 5; ++i)
        EXPECT_EQ(vos_is_lock(set, i), 0) << "a refusal took " << i;
    for (const int32_t id : {-1, -1000, INT_MIN})
        ExpectEveryCallRefused(id, 0, EINVAL);

    // Plain segments: gone, all zeros (refused by get too, once the wait for a creator that
    // may still be filling it in is over), full of nonzero bytes (left as they were), one byte.
    const int32_t gone = PlainSegment(3, 4096, 0);
    ASSERT_EQ(vos_destroy_shared_memory(gone), 0);
    const int32_t zeros = PlainSegment(4, 8192, 0);
    const int32_t noise = PlainSegment(5, 8192, 0xa5);
    for (const int32_t id : {gone, zeros, noise, PlainSegment(6, 1, 0)}) {
        ASSERT_GE(id, 0);
        ExpectEveryCallRefused(id, 0, EINVAL);
    }
    EXPECT_REFUSED(vos_get_semaphore(Key(4), 1), EINVAL);
    EXPECT_REFUSED(vos_get_semaphore(Key(5), 1), EINVAL);
    auto *bytes = static_cast<unsigned char *>(vos_attach_shared_memory(noise));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[0] & bytes[64] & bytes[8191], 0xa5) << "a refusal wrote";
    vos_dettach_shared_memory(noise, bytes);
    EXPECT_REFUSED(vos_destroy_semaphore(zeros, 1), EINVAL);
    EXPECT_EQ(vos_get_shared_memory(Key(4)), zeros) << "destroyed a segment that is no set";

    // Headers that look right but lie: more entries than the segment holds, none at all, or
    // another layout. Following them would read past the mapping.
    const uint32_t forgeries[][2] = {{olk::kSetLayout, 4096},
                                     {olk::kSetLayout, 0},
                                     {olk::kSetLayout, 5000},
                                     {olk::kSetLayout + 1, 2}};
    int32_t n = 10;
    for (const auto &[layout, count] : forgeries) {
        const int32_t id = PlainSegment(n, 4096, 0);
        auto *header = static_cast<olk::SetHeader *>(vos_attach_shared_memory(id));
        ASSERT_NE(header, nullptr);
        *header = olk::SetHeader{olk::kSetMagic, layout, count, 0, 0, {}};
        ExpectEveryCallRefused(id, 0, EINVAL);
        ExpectEveryCallRefused(id, 4095, EINVAL);
        EXPECT_REFUSED(vos_get_semaphore(Key(n++), 0), EINVAL);
        vos_dettach_shared_memory(id, header);
    }
}

// A child that found the set by key alone blocks on a lock this process holds, gets it once
// a thread that never held it frees it, and leaves holding it: its own pid is on record, not
// the one its parent had cached, and this process may free the lock of the departed holder.
TEST_F(Semaphore, LockWaitsAcrossProcessesUntilAnyoneFreesIt) {
    const int32_t set = vos_create_semaphore(Key(1), 2);
    ASSERT_GE(set, 0);
    ASSERT_EQ(vos_lock(set, 0), 0);
    Child child([set] {
        const int32_t found = vos_get_semaphore(Key(1), 2);
        return found == set && vos_lock(found, 0) == 0 ? 0 : 1;
    });
    const int32_t child_pid = child.pid();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(olk_semaphore_holder(set, 0), static_cast<int32_t>(getpid()))
        << "the child took a lock that was held";
    std::thread([set] { vos_unlock(set, 0); }).join();
    EXPECT_EQ(child.Wait(), 0) << "the child did not get the freed lock";
    EXPECT_EQ(vos_is_lock(set, 0), 1);
    EXPECT_EQ(olk_semaphore_holder(set, 0), child_pid);
    EXPECT_EQ(vos_unlock(set, 0), 0);
    EXPECT_EQ(olk_semaphore_holder(set, 0), 0);
    EXPECT_EQ(vos_lock(set, 0), 0);
}

// A destroy in another process wakes a thread asleep in vos_lock here and a process asleep
// in vos_wait; both, and from then on every call on every index, answer EIDRM. The key then
// makes a new set while the old id stays refused.
TEST_F(Semaphore, DestroyWakesSleepersAndRefusesEverythingAfter) {
    const int32_t set = vos_create_semaphore(Key(1), 3);
    ASSERT_GE(set, 0);
    Scratch *s = FreshScratch();
    Child sleeper([s, set] {
        if (vos_lock(set, 1) != 0) return 1;
        s->step.store(1);
        for (;;) {  // nobody signals: only the destruction ends this loop
            if (vos_wait(set, 1) != 0) return errno == EIDRM ? 0 : 2;
        }
    });
    ASSERT_EQ(vos_lock(set, 0), 0);
    std::atomic<int> error{0};
    Crew crew(set);
    crew.Add([&] { error.store(vos_lock(set, 0) == 0 ? -1 : errno); });
    // The child freed the lock inside vos_wait: it is asleep or about to be.
    ASSERT_TRUE(WaitFor([&] { return s->step.load() == 1 && vos_is_lock(set, 1) == 0; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(error.load(), 0) << "took a lock that was held";
    ASSERT_EQ(RunInChild([set] { return vos_destroy_semaphore(set, 3) == 0 ? 0 : 1; }), 0);
    EXPECT_TRUE(crew.Join(10s)) << "destroy left a lock sleeper asleep";
    EXPECT_EQ(error.load(), EIDRM);
    EXPECT_EQ(sleeper.Wait(10s), 0) << "destroy left a sleeper of another process asleep";

    for (int32_t i = 0; i < 3; ++i)
        ExpectEveryCallRefused(set, i, EIDRM);
    EXPECT_REFUSED(vos_destroy_semaphore(set, 3), EIDRM) << "destroyed twice";
    EXPECT_REFUSED(vos_get_semaphore(Key(1), 3), ENOENT);
    const int32_t again = vos_create_semaphore(Key(1), 3);
    ASSERT_GE(again, 0);
    EXPECT_NE(again, set);
    EXPECT_EQ(vos_is_lock(again, 0), 0);
    EXPECT_EQ(vos_lock(again, 0), 0);
    ExpectEveryCallRefused(set, 0, EIDRM);
}

// vos_wait frees the lock while asleep (else the others could not arrive), one signal wakes
// every sleeper of the pair, and each returns holding the lock again.
TEST_F(Semaphore, OneSignalWakesEverySleeperHoldingTheLock) {
    const int32_t set = vos_create_semaphore(Key(1), 2);
    ASSERT_GE(set, 0);
    constexpr int kSleepers = 4;
    uint32_t go = 0;
    std::atomic<int> arrived{0};
    std::atomic<int> woken_holding{0};
    Crew crew(set);
    for (int t = 0; t < kSleepers; ++t) {
        crew.Add([&] {
            if (vos_lock(set, 1) != 0) return;
            arrived.fetch_add(1);
            while (go == 0) {
                if (vos_wait(set, 1) != 0) return;
            }
            if (vos_is_lock(set, 1) == 1 && olk_semaphore_holder(set, 1) == getpid())
                woken_holding.fetch_add(1);
            vos_unlock(set, 1);
        });
    }
    // The last to arrive held the lock; once it is free, all are inside vos_wait with the
    // event word read, so a signal given from now on reaches all of them.
    ASSERT_TRUE(WaitFor([&] { return arrived.load() == kSleepers && vos_is_lock(set, 1) == 0; }))
        << arrived.load() << " of " << kSleepers << " got in: vos_wait kept the lock";
    ASSERT_EQ(vos_lock(set, 1), 0);
    go = 1;
    ASSERT_EQ(vos_signal(set, 1), 0);
    ASSERT_EQ(vos_unlock(set, 1), 0);
    EXPECT_TRUE(crew.Join(10s)) << "a sleeper missed the signal";
    EXPECT_EQ(woken_holding.load(), kSleepers);
}

// Pairs hand a turn back and forth on three semaphores of one set: one pair between a thread
// and another process, two between threads, the last signalling after its unlock: a signal
// given after the waiter freed the lock but before it went to sleep must not be lost. A lost
// wake-up, or one sent to the wrong pair, stops a pair for good.
TEST_F(Semaphore, TurnsNeverStall) {
    const int32_t set = vos_create_semaphore(Key(1), 8);
    ASSERT_GE(set, 0);
    uint32_t *turns = FreshScratch()->turns;
    Child child([=] { return PlayTurns(set, 1, &turns[0], 1, false) == 0 ? 0 : 1; });
    std::atomic<int> failures{0};
    Crew crew(set);
    crew.Add([&] { failures.fetch_add(PlayTurns(set, 1, &turns[0], 0, false) != 0); });
    for (int p = 1; p < 3; ++p) {
        for (uint32_t me = 0; me < 2; ++me) {
            crew.Add([&, p, me] {
                failures.fetch_add(PlayTurns(set, 2 * p + 1, &turns[p], me, p == 2) != 0);
            });
        }
    }
    EXPECT_TRUE(crew.Join(40s)) << "a pair stalled: a wake-up was lost";
    EXPECT_EQ(child.Wait(10s), 0);
    EXPECT_EQ(failures.load(), 0);
}

// Increments of a plain counter under the lock, by threads here and by other processes, give
// the exact total.
TEST_F(Semaphore, ContendedLockCountsExactly) {
    const int32_t set = vos_create_semaphore(Key(1), 2);
    ASSERT_GE(set, 0);
    uint64_t *counter = &FreshScratch()->counter;
    auto work = [set, counter] {
        for (int i = 0; i < kRounds; ++i) {
            if (vos_lock(set, 1) != 0) return 1;
            // Read, pause, write: a second holder would make an increment vanish.
            const uint64_t seen = *counter;
            if (i % 128 == 0) sched_yield();
            *counter = seen + 1;
            if (vos_unlock(set, 1) != 0) return 1;
        }
        return 0;
    };
    Child first(work);
    Child second(work);
    std::atomic<int> failures{0};
    Crew crew(set);
    for (int t = 0; t < 3; ++t)
        crew.Add([&] { failures.fetch_add(work()); });
    EXPECT_TRUE(crew.Join(40s)) << "a lock sleeper was never woken";
    EXPECT_EQ(first.Wait(10s), 0);
    EXPECT_EQ(second.Wait(10s), 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(*counter, 5u * kRounds);
    EXPECT_EQ(vos_is_lock(set, 1), 0);
}

// The fast paths are all user space: in a child allowed nothing but read, write and exit
// (strict seccomp), any other system call kills it.
TEST_F(Semaphore, UncontendedCallsMakeNoSystemCall) {
    if (support_test::kThreadSanitizer) GTEST_SKIP() << "its runtime makes system calls";
    const int32_t set = vos_create_semaphore(Key(1), 2);
    ASSERT_GE(set, 0);
    const int code = RunInChild([set] {
        const int32_t me = static_cast<int32_t>(getpid());
        if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT) != 0) return 10;
        bool right = true;
        for (int i = 0; i < 1000; ++i) {
            right = right && vos_lock(set, 1) == 0 && vos_is_lock(set, 1) == 1 &&
                    olk_semaphore_holder(set, 1) == me && vos_signal(set, 1) == 0 &&
                    vos_unlock(set, 1) == 0 && vos_is_lock(set, 1) == 0;
        }
        syscall(SYS_exit, right ? 0 : 1);  // exit_group is not allowed in strict mode
        return 2;
    });
    if (code == 10) GTEST_SKIP() << "strict seccomp is not available here (an emulator?)";
    EXPECT_EQ(code, 0) << (code == -2 ? "killed: a fast path made a system call" : "wrong result");
}

// The per-process table holds 256 live sets; beyond that a create is refused and leaves
// nothing behind, and a destroyed set's place is taken again.
TEST_F(Semaphore, TableFullIsRefusedCleanly) {
    std::vector<int32_t> sets;
    int error = 0;
    for (int32_t n = 100; n < 400 && error == 0; ++n) {
        const int32_t set = vos_create_semaphore(Key(n), 1);
        error = set < 0 ? errno : 0;
        if (set >= 0) sets.push_back(set);
    }
    EXPECT_EQ(error, ENOSPC) << "no limit met";
    EXPECT_LT(shmget(Key(100 + static_cast<int32_t>(sets.size())), 0, 0), 0)
        << "a refused create left its segment";
    EXPECT_LE(sets.size(), 256u);
    ASSERT_GE(sets.size(), 200u);
    for (const int32_t set : sets) {
        ASSERT_EQ(vos_lock(set, 0), 0);
        ASSERT_EQ(vos_unlock(set, 0), 0);
    }
    ASSERT_EQ(vos_destroy_semaphore(sets.front(), 1), 0);
    const int32_t again = vos_create_semaphore(Key(1), 1);
    EXPECT_GE(again, 0) << std::strerror(errno);
    EXPECT_EQ(vos_lock(again, 0), 0);
}

}  // namespace
