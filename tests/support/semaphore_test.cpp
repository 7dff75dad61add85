// Semaphore sets: making and finding them, locking, refusals, holders, destruction.
#include <gtest/gtest.h>
#include <linux/seccomp.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "olk.h"
#include "olk_standin.h"
#include "standin/semaphore_layout.h"
#include "support_test_util.h"

namespace {

using support_test::BoundedThread;
using support_test::EnvGuard;
using support_test::ForkChild;
using support_test::IdGuard;
using support_test::Key;
using support_test::KeyGuard;
using support_test::ModeOf;
using support_test::ReadAll;
using support_test::SetGuard;
using support_test::WaitChild;
using support_test::WaitFor;
using namespace std::chrono_literals;

class Semaphore : public support_test::KeyedTest {
  protected:
    void SetUp() override {
        support_test::UseKeyBlock(2);
        KeyedTest::SetUp();
    }
};

// Every call that names one semaphore, as (name, result) for the same (set, index).
struct Outcome {
    const char *call;
    int32_t result;
    int error;
};

std::vector<Outcome> EveryCall(int32_t set, int32_t index) {
    std::vector<Outcome> out;
    auto run = [&](const char *call, int32_t (*fn)(int32_t, int32_t)) {
        errno = 0;
        const int32_t result = fn(set, index);
        out.push_back({call, result, errno});
    };
    run("vos_is_lock", vos_is_lock);
    run("olk_semaphore_holder", olk_semaphore_holder);
    run("vos_lock", vos_lock);
    run("vos_unlock", vos_unlock);
    run("vos_signal", vos_signal);
    run("vos_wait", vos_wait);
    return out;
}

void ExpectEveryCallRefused(int32_t set, int32_t index, int error) {
    for (const Outcome &o : EveryCall(set, index)) {
        EXPECT_EQ(o.result, -1) << o.call << "(" << set << ", " << index << ")";
        EXPECT_EQ(o.error, error) << o.call << "(" << set << ", " << index << ")";
    }
}

TEST_F(Semaphore, CreateThenFindTheSameSet) {
    KeyGuard key(Key(1));
    const int32_t set = vos_create_semaphore(key.key(), 8);
    SetGuard guard(set);
    ASSERT_GE(set, 0) << std::strerror(errno);
    EXPECT_EQ(vos_get_semaphore(key.key(), 8), set);
    EXPECT_EQ(vos_get_semaphore(key.key(), 1), set);
    EXPECT_EQ(vos_get_semaphore(key.key(), 0), set);
    errno = 0;
    EXPECT_EQ(vos_get_semaphore(key.key(), 9), -1) << "more semaphores than the set has";
    EXPECT_EQ(errno, EINVAL);
    for (int32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(vos_is_lock(set, i), 0) << i;
        EXPECT_EQ(olk_semaphore_holder(set, i), 0) << i;
    }
    // The set is the segment of that key, visible to ipcs.
    EXPECT_EQ(shmget(key.key(), 0, 0), set);
}

TEST_F(Semaphore, ExistingKeyIsNotCreatedAgain) {
    KeyGuard key(Key(2));
    const int32_t set = vos_create_semaphore(key.key(), 4);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    ASSERT_EQ(vos_lock(set, 0), 0);
    errno = 0;
    EXPECT_EQ(vos_create_semaphore(key.key(), 4), -1);
    EXPECT_EQ(errno, EEXIST);
    errno = 0;
    EXPECT_EQ(vos_create_semaphore(key.key(), 100), -1);
    EXPECT_EQ(errno, EEXIST);
    // The refused create touched nothing.
    EXPECT_EQ(vos_is_lock(set, 0), 1);
    EXPECT_EQ(vos_get_semaphore(key.key(), 4), set);

    KeyGuard plain(Key(3));
    ASSERT_GE(vos_create_shared_memory(plain.key(), 4096), 0);
    errno = 0;
    EXPECT_EQ(vos_create_semaphore(plain.key(), 4), -1);
    EXPECT_EQ(errno, EEXIST);
}

TEST_F(Semaphore, CountsOutsideOneTo4096AreRefused) {
    KeyGuard key(Key(4));
    for (const int32_t count : {0, -1, 4097, INT_MIN, INT_MAX}) {
        errno = 0;
        EXPECT_EQ(vos_create_semaphore(key.key(), count), -1) << count;
        EXPECT_EQ(errno, EINVAL) << count;
        EXPECT_LT(shmget(key.key(), 0, 0), 0) << "refused count " << count << " made a segment";
    }
    const int32_t set = vos_create_semaphore(key.key(), 4096);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    EXPECT_EQ(vos_lock(set, 4095), 0);
    EXPECT_EQ(vos_is_lock(set, 4095), 1);
    EXPECT_EQ(vos_is_lock(set, 4094), 0);
    EXPECT_EQ(vos_unlock(set, 4095), 0);
    for (const int32_t count : {-1, 4097, INT_MIN}) {
        errno = 0;
        EXPECT_EQ(vos_get_semaphore(key.key(), count), -1) << count;
        EXPECT_EQ(errno, EINVAL) << count;
    }
}

TEST_F(Semaphore, GetRefusesMissingKeysAndSegmentsThatAreNoSet) {
    errno = 0;
    EXPECT_EQ(vos_get_semaphore(Key(5), 1), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(vos_get_semaphore(IPC_PRIVATE, 1), -1);
    EXPECT_EQ(errno, ENOENT);

    KeyGuard plain(Key(6));
    const int32_t id = vos_create_shared_memory(plain.key(), 1 << 20);
    ASSERT_GE(id, 0);
    auto *bytes = static_cast<unsigned char *>(vos_attach_shared_memory(id));
    ASSERT_NE(bytes, nullptr);
    std::memset(bytes, 0x5a, 4096);
    errno = 0;
    EXPECT_EQ(vos_get_semaphore(plain.key(), 1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(bytes[0], 0x5a) << "a refused get wrote into someone's segment";
    vos_dettach_shared_memory(id, bytes);

    // An all-zero segment may be a set whose creator is not done yet; once the wait for it is
    // over it is refused all the same.
    KeyGuard zeros(Key(7));
    ASSERT_GE(vos_create_shared_memory(zeros.key(), 8192), 0);
    errno = 0;
    EXPECT_EQ(vos_get_semaphore(zeros.key(), 1), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(Semaphore, LockUnlockAndIsLock) {
    KeyGuard key(Key(8));
    const int32_t set = vos_create_semaphore(key.key(), 3);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    EXPECT_EQ(vos_lock(set, 1), 0);
    EXPECT_EQ(vos_is_lock(set, 1), 1);
    EXPECT_EQ(vos_is_lock(set, 0), 0) << "locking one semaphore took its neighbour";
    EXPECT_EQ(vos_is_lock(set, 2), 0) << "locking one semaphore took its neighbour";
    EXPECT_EQ(olk_semaphore_holder(set, 1), static_cast<int32_t>(getpid()));
    EXPECT_EQ(vos_unlock(set, 1), 0);
    EXPECT_EQ(vos_is_lock(set, 1), 0);
    EXPECT_EQ(olk_semaphore_holder(set, 1), 0);
    // Freeing a free semaphore changes nothing and is no error.
    EXPECT_EQ(vos_unlock(set, 1), 0);
    EXPECT_EQ(vos_is_lock(set, 1), 0);
    // Taken again at once after the free.
    EXPECT_EQ(vos_lock(set, 1), 0);
    EXPECT_EQ(vos_unlock(set, 1), 0);
}

TEST_F(Semaphore, SetsAreMadeWithTheConfiguredMode) {
    {
        EnvGuard env("OLK_IPC_MODE", nullptr);
        KeyGuard key(Key(9));
        const int32_t set = vos_create_semaphore(key.key(), 1);
        SetGuard guard(set);
        ASSERT_GE(set, 0);
        EXPECT_EQ(ModeOf(set), 0660);
    }
    {
        EnvGuard env("OLK_IPC_MODE", "0600");
        KeyGuard key(Key(10));
        const int32_t set = vos_create_semaphore(key.key(), 1);
        SetGuard guard(set);
        ASSERT_GE(set, 0);
        EXPECT_EQ(ModeOf(set), 0600);
    }
    {
        EnvGuard env("OLK_IPC_MODE", "world");
        KeyGuard key(Key(11));
        const int32_t set = vos_create_semaphore(key.key(), 1);
        SetGuard guard(set);
        ASSERT_GE(set, 0);
        EXPECT_EQ(ModeOf(set), 0660);
    }
}

TEST_F(Semaphore, IndexOutsideTheSetIsRefusedByEveryCall) {
    KeyGuard key(Key(12));
    const int32_t set = vos_create_semaphore(key.key(), 5);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    for (const int32_t index : {-1, 5, 6, 4096, INT_MAX, INT_MIN}) {
        ExpectEveryCallRefused(set, index, EINVAL);
    }
    for (int32_t i = 0; i < 5; ++i)
        EXPECT_EQ(vos_is_lock(set, i), 0) << "a refusal took " << i;
}

TEST_F(Semaphore, IdsThatNameNoSetAreRefusedByEveryCall) {
    for (const int32_t set : {-1, -1000, INT_MIN})
        ExpectEveryCallRefused(set, 0, EINVAL);

    // An id whose segment is gone.
    KeyGuard gone(Key(13));
    const int32_t gone_id = vos_create_shared_memory(gone.key(), 4096);
    ASSERT_GE(gone_id, 0);
    ASSERT_EQ(vos_destroy_shared_memory(gone_id), 0);
    ExpectEveryCallRefused(gone_id, 0, EINVAL);

    // Plain segments: all zeros, one byte, and full of nonzero bytes.
    KeyGuard zeros(Key(14));
    const int32_t zeros_id = vos_create_shared_memory(zeros.key(), 8192);
    ASSERT_GE(zeros_id, 0);
    ExpectEveryCallRefused(zeros_id, 0, EINVAL);
    KeyGuard tiny(Key(15));
    const int32_t tiny_id = vos_create_shared_memory(tiny.key(), 1);
    ASSERT_GE(tiny_id, 0);
    ExpectEveryCallRefused(tiny_id, 0, EINVAL);
    KeyGuard noise(Key(16));
    const int32_t noise_id = vos_create_shared_memory(noise.key(), 8192);
    ASSERT_GE(noise_id, 0);
    void *noise_bytes = vos_attach_shared_memory(noise_id);
    ASSERT_NE(noise_bytes, nullptr);
    std::memset(noise_bytes, 0xa5, 8192);
    ExpectEveryCallRefused(noise_id, 0, EINVAL);
    EXPECT_EQ(static_cast<unsigned char *>(noise_bytes)[64], 0xa5) << "a refusal wrote";
    vos_dettach_shared_memory(noise_id, noise_bytes);

    // Headers that look right but lie: more entries than the segment holds, none at all, or
    // another layout. Following them would read past the mapping.
    struct Forgery {
        uint32_t layout;
        uint32_t count;
    };
    int32_t n = 17;
    for (const Forgery f : {Forgery{olk::kSetLayout, 4096}, Forgery{olk::kSetLayout, 0},
                            Forgery{olk::kSetLayout, 5000}, Forgery{olk::kSetLayout + 1, 2}}) {
        KeyGuard forged(Key(n++));
        const int32_t id = vos_create_shared_memory(forged.key(), 4096);
        ASSERT_GE(id, 0);
        auto *header = static_cast<olk::SetHeader *>(vos_attach_shared_memory(id));
        ASSERT_NE(header, nullptr);
        header->layout = f.layout;
        header->count = f.count;
        header->magic = olk::kSetMagic;
        ExpectEveryCallRefused(id, 0, EINVAL);
        ExpectEveryCallRefused(id, 4095, EINVAL);
        errno = 0;
        EXPECT_EQ(vos_get_semaphore(forged.key(), 0), -1);
        EXPECT_EQ(errno, EINVAL);
        vos_dettach_shared_memory(id, header);
    }

    // Destroying a plain segment as a set is refused and leaves it in place.
    errno = 0;
    EXPECT_NE(vos_destroy_semaphore(zeros_id, 1), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(vos_get_shared_memory(zeros.key()), zeros_id);
    errno = 0;
    EXPECT_NE(vos_destroy_semaphore(-1, 1), 0);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(Semaphore, HolderIsTheProcessThatTookTheLock) {
    KeyGuard key(Key(21));
    const int32_t set = vos_create_semaphore(key.key(), 4);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    ASSERT_EQ(vos_lock(set, 0), 0);  // the parent's pid is cached by now
    EXPECT_EQ(olk_semaphore_holder(set, 0), static_cast<int32_t>(getpid()));
    // A child takes a lock and leaves without freeing it: its own pid, not the parent's
    // cached one, must be on record.
    const pid_t child = ForkChild([set] { return vos_lock(set, 2) == 0 ? 0 : 1; });
    ASSERT_GT(child, 0);
    ASSERT_EQ(WaitChild(child), 0);
    EXPECT_EQ(vos_is_lock(set, 2), 1);
    EXPECT_EQ(olk_semaphore_holder(set, 2), static_cast<int32_t>(child));
    // Freed by another process, as a reset does for a dead holder.
    EXPECT_EQ(vos_unlock(set, 2), 0);
    EXPECT_EQ(vos_is_lock(set, 2), 0);
    EXPECT_EQ(olk_semaphore_holder(set, 2), 0);
    EXPECT_EQ(vos_unlock(set, 0), 0);
}

TEST_F(Semaphore, AnotherProcessMayFreeALockTakenHere) {
    KeyGuard key(Key(22));
    const int32_t set = vos_create_semaphore(key.key(), 2);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    ASSERT_EQ(vos_lock(set, 1), 0);
    const pid_t child = ForkChild([set] {
        if (vos_is_lock(set, 1) != 1) return 1;
        return vos_unlock(set, 1) == 0 ? 0 : 2;
    });
    ASSERT_EQ(WaitChild(child), 0);
    ASSERT_EQ(vos_is_lock(set, 1), 0);
    EXPECT_EQ(vos_lock(set, 1), 0);
    EXPECT_EQ(vos_unlock(set, 1), 0);
}

// A child found by key alone blocks on a lock this process holds and gets it once freed.
TEST_F(Semaphore, LockWaitsAcrossProcessesUntilFreed) {
    KeyGuard key(Key(23));
    const int32_t set = vos_create_semaphore(key.key(), 2);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    ASSERT_EQ(vos_lock(set, 0), 0);
    int took[2];
    int go[2];
    ASSERT_EQ(pipe(took), 0);
    ASSERT_EQ(pipe(go), 0);
    const pid_t child = ForkChild([&] {
        close(took[0]);
        close(go[1]);
        const int32_t found = vos_get_semaphore(key.key(), 2);
        if (found != set) return 1;
        if (vos_lock(found, 0) != 0) return 2;
        const char c = 'L';
        if (write(took[1], &c, 1) != 1) return 3;
        char g = 0;
        if (read(go[0], &g, 1) != 1) return 4;
        return vos_unlock(found, 0) == 0 ? 0 : 5;
    });
    close(took[1]);
    close(go[0]);
    pollfd p{took[0], POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 200), 0) << "the child took a lock that was held";
    EXPECT_EQ(olk_semaphore_holder(set, 0), static_cast<int32_t>(getpid()));
    EXPECT_EQ(vos_unlock(set, 0), 0);
    char c = 0;
    ASSERT_EQ(poll(&p, 1, 10000), 1) << "the child did not get the freed lock";
    EXPECT_EQ(read(took[0], &c, 1), 1);
    EXPECT_EQ(c, 'L');
    EXPECT_EQ(vos_is_lock(set, 0), 1);
    EXPECT_EQ(olk_semaphore_holder(set, 0), static_cast<int32_t>(child));
    const char g = 'g';
    EXPECT_EQ(write(go[1], &g, 1), 1);
    EXPECT_EQ(WaitChild(child), 0);
    EXPECT_EQ(vos_is_lock(set, 0), 0);
    close(took[0]);
    close(go[1]);
}

TEST_F(Semaphore, DestroyedSetRefusesEveryCallAndFreesItsKey) {
    KeyGuard key(Key(24));
    const int32_t set = vos_create_semaphore(key.key(), 3);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    ASSERT_EQ(vos_lock(set, 0), 0);
    ASSERT_EQ(vos_destroy_semaphore(set, 3), 0);
    for (int32_t i = 0; i < 3; ++i)
        ExpectEveryCallRefused(set, i, EIDRM);
    errno = 0;
    EXPECT_NE(vos_destroy_semaphore(set, 3), 0) << "destroyed twice";
    EXPECT_EQ(errno, EIDRM);
    errno = 0;
    EXPECT_EQ(vos_get_semaphore(key.key(), 3), -1);
    EXPECT_EQ(errno, ENOENT);

    // The key makes a new, working set; the old id stays refused.
    const int32_t again = vos_create_semaphore(key.key(), 3);
    SetGuard again_guard(again);
    ASSERT_GE(again, 0);
    EXPECT_NE(again, set);
    EXPECT_EQ(vos_is_lock(again, 0), 0);
    EXPECT_EQ(vos_lock(again, 0), 0);
    EXPECT_EQ(vos_unlock(again, 0), 0);
    ExpectEveryCallRefused(set, 0, EIDRM);
}

TEST_F(Semaphore, DestroyInAnotherProcessIsSeenHere) {
    KeyGuard key(Key(25));
    const int32_t set = vos_create_semaphore(key.key(), 2);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    ASSERT_EQ(vos_lock(set, 1), 0);
    ASSERT_EQ(vos_unlock(set, 1), 0);
    const pid_t child = ForkChild([set] { return vos_destroy_semaphore(set, 2) == 0 ? 0 : 1; });
    ASSERT_EQ(WaitChild(child), 0);
    ExpectEveryCallRefused(set, 1, EIDRM);
}

TEST_F(Semaphore, DestroyWakesALockSleeper) {
    KeyGuard key(Key(26));
    const int32_t set = vos_create_semaphore(key.key(), 1);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    ASSERT_EQ(vos_lock(set, 0), 0);
    std::atomic<int32_t> result{1};
    std::atomic<int> error{0};
    std::atomic<bool> started{false};
    BoundedThread sleeper([&] {
        started.store(true);
        result.store(vos_lock(set, 0));
        error.store(errno);
    });
    ASSERT_TRUE(WaitFor([&] { return started.load(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(sleeper.Finished()) << "took a lock that was held";
    ASSERT_EQ(vos_destroy_semaphore(set, 1), 0);
    ASSERT_TRUE(sleeper.Join(10s)) << "destroy left a lock sleeper asleep";
    EXPECT_EQ(result.load(), -1);
    EXPECT_EQ(error.load(), EIDRM);
}

TEST_F(Semaphore, DestroyWakesAWaitSleeperInAnotherProcess) {
    KeyGuard key(Key(27));
    const int32_t set = vos_create_semaphore(key.key(), 2);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    int asleep[2];
    ASSERT_EQ(pipe(asleep), 0);
    const pid_t child = ForkChild([&] {
        close(asleep[0]);
        if (vos_lock(set, 1) != 0) return 1;
        const char c = 's';
        if (write(asleep[1], &c, 1) != 1) return 2;
        // Nobody signals: only the destruction ends this loop.
        for (;;) {
            errno = 0;
            if (vos_wait(set, 1) != 0) return errno == EIDRM ? 0 : 3;
        }
    });
    close(asleep[1]);
    char c = 0;
    pollfd p{asleep[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    ASSERT_EQ(read(asleep[0], &c, 1), 1);
    close(asleep[0]);
    // Wait until the child has freed the lock inside vos_wait, i.e. is asleep or about to be.
    ASSERT_TRUE(WaitFor([&] { return vos_is_lock(set, 1) == 0; }));
    ASSERT_EQ(vos_destroy_semaphore(set, 2), 0);
    EXPECT_EQ(WaitChild(child, 10s), 0) << "destroy left a sleeper of another process asleep";
}

// The fast paths are all user space: in a child allowed nothing but read, write and exit
// (strict seccomp), any other system call kills it.
TEST_F(Semaphore, UncontendedCallsMakeNoSystemCall) {
    if (support_test::kThreadSanitizer) {
        GTEST_SKIP() << "the thread sanitizer's runtime makes system calls of its own";
    }
    KeyGuard key(Key(28));
    const int32_t set = vos_create_semaphore(key.key(), 2);
    SetGuard guard(set);
    ASSERT_GE(set, 0);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = ForkChild([&] {
        close(report[0]);
        const int32_t me = static_cast<int32_t>(getpid());
        if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT) != 0) return 10;
        int failures = 0;
        for (int i = 0; i < 1000; ++i) {
            failures += vos_lock(set, 1) != 0;
            failures += vos_is_lock(set, 1) != 1;
            failures += olk_semaphore_holder(set, 1) != me;
            failures += vos_signal(set, 1) != 0;
            failures += vos_unlock(set, 1) != 0;
            failures += vos_is_lock(set, 1) != 0;
        }
        const char verdict = failures == 0 ? 'y' : 'n';
        (void)!write(report[1], &verdict, 1);
        syscall(SYS_exit, 0);  // exit_group is not allowed in strict mode
        return 0;
    });
    close(report[1]);
    const std::string verdict = ReadAll(report[0], 10s);
    close(report[0]);
    const int code = WaitChild(child);
    if (code == 10) GTEST_SKIP() << "strict seccomp is not available here (an emulator?)";
    EXPECT_EQ(code, 0) << "the child was killed: a fast path made a system call";
    EXPECT_EQ(verdict, "y");
}

// The per-process table holds 256 live sets; beyond that a create is refused and leaves
// nothing behind, and a destroyed set's place is taken again.
TEST_F(Semaphore, TableFullIsRefusedCleanly) {
    std::vector<std::unique_ptr<IdGuard>> segments;
    std::vector<int32_t> sets;
    int32_t refused = 0;
    int error = 0;
    for (int i = 0; i < 300 && refused == 0; ++i) {
        errno = 0;
        const int32_t set = vos_create_semaphore(IPC_PRIVATE, 1);
        if (set < 0) {
            refused = 1;
            error = errno;
            break;
        }
        segments.push_back(std::make_unique<IdGuard>(set));
        sets.push_back(set);
    }
    EXPECT_EQ(refused, 1) << "no limit met";
    EXPECT_EQ(error, ENOSPC);
    EXPECT_LE(sets.size(), 256u);
    EXPECT_GE(sets.size(), 200u);

    KeyGuard key(Key(29));
    errno = 0;
    EXPECT_EQ(vos_create_semaphore(key.key(), 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_LT(shmget(key.key(), 0, 0), 0) << "a refused create left its segment";

    // Every set still works.
    for (const int32_t set : sets) {
        ASSERT_EQ(vos_lock(set, 0), 0);
        ASSERT_EQ(vos_unlock(set, 0), 0);
    }
    ASSERT_FALSE(sets.empty());
    ASSERT_EQ(vos_destroy_semaphore(sets.front(), 1), 0);
    const int32_t again = vos_create_semaphore(key.key(), 1);
    SetGuard again_guard(again);
    EXPECT_GE(again, 0) << std::strerror(errno);
    EXPECT_EQ(vos_lock(again, 0), 0);
    EXPECT_EQ(vos_unlock(again, 0), 0);
    for (const int32_t set : sets)
        vos_destroy_semaphore(set, 1);
}

}  // namespace
