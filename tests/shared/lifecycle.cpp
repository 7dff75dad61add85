// The shared segment's lifecycle: result codes, printed messages and what is left behind. The
// program defines the support library's segment and semaphore calls itself, so the library
// calls these; each passes the call on to the stand-in unless a test makes it fail.
#include <dlfcn.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>

#include "common/family.h"
#include "common/records.h"
#include "support/olk.h"

namespace {

struct Failures {
    int32_t create_set = -1, get_set = -1, destroy_set = -1;  // by key, key, id
    bool create_segment = false, attach = false, detach = false, destroy_segment = false;
    bool dirty = false;                  // a new segment reads 0xa5 bytes
    int32_t stuck_set = -1, stuck = -1;  // vos_is_lock finds this lock taken every time
} fail;
std::map<std::string, int> calls;
std::vector<int32_t> destroyed;   // sets and segments removed, in order
std::map<int32_t, int32_t> made;  // key -> id of the last creation

int32_t refused() {
    return errno = EPERM, -1;
}
#define PASS_ON(name, ...) reinterpret_cast<decltype(&name)>(dlsym(RTLD_NEXT, #name))(__VA_ARGS__)

}  // namespace

extern "C" {
int32_t vos_create_semaphore(int32_t key, int32_t n) {
    return ++calls["create set"],
           made[key] = key == fail.create_set ? refused() : PASS_ON(vos_create_semaphore, key, n);
}
int32_t vos_get_semaphore(int32_t key, int32_t n) {
    return ++calls["get set"], key == fail.get_set ? refused() : PASS_ON(vos_get_semaphore, key, n);
}
int32_t vos_destroy_semaphore(int32_t id, int32_t n) {
    destroyed.push_back(id);
    return id == fail.destroy_set ? refused() : PASS_ON(vos_destroy_semaphore, id, n);
}
int32_t vos_create_shared_memory(int32_t key, uint32_t size) {
    const int32_t id =
        fail.create_segment ? refused() : PASS_ON(vos_create_shared_memory, key, size);
    if (id >= 0 && fail.dirty) {
        void *at = shmat(id, nullptr, 0);
        std::memset(at, 0xa5, size), shmdt(at);
    }
    return made[key] = id;
}
void *vos_attach_shared_memory(int32_t id) {
    return ++calls["attach"],
           fail.attach ? (refused(), nullptr) : PASS_ON(vos_attach_shared_memory, id);
}
int32_t vos_dettach_shared_memory(int32_t id, void *at) {
    return ++calls["detach"], fail.detach ? refused() : PASS_ON(vos_dettach_shared_memory, id, at);
}
int32_t vos_destroy_shared_memory(int32_t id) {
    destroyed.push_back(id);
    return fail.destroy_segment ? refused() : PASS_ON(vos_destroy_shared_memory, id);
}
int32_t vos_is_lock(int32_t set, int32_t i) {
    return ++calls["is lock"],
           set == fail.stuck_set && i == fail.stuck ? 1 : PASS_ON(vos_is_lock, set, i);
}
int32_t vos_unlock(int32_t set, int32_t i) {
    if (set == fail.stuck_set && i == fail.stuck) ++calls["stuck unlocks"];  // one thread only
    return PASS_ON(vos_unlock, set, i);
}
}

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_watchdog(60);
constexpr int32_t kSegment = brenn::shared::kSegmentKey;
constexpr auto set_key = [](int s) { return brenn::shared::kFirstSetKey + s; };

// Which keys exist: bit 0 the segment, bit 1 + s set s.
unsigned keys() {
    unsigned mask = 0;
    for (int i = 0; i < 6; ++i)
        mask |= shmget(i == 0 ? kSegment : set_key(i - 1), 0, 0) >= 0 ? 1u << i : 0;
    return mask;
}
// node_num,write_seq,allocated,sharable of every slot; "xN" for N alike in a row.
std::string slots() {
    std::string out, last;
    for (int32_t q = 0, same = 0; q <= 512; ++q, ++same) {
        Records r;
        const std::string now =
            q < 512 && records_of(true, q, &r)
                ? csv(r.hdr->node_num, r.hdr->write_seq, r.hdr->allocated, r.hdr->sharable)
                : "";
        if (now != last && same > 0) out += last + "x" + std::to_string(same) + " ", same = 0;
        last = now;
    }
    return out;
}
int64_t seq_of_write(int32_t q, uint64_t h) {
    gsq_c_write(q, h, nullptr, 0);
    return gsq_c_get_cur_seq(q, gsq_c_create_session(q));
}

class Lifecycle : public ::testing::Test {
  protected:
    void SetUp() override { calls.clear(), destroyed.clear(), made.clear(); }
    void TearDown() override {
        fail = {};
        gsq_c_fast_init(), gsq_c_destroy(), gsq_c_uninit(), remove_shared_objects();
        gsq_c_fast_init(), SetUp();
    }
};

