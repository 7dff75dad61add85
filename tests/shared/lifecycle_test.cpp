// The shared segment's lifecycle: result codes, printed messages and what is left behind. This
// program defines the support library's segment and semaphore calls itself, so the library
// calls these; each forwards to the stand-in (the next definition) unless a test injects a
// failure into it.
#include <dlfcn.h>
#include <sys/shm.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "common/table_checks.h"
#include "support/olk.h"

namespace {

struct Injection {
    int error = 0;  // errno of an injected failure
    int32_t fail_create_sem_key = -1;
    int32_t fail_get_sem_key = -1;
    int32_t fail_destroy_sem_id = -1;
    bool fail_create_shm = false;
    bool attach_null = false;
    bool fail_dettach = false;
    bool fail_destroy_shm = false;
    bool dirty_new_segment = false;  // a new segment reads as 0xa5 bytes
    int32_t stuck_set = -1;          // vos_is_lock finds this lock taken every time
    int32_t stuck_index = -1;
};

struct Calls {
    std::map<std::string, int> n;  // calls by name
    int stuck_unlocks = 0;
    std::vector<int32_t> destroyed_sets, destroyed_shm;
    std::map<int32_t, int32_t> created;  // key -> id
    std::vector<void *> attached;
    int total() const {
        int sum = 0;
        for (const auto &[name, count] : n)
            sum += count;
        return sum;
    }
};

Injection g_inject;
Calls g_calls;
bool g_any_call = false;

Injection failing_with(int error) {
    Injection i;
    i.error = error;
    return i;
}

int32_t refuse() {
    errno = g_inject.error;
    return -1;
}

}  // namespace

#define ENTER(name) (g_any_call = true, ++g_calls.n[name])
#define NEXT(name) (reinterpret_cast<decltype(&name)>(dlsym(RTLD_NEXT, #name)))

extern "C" {

int32_t vos_create_semaphore(int32_t key, int32_t count) {
    ENTER("create_sem");
    if (key == g_inject.fail_create_sem_key) return refuse();
    return g_calls.created[key] = NEXT(vos_create_semaphore)(key, count);
}
int32_t vos_get_semaphore(int32_t key, int32_t count) {
    ENTER("get_sem");
    return key == g_inject.fail_get_sem_key ? refuse() : NEXT(vos_get_semaphore)(key, count);
}
int32_t vos_destroy_semaphore(int32_t set, int32_t count) {
    ENTER("destroy_sem");
    g_calls.destroyed_sets.push_back(set);
    return set == g_inject.fail_destroy_sem_id ? refuse() : NEXT(vos_destroy_semaphore)(set, count);
}
int32_t vos_create_shared_memory(int32_t key, uint32_t size) {
    ENTER("create_shm");
    if (g_inject.fail_create_shm) return refuse();
    const int32_t id = NEXT(vos_create_shared_memory)(key, size);
    if (id >= 0 && g_inject.dirty_new_segment) {
        void *addr = shmat(id, nullptr, 0);
        std::memset(addr, 0xa5, size);
        shmdt(addr);
    }
    return g_calls.created[key] = id;
}
int32_t vos_get_shared_memory(int32_t key) {
    ENTER("get_shm");
    return NEXT(vos_get_shared_memory)(key);
}
void *vos_attach_shared_memory(int32_t id) {
    ENTER("attach");
    if (g_inject.attach_null) return refuse(), nullptr;
    return g_calls.attached.emplace_back(NEXT(vos_attach_shared_memory)(id));
}
int32_t vos_dettach_shared_memory(int32_t id, void *addr) {
    ENTER("dettach");
    if (g_inject.fail_dettach) return refuse();
    std::erase(g_calls.attached, addr);
    return NEXT(vos_dettach_shared_memory)(id, addr);
}
int32_t vos_destroy_shared_memory(int32_t id) {
    ENTER("destroy_shm");
    g_calls.destroyed_shm.push_back(id);
    return g_inject.fail_destroy_shm ? refuse() : NEXT(vos_destroy_shared_memory)(id);
}
int32_t vos_is_lock(int32_t set, int32_t index) {
    ENTER("is_lock");
    if (set == g_inject.stuck_set && index == g_inject.stuck_index) return 1;
    return NEXT(vos_is_lock)(set, index);
}
int32_t vos_unlock(int32_t set, int32_t index) {
    if (set == g_inject.stuck_set && index == g_inject.stuck_index) ++g_calls.stuck_unlocks;
    return NEXT(vos_unlock)(set, index);
}

}  // extern "C"