// First, while the program has not touched the shared family: a process that never attached
// calls nothing. (A braced list is evaluated in order.)
TEST_F(Lifecycle, InitFailures) {
    EXPECT_EQ(
        (std::vector<int32_t>{gsq_c_uninit(), gsq_c_reset(), gsq_c_destroy(), gsq_c_destroy()}),
        (std::vector<int32_t>{-1, -1, 0, 0}));
    EXPECT_TRUE(calls.empty() && destroyed.empty());
    EXPECT_EQ(gsq_c_init(), -2) << "no segment";
    EXPECT_EQ(calls["attach"], 0);
    ASSERT_EQ(gsq_c_create(), 0);
    const auto ids = made;
    ASSERT_EQ(gsq_c_uninit(), 0);
    fail.attach = true;
    EXPECT_EQ(gsq_c_init(), -3);
    fail = {}, destroyed.clear();
    EXPECT_EQ(
        (std::vector<int32_t>{gsq_c_alloc_queue(320, 4, 0, 1, 1), gsq_c_reset(), gsq_c_destroy()}),
        (std::vector<int32_t>{-1, -1, 0}));
    EXPECT_EQ(destroyed, std::vector<int32_t>{ids.at(kSegment)}) << "the segment id stays known";
    EXPECT_EQ(keys(), 0b111110u);
    // A set missing at init detaches again and clears the ids before it; set 4 keeps its id.
    remove_shared_objects();
    ASSERT_EQ(gsq_c_create(), 0);
    const auto again = made;
    fail.get_set = set_key(3), calls.clear();
    EXPECT_EQ(gsq_c_init(), -4);
    EXPECT_EQ(csv(calls["detach"], calls["get set"]), "1,4");
    EXPECT_EQ(gsq_c_alloc_queue(320, 4, 0, 1, 1), -1);
    fail = {}, destroyed.clear();
    EXPECT_EQ(gsq_c_destroy(), 0);
    EXPECT_EQ(destroyed, std::vector<int32_t>{again.at(set_key(4))});
}

// A failed creation prints why, removes what it made (all sets made before a failed set stay),
// and leaves the process detached; another process finds a running system's keys taken.
TEST_F(Lifecycle, CreateFailures) {
    for (const int code : {-6, -5, -3}) {
        const std::string call = code == -6   ? "create_semaphore"
                                 : code == -5 ? "create_shared_memory"
                                              : "attach_shared_memory";
        fail.create_set = code == -6 ? set_key(3) : -1;
        fail.create_segment = code == -5, fail.attach = code == -3;
        int rc = 0;
        EXPECT_EQ(capture_stdout([&] { rc = gsq_c_create(); }),
                  call + " failed errno=" + std::to_string(EPERM) + "\n");
        EXPECT_EQ(csv(rc, keys(), gsq_c_alloc_queue(320, 4, 0, 1, 1)),
                  csv(code, code == -6 ? 0b1110 : 0, -1));
        fail = {};
        EXPECT_EQ(gsq_c_destroy(), 0) << call;
        EXPECT_EQ(keys(), 0u);
    }
    ASSERT_EQ(gsq_c_create(), 0);
    ASSERT_EQ(gsq_c_alloc_queue(320, 4, 0, 1, 1), 0);
    ASSERT_EQ(gsq_c_write(0, 5, nullptr, 0), 0);
    const pid_t other = fork_child([] {
        uint64_t h = 0;
        const std::string out = capture_stdout([] { gsq_c_create(); });
        return out == "create_semaphore failed errno=" + std::to_string(EEXIST) + "\n" &&
                       gsq_c_init() == 0 && gsq_read(0, &h) == 0 && h == 5
                   ? 0
                   : 1;
    });
    EXPECT_EQ(child_result(other), 0);  // 1 would not do: a child that gives up exits with 1
    EXPECT_EQ(csv(keys(), gsq_c_ready(0)), csv(0b111111, 1));
}

// What a failed destroy could not remove, the next one does; after that it calls nothing.
TEST_F(Lifecycle, DestroyFailuresKeepWhatWasNotRemoved) {
    for (const int code : {-7, -8, -9}) {
        const bool attached = code == -7;  // -9: sets 2 .. 4 stay (set 2 failed)
        ASSERT_EQ(gsq_c_create(), 0);
        fail.detach = code == -7, fail.destroy_segment = code == -8;
        fail.destroy_set = code == -9 ? made.at(set_key(2)) : -1;
        EXPECT_EQ(gsq_c_destroy(), code);
        EXPECT_EQ(gsq_c_alloc_queue(64, 4, 0, 1, 1) == 0, attached) << code;
        EXPECT_EQ(keys(), code == -9 ? 0b111000u : 0b111111u);
        fail = {}, SetUp();
        EXPECT_EQ(gsq_c_destroy(), 0);
        EXPECT_EQ(csv(calls["detach"], destroyed.size(), keys()),
                  csv(attached, code == -9 ? 3 : 6, 0));
        SetUp();
        EXPECT_EQ(gsq_c_destroy(), 0) << "once more";
        EXPECT_TRUE(calls.empty() && destroyed.empty()) << "a destroyed system calls nothing";
    }
}