namespace brenn_test {
namespace {

[[maybe_unused]] const auto *const kIpcsCheck =
    ::testing::AddGlobalTestEnvironment(new IpcsLeftClean);
[[maybe_unused]] const bool kWatchdog = arm_watchdog(50);

constexpr int32_t kSegmentKey = 0xff0060;
constexpr int32_t set_key(int s) {
    return 0xff0061 + s;
}

// Which of the six keys exist, as a bit mask (bit 0 the segment, bit 1 + s set s).
unsigned keys_present() {
    unsigned mask = 0;
    for (int i = 0; i < 6; ++i)
        if (shmget(kSharedKeys[i], 0, 0) >= 0) mask |= 1u << i;
    return mask;
}

// The four fields of slot q that creation and reset write, read straight from the segment.
struct SlotFields {
    int32_t node_num, allocated, sharable;
    uint64_t write_seq;
    bool operator==(const SlotFields &) const = default;
};
std::vector<SlotFields> read_slots() {
    std::vector<SlotFields> out;
    const int id = shmget(kSegmentKey, 0, 0);
    void *base = id >= 0 ? shmat(id, nullptr, SHM_RDONLY) : reinterpret_cast<void *>(-1);
    if (base == reinterpret_cast<void *>(-1)) return out;
    for (size_t q = 0; q < BRENN_SHARED_QUEUES; ++q) {
        const char *slot = static_cast<const char *>(base) + 36920 * q;
        SlotFields f{};
        std::memcpy(&f.node_num, slot + 36888, 4);
        std::memcpy(&f.write_seq, slot + 36904, 8);
        std::memcpy(&f.allocated, slot + 36912, 4);
        std::memcpy(&f.sharable, slot + 36916, 4);
        out.push_back(f);
    }
    shmdt(base);
    return out;
}

// Writes obj and returns the seq it got, as a look-back from the newest node finds it.
int64_t seq_of_next_write(int32_t q, uint64_t obj) {
    int64_t seq = -2;
    bounded("write and look-back", [&] {
        EXPECT_EQ(gsq_c_write(q, obj, nullptr, 0), 0);
        int32_t nn = 0, qn = 0;
        EXPECT_EQ(VSQ_BEGIN_LOOK_BACK(q, 127, &nn, &qn), 0);
        seq = gsq_c_get_cur_seq(q, 127);
        EXPECT_EQ(VSQ_END_LOOK_BACK(q, 127), 0);
    });
    return seq;
}

// Writes obj into queue q and reads it back.
void expect_write_read(int32_t q, uint64_t obj) {
    bounded("write and read", [=] {
        uint64_t got = 0;
        EXPECT_EQ(gsq_c_write(q, obj, nullptr, 0), 0);
        EXPECT_EQ(gsq_read(q, &got), 0);
        EXPECT_EQ(got, obj);
    });
}

// Allocates queues until slot `last` holds one.
void alloc_through(int32_t last, uint32_t size = 64) {
    for (int32_t i = 0; i <= last; ++i)
        ASSERT_EQ(gsq_c_alloc_queue(size, 4, 0, 1, 1), i);
}

class Lifecycle : public ::testing::Test {
  protected:
    void SetUp() override { remove_shared_objects(); }
    // Leaves this process detached with every id cleared, and the keys gone.
    void TearDown() override {
        g_inject = {};
        gsq_c_destroy();
        gsq_c_uninit();
        for (void *addr : g_calls.attached)
            shmdt(addr);
        remove_shared_objects();
        gsq_c_fast_init();
        g_calls = {};
    }
    void up() {
        ASSERT_EQ(gsq_c_create(), 0);
        created = g_calls.created;
        created_base = g_calls.attached.empty() ? nullptr : g_calls.attached.back();
        g_calls = {};
    }
    std::map<int32_t, int32_t> created;  // key -> id, by the last create
    void *created_base = nullptr;
};

// Must run first: the program has not touched the shared family yet.
TEST_F(Lifecycle, NeverAttachedProcessCallsNothing) {
    if (g_any_call) GTEST_SKIP() << "the process already used the shared family";
    EXPECT_EQ(gsq_c_uninit(), -1);
    EXPECT_EQ(gsq_c_reset(), -1);
    EXPECT_EQ(gsq_c_destroy(), 0);
    EXPECT_EQ(gsq_c_destroy(), 0);
    EXPECT_FALSE(g_any_call);
}

// Creation writes node_num, write_seq, allocated and sharable of every slot, whatever the new
// segment held; allocation sets up the rest, so queues in such slots work from seq 0.
TEST_F(Lifecycle, CreateMarksEverySlotFree) {
    g_inject.dirty_new_segment = true;
    up();
    ASSERT_TRUE(read_slots() == std::vector<SlotFields>(512, {0, 0, 1, 0}));
    const int32_t q = gsq_c_alloc_queue(320, 4, 0, 1, 1);
    ASSERT_EQ(q, 0);
    EXPECT_EQ(seq_of_next_write(q, 71), 0);
    bounded("read", [&] {
        uint64_t obj = 0;
        EXPECT_EQ(gsq_read(q, &obj), 0);
        EXPECT_EQ(obj, 71u);
    });
    const int32_t d = gsq_c_dynamic_alloc(10, 4, 4, 0, 1, 1);
    QueueStatus st{};
    bounded("status", [&] { EXPECT_EQ(gsq_c_get_queue_status(d, &st), 0); });
    EXPECT_EQ(st.tail, 7);
    EXPECT_EQ(st.rd, -1);
    EXPECT_EQ(st.wr, -1);
    EXPECT_EQ(st.sessions[5].pk, -1);
    EXPECT_EQ(st.sessions[5].in_use, 0);
}

TEST_F(Lifecycle, CreateFailuresPrintAndCleanUp) {
    const struct {
        int code, error;
        const char *call;
        unsigned left;  // keys_present() afterwards
    } cases[] = {{-6, ENOSPC, "create_semaphore", 0b1110},
                 {-5, ENOMEM, "create_shared_memory", 0},
                 {-3, EACCES, "attach_shared_memory", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.call);
        g_inject = failing_with(c.error);
        g_inject.fail_create_sem_key = c.code == -6 ? set_key(3) : -1;  // set 3 fails
        g_inject.fail_create_shm = c.code == -5;
        g_inject.attach_null = c.code == -3;
        int rc = 0;
        EXPECT_EQ(capture_stdout([&] { rc = gsq_c_create(); }),
                  std::string(c.call) + " failed errno=" + std::to_string(c.error) + "\n");
        EXPECT_EQ(rc, c.code);
        EXPECT_EQ(keys_present(), c.left);
        EXPECT_EQ(gsq_c_alloc_queue(320, 4, 0, 1, 1), -1) << "attached after a failure";
        g_inject = {};
        EXPECT_EQ(gsq_c_destroy(), 0) << "the sets created before are kept with their ids";
        EXPECT_EQ(keys_present(), 0u);
        TearDown();
    }
}

// Another process finds the keys taken and fails; the running queue goes on.
TEST_F(Lifecycle, CreateOnRunningSystemFails) {
    up();
    const int32_t q = gsq_c_alloc_queue(320, 4, 0, 1, 1);
    ASSERT_EQ(q, 0);
    bounded("write", [&] { EXPECT_EQ(gsq_c_write(q, 5, nullptr, 0), 0); });
    const pid_t child = fork_child([&] {
        int rc = 0;
        const std::string out = capture_stdout([&] { rc = gsq_c_create(); });
        CHILD_CHECK(rc == -6, 2);
        CHILD_CHECK(out == "create_semaphore failed errno=" + std::to_string(EEXIST) + "\n", 3);
        CHILD_CHECK(gsq_c_init() == 0, 4);
        uint64_t obj = 0;
        CHILD_CHECK(gsq_read(q, &obj) == 0 && obj == 5, 5);
        CHILD_CHECK(gsq_c_uninit() == 0, 6);
        return 0;
    });
    EXPECT_EQ(child_result(child), 0);
    EXPECT_EQ(keys_present(), 0b111111u);
    EXPECT_EQ(gsq_c_ready(q), 1);
    expect_write_read(q, 6);
}

TEST_F(Lifecycle, InitWithoutSystemAndFailedAttach) {
    EXPECT_EQ(gsq_c_init(), -2);
    EXPECT_EQ(g_calls.n["attach"], 0);
    up();
    const int32_t segment = created[kSegmentKey];
    ASSERT_EQ(gsq_c_uninit(), 0);
    g_inject.attach_null = true;
    EXPECT_EQ(gsq_c_init(), -3);
    g_inject = {};
    EXPECT_EQ(gsq_c_alloc_queue(320, 4, 0, 1, 1), -1);
    EXPECT_EQ(gsq_c_reset(), -1);
    // The segment id stays known: destroy removes the segment, and no set.
    g_calls = {};
    EXPECT_EQ(gsq_c_destroy(), 0);
    EXPECT_EQ(g_calls.destroyed_shm, std::vector<int32_t>{segment});
    EXPECT_EQ(g_calls.n["dettach"], 0);
    EXPECT_TRUE(g_calls.destroyed_sets.empty());
    EXPECT_EQ(keys_present(), 0b111110u);
}

// A set missing at init detaches again and clears the ids before it; set 4 keeps the id it had.
TEST_F(Lifecycle, InitRollsBackWhenASetIsMissing) {
    up();
    g_inject = failing_with(ENOENT);
    g_inject.fail_get_sem_key = set_key(3);
    EXPECT_EQ(gsq_c_init(), -4);
    EXPECT_EQ(g_calls.n["dettach"], 1);
    EXPECT_EQ(g_calls.n["get_sem"], 4);
    EXPECT_EQ(gsq_c_alloc_queue(320, 4, 0, 1, 1), -1);
    g_inject = {};
    g_calls = {};
    EXPECT_EQ(gsq_c_destroy(), 0);
    EXPECT_EQ(g_calls.destroyed_sets, std::vector<int32_t>{created[set_key(4)]});
    EXPECT_TRUE(g_calls.destroyed_shm.empty());
    EXPECT_EQ(g_calls.n["dettach"], 0);
    if (created_base != nullptr) shmdt(created_base);
}

// What a failed destroy could not remove, the next one does; after that it calls nothing.
TEST_F(Lifecycle, DestroyFailuresKeepWhatWasNotRemoved) {
    const struct {
        const char *what;
        int code;
        bool attached;     // still attached afterwards
        unsigned left;     // keys_present() afterwards
        size_t set_retry;  // sets the repeated destroy still removes
    } cases[] = {{"detach", -7, true, 0b111111, 5},
                 {"segment", -8, false, 0b111111, 5},
                 {"set 2", -9, false, 0b111000, 3}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        up();
        const int32_t q = gsq_c_alloc_queue(320, 4, 0, 1, 1);
        g_inject = failing_with(EPERM);
        g_inject.fail_dettach = c.code == -7;
        g_inject.fail_destroy_shm = c.code == -8;
        if (c.code == -9) g_inject.fail_destroy_sem_id = created[set_key(2)];
        EXPECT_EQ(gsq_c_destroy(), c.code);
        EXPECT_EQ(gsq_c_ready(q), c.attached ? 1 : 0);
        EXPECT_EQ(keys_present(), c.left);
        g_inject = {};
        g_calls = {};
        EXPECT_EQ(gsq_c_destroy(), 0);
        EXPECT_EQ(g_calls.n["dettach"], c.attached ? 1 : 0);
        EXPECT_EQ(g_calls.destroyed_shm.size(), c.code == -9 ? 0u : 1u);
        EXPECT_EQ(g_calls.destroyed_sets.size(), c.set_retry);
        EXPECT_EQ(keys_present(), 0u);
        g_calls = {};
        EXPECT_EQ(gsq_c_destroy(), 0) << "once more";
        EXPECT_EQ(g_calls.total(), 0) << "a destroyed system calls nothing";
        TearDown();
    }
}

// With no lock taken, reset frees every slot and restarts its numbering, keeps node_num and
// sharable, and renews no set.
TEST_F(Lifecycle, ResetFreesEverySlot) {
    up();
    for (int32_t i = 0; i < 3; ++i)
        ASSERT_EQ(gsq_c_alloc_queue(320 + 32 * i, 4, 0, 1, 1), i);
    ASSERT_EQ(gsq_c_set_sharable(1, 0), 0);
    for (int32_t q = 0; q < 3; ++q)
        EXPECT_EQ(seq_of_next_write(q, 10 + q), 0);
    EXPECT_EQ(seq_of_next_write(2, 20), 1);
    const std::vector<SlotFields> before = read_slots();
    ASSERT_EQ(before.size(), 512u);
    EXPECT_EQ(before[2].write_seq, 2u);
    EXPECT_EQ(gsq_c_reset(), 0);
    std::vector<SlotFields> expected = before;
    for (SlotFields &slot : expected)
        slot.allocated = 0, slot.write_seq = 0;
    EXPECT_EQ(expected[1].sharable, 0);
    EXPECT_EQ(expected[2].node_num, 12);
    EXPECT_TRUE(read_slots() == expected) << "only allocated and write_seq are cleared";
    EXPECT_EQ(g_calls.n["create_sem"], 0);
    EXPECT_TRUE(g_calls.destroyed_sets.empty());
    EXPECT_GE(g_calls.n["is_lock"], 512 * 5);
    ASSERT_EQ(gsq_c_alloc_queue(320, 4, 0, 1, 1), 0);
    EXPECT_EQ(seq_of_next_write(0, 30), 0);
}

// Queue 130's lock (set 1, semaphore 5) is found taken after each of ten releases: reset
// renews set 1 under its key; when that fails it stops with the slots cleared so far.
TEST_F(Lifecycle, ResetRenewsASetWhoseLockStaysTaken) {
    const struct {
        const char *what;
        int code;
        bool destroy_fails, create_fails;
    } cases[] = {{"renewed", 0, false, false},
                 {"removal fails", -9, true, false},
                 {"creation fails", -6, false, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        up();
        const int32_t old_set = created[set_key(1)];
        alloc_through(130);
        g_inject = failing_with(EPERM);
        g_inject.stuck_set = old_set;
        g_inject.stuck_index = 5;
        if (c.destroy_fails) g_inject.fail_destroy_sem_id = old_set;
        if (c.create_fails) g_inject.fail_create_sem_key = set_key(1);
        EXPECT_EQ(gsq_c_reset(), c.code);
        EXPECT_EQ(g_calls.stuck_unlocks, 10);
        EXPECT_EQ(g_calls.destroyed_sets, std::vector<int32_t>{old_set});
        EXPECT_EQ(g_calls.n["create_sem"], c.destroy_fails ? 0 : 1);
        g_inject = {};
        // Slot 5 is met first at set 1; set 0 cleared it before.
        for (int32_t q = 0; q <= 130; ++q)
            ASSERT_EQ(gsq_c_ready(q), c.code == 0 || q <= 5 ? 0 : 1) << q;
        if (c.code == 0) {
            const int32_t renewed = g_calls.created[set_key(1)];
            EXPECT_NE(renewed, old_set);
            EXPECT_EQ(NEXT(vos_get_semaphore)(set_key(1), 250), renewed);
            alloc_through(130);
            expect_write_read(130, 9);  // a queue of the renewed set
        }
        EXPECT_EQ(keys_present() >> 2 & 1u, c.code == -6 ? 0u : 1u) << "set 1's key";
        TearDown();
    }
}

}  // namespace
}  // namespace brenn_test