// Creation writes four fields of every slot, whatever the new segment held. With no lock
// taken, reset frees every slot, restarts its numbering, keeps node_num and sharable, and
// renews no set.
TEST_F(Lifecycle, CreateAndResetFreeEverySlot) {
    fail.dirty = true;
    ASSERT_EQ(gsq_c_create(), 0);
    EXPECT_EQ(slots(), "0,0,0,1x512 ");
    for (int32_t i = 0; i < 3; ++i)
        ASSERT_EQ(gsq_c_alloc_queue(uint32_t(320 + 32 * i), 4, 0, 1, 1), i);
    ASSERT_EQ(gsq_c_set_sharable(1, 0), 0);
    EXPECT_EQ((std::vector<int64_t>{seq_of_write(2, 20), seq_of_write(2, 21)}),
              (std::vector<int64_t>{0, 1}));
    SetUp();
    EXPECT_EQ(gsq_c_reset(), 0);
    EXPECT_EQ(slots(), "10,0,0,1x1 11,0,0,0x1 12,0,0,1x1 0,0,0,1x509 ");
    EXPECT_EQ(calls["create set"], 0);
    EXPECT_GE(calls["is lock"], 512 * 5);
    ASSERT_EQ(gsq_c_alloc_queue(320, 4, 0, 1, 1), 0);
    EXPECT_EQ(seq_of_write(0, 30), 0);
}

// Queue 130's lock (set 1, semaphore 5) is found taken after each of ten releases: reset renews
// set 1 under its key; when that fails it stops with the slots cleared so far.
TEST_F(Lifecycle, ResetRenewsASetWhoseLockStaysTaken) {
    for (const int code : {0, -9, -6}) {
        ASSERT_EQ(gsq_c_create(), 0);
        const int32_t old = made.at(set_key(1));
        for (int32_t q = 0; q <= 130; ++q)
            ASSERT_EQ(gsq_c_alloc_queue(64, 4, 0, 1, 1), q);
        fail.stuck_set = old, fail.stuck = 5;
        fail.destroy_set = code == -9 ? old : -1, fail.create_set = code == -6 ? set_key(1) : -1;
        SetUp();
        EXPECT_EQ(gsq_c_reset(), code);
        EXPECT_EQ(csv(calls["stuck unlocks"], calls["create set"]), csv(10, code == -9 ? 0 : 1));
        EXPECT_EQ(destroyed, std::vector<int32_t>{old});
        fail = {};
        for (int32_t q = 0; q <= 130; ++q)  // slot 5 is met first at set 1; set 0 cleared it
            ASSERT_EQ(gsq_c_ready(q), code == 0 || q <= 5 ? 0 : 1) << code << " " << q;
        const int32_t renewed = code == 0 ? PASS_ON(vos_get_semaphore, set_key(1), 250) : 0;
        EXPECT_EQ(renewed, code == 0 ? made.at(set_key(1)) : 0) << "the key names the new set";
        EXPECT_EQ(csv(keys() >> 2 & 1u, code == 0 && made.at(set_key(1)) != old),
                  csv(code == -6 ? 0 : 1, code == 0));
        TearDown();
    }
}

// A process whose set a reset elsewhere renewed holds an id that names no set until it fetches
// the ids again: its lock, wait and wake fail at once. A call that has to wait then backs off
// instead of spinning on a core until its condition comes true.
TEST_F(Lifecycle, ABlockedReadBacksOffWhileItsWaitFails) {
    ASSERT_EQ(gsq_c_create(), 0);
    ASSERT_EQ(gsq_c_alloc_queue(8 * 32, 4, 0, 1, 1), 0);
    ASSERT_EQ(PASS_ON(vos_destroy_semaphore, made.at(set_key(0)), 250), 0);
    ASSERT_GE(PASS_ON(vos_create_semaphore, set_key(0), 250), 0);
    std::atomic<int32_t> result{0};
    uint64_t got = 0;
    const std::clock_t cpu = std::clock();  // the process's: this thread only waits
    Blocked reader = start([&] { result = gsq_read(0, &got); });
    EXPECT_TRUE(reader.still_blocked(500ms)) << "a read of an empty queue returned";
    const double cpu_ms = double(std::clock() - cpu) * 1e3 / CLOCKS_PER_SEC;
    EXPECT_EQ(gsq_c_write(0, 42, nullptr, 0), -1) << "written, answering its failed wake";
    reader.finish("the read after the write");
    EXPECT_EQ(csv(got, result.load()), "42,-1");
    EXPECT_LT(cpu_ms, 100.0) << "ms of CPU time while blocked about 500 ms";
}

}  // namespace
}  // namespace brenn_test
