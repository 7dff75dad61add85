// The host stand-in of the support library: log lines, time texts, returned handles, plain
// segments, and semaphore sets locked, waited on and signalled between threads and processes.
// A lost wake-up shows as a thread still asleep at a deadline: the set's destruction then frees
// it, and the test fails.
#include <gtest/gtest.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/syscall.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "common/harness.h"
#include "olk_standin.h"
#include "standin/semaphore_layout.h"

namespace brenn_test {
namespace {

const bool armed = arm_watchdog(110);
constexpr auto npos = std::string::npos;
const auto key = [](int32_t n) { return 0x0b5e0800 + n; };
// A call's answer and errno as one text: "-1,22".
const auto answer = [](int64_t r) { return csv(r, errno); };
#define EXPECT_REFUSED(call, error) \
    EXPECT_EQ(answer((errno = 0, int64_t(call))), csv(-1, error)) << #call

// What `body` writes on standard error in a child with OLK_LOG_DEBUG and OLK_LOG_QUIET as given
// (nullptr: unset): the switches are read once per process, so this process never logs.
std::string logged(const char *debug, const char *quiet, const std::function<int()> &body) {
    int code = 0;
    const std::string out = capture_stdout(
        [&] {
            code = child_result(fork_child([&] {
                debug ? setenv("OLK_LOG_DEBUG", debug, 1) : unsetenv("OLK_LOG_DEBUG");
                quiet ? setenv("OLK_LOG_QUIET", quiet, 1) : unsetenv("OLK_LOG_QUIET");
                return body();
            }));
        },
        2);
    return code == 0 ? out : "<the child failed> " + out;
}

TEST(Log, SwitchesReadOnceLinesCutAt1024WholeUnderConcurrencyErrnoKept) {
    const std::string info = "[info] queue 3 freed, size=64\n", both = info + "[debug] detail ff\n";
    const std::tuple<const char *, const char *, std::string> cases[] = {
        {nullptr, nullptr, info}, {"yes", nullptr, both}, {"0", nullptr, info}, {"", nullptr, info},
        {"1", "1", ""},           {nullptr, "0", info},   {"1", "", both}};
    const auto two_lines = [] {
        log_Console("queue %d freed, size=%u", 3, 64u);
        log_Debug("detail %x", 255);
        return 0;
    };
    for (const auto &[debug, quiet, text] : cases)
        EXPECT_EQ(logged(debug, quiet, two_lines), text)
            << (debug ? debug : "-") << " " << (quiet ? quiet : "-");
    EXPECT_EQ(logged("1", nullptr,
                     [] {
                         errno = ERANGE;
                         log_Console("a");
                         log_Debug("b");
                         if (errno != ERANGE) return 1;
                         setenv("OLK_LOG_DEBUG", "0", 1);  // too late: read at the first call
                         setenv("OLK_LOG_QUIET", "1", 1);
                         log_Debug("c");
                         log_Console("%s", std::string(1016, 'y').c_str());  // 1024 in all
                         log_Console("%s", std::string(5000, 'x').c_str());
                         // Through pointers: the compilers refuse a literal NULL format.
                         void (*volatile calls[])(const char *, ...) = {log_Console, log_Debug};
                         for (auto call : calls)
                             if (errno = 0, call(nullptr), errno != EINVAL) return 2;
                         close(2);
                         errno = ERANGE;
                         log_Console("nowhere");  // must do no harm
                         return errno == ERANGE ? 0 : 3;
                     }),
              "[info] a\n[debug] b\n[debug] c\n[info] " + std::string(1016, 'y') + "\n[info] " +
                  std::string(1013, 'x') + "...\n");
    // Long lines from a thread and two processes at once: each arrives whole, once.
    auto line = [](int w) { return std::string(600 + 100 * w, char('a' + w)); };
    auto lines = [&](int w) {
        for (int i = 0; i < 300; ++i)
            log_Console("%s", line(w).c_str());
        return 0;
    };
    const std::string text = logged(nullptr, nullptr, [&] {
        const pid_t a = fork_child([&] { return lines(0); }),
                    b = fork_child([&] { return lines(1); });
        std::thread(lines, 2).join();
        return child_result(a) + child_result(b);
    });
    size_t whole = 0;
    for (int w = 0; w < 3; ++w)
        for (size_t at = 0; (at = text.find("[info] " + line(w) + "\n", at)) != npos; ++at)
            whole += 8 + line(w).size();
    const size_t all = 300 * (3 * 8 + 600 + 700 + 800);  // nothing lost, doubled or cut
    EXPECT_EQ(csv(whole, text.size()), csv(all, all));
}

// The stand-in's text, which must leave the 33rd byte of a buffer and all after it alone, and
// the one by the C++ calendar, which shares no code with it.
std::string time_text(int64_t ts) {
    char buf[65] = {};
    std::memset(buf, 0x7f, 64);
    make_time_string2(buf, ts);
    return std::string(buf + 32) == std::string(32, 0x7f) ? buf : "<overran 32 bytes>";
}
std::string calendar(int64_t ts) {
    using namespace std::chrono;
    if (ts == 0) return "-";
    if (ts < -62167219200000 || ts > 253402300799999) return "@" + std::to_string(ts);
    const sys_time<milliseconds> t{milliseconds{ts}};
    const year_month_day d{floor<days>(t)};
    const hh_mm_ss<milliseconds> h{t - floor<days>(t)};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02d:%02d:%02d.%03d", int(d.year()),
                  unsigned(d.month()), unsigned(d.day()), int(h.hours().count()),
                  int(h.minutes().count()), int(h.seconds().count()), int(h.subseconds().count()));
    return buf;
}

TEST(TimeText, KnownTextsAndEveryDayOf800Years) {
    const std::pair<int64_t, const char *> known[] = {
        {1733450205123, "2024-12-06 01:56:45.123"},   {0, "-"},
        {-1001, "1969-12-31 23:59:58.999"},           {951782400000, "2000-02-29 00:00:00.000"},
        {-62167219200000, "0000-01-01 00:00:00.000"}, {253402300799999, "9999-12-31 23:59:59.999"},
        {-62167219200001, "@-62167219200001"},        {253402300800000, "@253402300800000"},
        {INT64_MIN, "@-9223372036854775808"}};
    for (const auto &[ts, text] : known)
        EXPECT_EQ(time_text(ts), text);
    EXPECT_REFUSED((make_time_string2(nullptr, 1), -1), EINVAL);  // a NULL buffer
    // 1600 to 2400 at a time of day that moves, and random values of every magnitude.
    Rng rng{20241206};
    for (int64_t day = -11676096000000, at = 1; day < 13569465600000; day += 86400000) {
        at = (at * 7919 + 13) % 86400000;
        const int64_t any = static_cast<int64_t>(rng.next()) >> rng.below(64);
        ASSERT_EQ(time_text(day + at), calendar(day + at));
        ASSERT_EQ(time_text(any), calendar(any));
    }
}

std::atomic<uint64_t> g_calls{0}, g_sum{0};
void record(uint64_t handle, void *context) {
    g_calls += 1;
    g_sum += handle * reinterpret_cast<uintptr_t>(context);  // the context comes along
}

TEST(BufferReturn, CountedByDefaultHandledWithItsContextNoneLostWhileSwapping) {
    const uint64_t before = olk_returned_count();
    olk_return(UINT64_MAX);
    olk_set_return_handler(record, reinterpret_cast<void *>(3));
    olk_return(40);
    olk_set_return_handler(record, reinterpret_cast<void *>(1));
    olk_return(2);
    EXPECT_EQ(csv(g_calls.load(), g_sum.load(), olk_returned_count() - before), "2,122,1");
    olk_set_return_handler(nullptr, reinterpret_cast<void *>(3));
    olk_return(6);
    EXPECT_EQ(csv(g_calls.load(), olk_returned_count() - before), "2,2");
    g_calls = g_sum = 0;
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        for (uintptr_t turn = 0; !stop; ++turn)
            olk_set_return_handler(turn % 3 ? record : nullptr, reinterpret_cast<void *>(1));
    });
    for (int i = 0; i < 40000; ++i)
        olk_return(1);
    stop = true;
    swapper.join();
    olk_set_return_handler(nullptr, nullptr);
    EXPECT_EQ(g_calls + olk_returned_count() - before, 40002u);
    EXPECT_EQ(g_sum.load(), g_calls.load());
}

// Every call on one semaphore refuses (set, index) alike.
const auto refused_everywhere = [](int32_t set, int32_t index, int error) {
    for (auto call :
         {vos_is_lock, olk_semaphore_holder, vos_lock, vos_unlock, vos_signal, vos_wait})
        EXPECT_REFUSED(call(set, index), error) << set << "," << index;
};

// Words shared with forked children; the plain ones are ordered by the semaphores alone.
struct Scratch {
    std::atomic<int> step;
    uint32_t turns[3];
    uint64_t counter;
} &g =
    *new (mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0)) Scratch{};

// The threads of a test: one still asleep at the deadline (a lost wake-up) fails the test, and
// the set's destruction frees it, so that none outlives the test.
bool finished(std::vector<Blocked> &threads, int32_t set, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    bool in_time = true;
    for (Blocked &b : threads)
        in_time &= b.done.wait_until(end) == std::future_status::ready;
    if (!in_time) vos_destroy_semaphore(set, 0);
    for (Blocked &b : threads)
        b.finish("a thread freed by the set's destruction");
    return in_time;
}

class Ipc : public ::testing::Test {
  protected:
    void SetUp() override { TearDown(); }
    // Sets are destroyed first, to free their places in this process's table of sets.
    void TearDown() override {
        for (int32_t n = 0; n < 400; ++n)
            if (const int id = shmget(key(n), 0, 0); id >= 0)
                vos_destroy_semaphore(id, 0), shmctl(id, IPC_RMID, nullptr);
    }
};

TEST_F(Ipc, SegmentsAreSharedByKeyRefusedWhenBadAndTakeTheConfiguredMode) {
    const int32_t id = vos_create_shared_memory(key(1), 8192);
    ASSERT_GE(id, 0);
    EXPECT_EQ(vos_get_shared_memory(key(1)), id);
    EXPECT_REFUSED(vos_create_shared_memory(key(1), 100), EEXIST);
    auto *words = static_cast<volatile uint32_t *>(vos_attach_shared_memory(id));
    ASSERT_NE(words, nullptr);
    EXPECT_EQ(words[0] | words[2047], 0u);
    words[10] = 0xfeedf00d;
    EXPECT_EQ(child_result(fork_child([] {
                  const int32_t found = vos_get_shared_memory(key(1));
                  auto *mine = static_cast<uint32_t *>(vos_attach_shared_memory(found));
                  if (mine == nullptr || mine[10] != 0xfeedf00d) return 1;
                  mine[11] = 12345;
                  return vos_dettach_shared_memory(found, mine) == 0 ? 0 : 2;
              })),
              0);
    EXPECT_EQ(words[11], 12345u);
    // Destroyed: no longer found, the key free at once, still usable where attached.
    ASSERT_EQ(vos_destroy_shared_memory(id), 0);
    EXPECT_REFUSED(vos_get_shared_memory(key(1)), ENOENT);
    EXPECT_GE(vos_create_shared_memory(key(1), 4096), 0);
    words[0] = 7;
    EXPECT_EQ(vos_dettach_shared_memory(id, const_cast<uint32_t *>(words)), 0);
    int local = 0;
    EXPECT_REFUSED(vos_create_shared_memory(key(2), 0), EINVAL);
    EXPECT_REFUSED(vos_get_shared_memory(key(2)), ENOENT);
    EXPECT_REFUSED(vos_get_shared_memory(IPC_PRIVATE), ENOENT);
    EXPECT_EQ(vos_attach_shared_memory(-1), nullptr);
    EXPECT_REFUSED(vos_dettach_shared_memory(0, nullptr), EINVAL);
    EXPECT_REFUSED(vos_dettach_shared_memory(-1, &local), EINVAL);
    EXPECT_REFUSED(vos_dettach_shared_memory(0, &local), EINVAL);
    EXPECT_REFUSED(vos_destroy_shared_memory(-1), EINVAL);
    EXPECT_EQ(vos_destroy_shared_memory(id), -1);
    const std::pair<const char *, int> modes[] = {
        {nullptr, 0660}, {"0600", 0600}, {"640", 0640},   {"0777", 0777}, {"", 0660},
        {"rw", 0660},    {"0668", 0660}, {"01777", 0660}, {"-600", 0660}, {"600x", 0660}};
    int32_t n = 10;
    for (const auto &[value, mode] : modes) {
        value ? setenv("OLK_IPC_MODE", value, 1) : unsetenv("OLK_IPC_MODE");
        for (const int32_t made :
             {vos_create_shared_memory(key(n++), 64), vos_create_semaphore(key(n++), 1)}) {
            shmid_ds ds{};
            EXPECT_EQ(shmctl(made, IPC_STAT, &ds), 0);
            EXPECT_EQ(ds.shm_perm.mode & 0777, mode) << (value ? value : "(unset)");
        }
    }
    unsetenv("OLK_IPC_MODE");
}

TEST_F(Ipc, SetsAreMadeFoundLockedAndFreed) {
    const int32_t set = vos_create_semaphore(key(1), 8);
    ASSERT_GE(set, 0);
    EXPECT_EQ(shmget(key(1), 0, 0), set);
    EXPECT_EQ(csv(vos_get_semaphore(key(1), 8), vos_get_semaphore(key(1), 0)), csv(set, set));
    for (const int32_t count : {9, -1, INT_MIN})
        EXPECT_REFUSED(vos_get_semaphore(key(1), count), EINVAL);
    EXPECT_REFUSED(vos_get_semaphore(key(2), 1), ENOENT);
    ASSERT_EQ(vos_lock(set, 1), 0);
    EXPECT_EQ(csv(vos_is_lock(set, 0), vos_is_lock(set, 1), vos_is_lock(set, 2),
                  olk_semaphore_holder(set, 0), olk_semaphore_holder(set, 1)),
              csv(0, 1, 0, 0, getpid()));
    ASSERT_GE(vos_create_shared_memory(key(2), 4096), 0);
    EXPECT_REFUSED(vos_create_semaphore(key(1), 8), EEXIST);
    EXPECT_REFUSED(vos_create_semaphore(key(2), 8), EEXIST);
    for (const int32_t count : {0, -1, 4097, INT_MAX})
        EXPECT_REFUSED(vos_create_semaphore(key(3), count), EINVAL);
    EXPECT_LT(shmget(key(3), 0, 0), 0) << "a refused count made a segment";
    const int32_t big = vos_create_semaphore(key(3), 4096);
    EXPECT_EQ(vos_lock(big, 4095), 0);
    EXPECT_EQ(csv(vos_is_lock(big, 4094), vos_is_lock(big, 4095)), "0,1");
    EXPECT_EQ(vos_unlock(set, 1), 0);
    EXPECT_EQ(csv(vos_is_lock(set, 1), olk_semaphore_holder(set, 1)), "0,0");
    EXPECT_EQ(vos_unlock(set, 1), 0) << "freeing a free semaphore is no error";
    EXPECT_EQ(vos_lock(set, 1), 0) << "a second unlock spoilt the lock";
    for (const int32_t index : {-1, 8, INT_MAX, INT_MIN})
        refused_everywhere(set, index, EINVAL);
    // Ids of no set: none, a gone segment, plain ones of zeros or noise (untouched), forged
    // headers whose count or layout would lead past the segment.
    const uint32_t forged[][2] = {
        {olk::kSetLayout, 4096}, {olk::kSetLayout, 0}, {olk::kSetLayout + 1, 2}};
    for (int32_t n = 10; n < 15; ++n) {
        auto *bytes = static_cast<uint32_t *>(
            vos_attach_shared_memory(vos_create_shared_memory(key(n), 4096)));
        std::memset(bytes, n == 10 ? 0 : 0xa5, 4096);
        if (n > 11)
            *reinterpret_cast<olk::SetHeader *>(bytes) = {
                olk::kSetMagic, forged[n - 12][0], forged[n - 12][1], 0, 0, {}};
        refused_everywhere(vos_get_shared_memory(key(n)), n > 11 ? 4095 : 0, EINVAL);
        EXPECT_REFUSED(vos_get_semaphore(key(n), 0), EINVAL);
        EXPECT_REFUSED(vos_destroy_semaphore(vos_get_shared_memory(key(n)), 1), EINVAL);
        EXPECT_EQ(bytes[1000], n == 10 ? 0u : 0xa5a5a5a5) << "a refusal wrote";
        EXPECT_GE(vos_get_shared_memory(key(n)), 0) << "destroyed a segment that is no set";
    }
    const int32_t gone = vos_create_shared_memory(key(20), 64);
    EXPECT_EQ(vos_destroy_shared_memory(gone), 0);
    refused_everywhere(gone, 0, EINVAL);
    refused_everywhere(-1, 0, EINVAL);
}

// A child that found the set by key blocks on a lock held here, gets it once another thread
// frees it and dies holding it: its pid stays on record, and anyone may free it. Then a destroy
// in another process wakes a lock sleeper here and a wait sleeper there with EIDRM; every call
// after is refused, and the key makes a new set.
TEST_F(Ipc, LocksWaitAcrossProcessesDeadHoldersStayOnRecordDestroyWakesEverySleeper) {
    const int32_t set = vos_create_semaphore(key(1), 3);
    ASSERT_EQ(vos_lock(set, 0), 0);
    const pid_t child = fork_child([] { return vos_lock(vos_get_semaphore(key(1), 3), 0); });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(olk_semaphore_holder(set, 0), getpid()) << "the child took a held lock";
    std::thread([set] { vos_unlock(set, 0); }).join();
    EXPECT_EQ(child_result(child), 0);
    EXPECT_EQ(csv(vos_is_lock(set, 0), olk_semaphore_holder(set, 0)), csv(1, child));
    EXPECT_EQ(vos_unlock(set, 0), 0);
    EXPECT_EQ(csv(vos_is_lock(set, 0), olk_semaphore_holder(set, 0)), "0,0");
    const pid_t sleeper = fork_child([set] {
        if (vos_lock(set, 1) != 0) return 1;
        g.step = 1;
        while (vos_wait(set, 1) == 0) {  // nobody signals
        }
        return errno == EIDRM ? 0 : 2;
    });
    ASSERT_EQ(vos_lock(set, 0), 0);
    std::atomic<int> errors{0};
    std::vector<Blocked> threads;
    threads.push_back(start([&] { errors = vos_lock(set, 0) == 0 ? 1000 : errno; }));
    for (int i = 0; i < 5000 && (g.step != 1 || vos_is_lock(set, 1) != 0); ++i)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(child_result(fork_child([set] { return vos_destroy_semaphore(set, 3); })), 0);
    EXPECT_TRUE(finished(threads, set, 10s)) << "destroy left a lock sleeper asleep";
    EXPECT_EQ(errors.load(), EIDRM);
    EXPECT_EQ(child_result(sleeper, 10s), 0) << "destroy left a sleeper of another process asleep";
    for (int32_t i = 0; i < 3; ++i)
        refused_everywhere(set, i, EIDRM);
    EXPECT_REFUSED(vos_destroy_semaphore(set, 3), EIDRM);
    EXPECT_REFUSED(vos_get_semaphore(key(1), 3), ENOENT);
    const int32_t again = vos_create_semaphore(key(1), 3);
    EXPECT_NE(again, set);
    EXPECT_EQ(vos_is_lock(again, 0), 0);
    EXPECT_EQ(vos_lock(again, 0), 0);
}

// vos_wait frees the lock while asleep, one signal wakes every sleeper of a semaphore, and each
// returns holding the lock. Then pairs hand a turn back and forth on their own semaphores, one
// across processes, one signalling after its unlock (a signal between the waiter's free and its
// sleep must not be lost); others add to a counter under a lock, which must come out exact.
TEST_F(Ipc, OneSignalWakesAllTurnsNeverStallContendedLocksCountExactly) {
    const int32_t set = vos_create_semaphore(key(1), 8);
    std::atomic<int> arrived{0}, failures{0};
    uint32_t go = 0;
    std::vector<Blocked> threads;
    for (int t = 0; t < 4; ++t)
        threads.push_back(start([&] {
            if (vos_lock(set, 5) != 0) return void(++failures);
            ++arrived;
            while (go == 0)
                if (vos_wait(set, 5) != 0) return void(++failures);
            const bool holding = olk_semaphore_holder(set, 5) == getpid();
            failures += vos_unlock(set, 5) == 0 && holding ? 0 : 1;
        }));
    // Once the last to arrive is asleep the lock is free: a signal from now on reaches all.
    for (int i = 0; i < 5000 && (arrived < 4 || vos_is_lock(set, 5) != 0); ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(arrived.load(), 4) << "vos_wait kept the lock";
    EXPECT_EQ(vos_lock(set, 5), 0);
    go = 1;
    EXPECT_EQ(vos_signal(set, 5), 0);
    EXPECT_EQ(vos_unlock(set, 5), 0);
    EXPECT_TRUE(finished(threads, set, 10s)) << "a sleeper missed the signal";
    threads.clear();
    constexpr int kRounds = 10000;
    auto turns = [set](int p, uint32_t me) {
        for (int i = 0; i < kRounds; ++i) {
            if (vos_lock(set, p) != 0) return 1;
            while (g.turns[p] != me)
                if (vos_wait(set, p) != 0) return 1;
            g.turns[p] = 1 - me;
            if ((p != 2 && vos_signal(set, p) != 0) || vos_unlock(set, p) != 0) return 1;
            if (p == 2 && vos_signal(set, p) != 0) return 1;
        }
        return 0;
    };
    auto count = [set] {
        for (int i = 0; i < kRounds; ++i) {
            if (vos_lock(set, 7) != 0) return 1;
            const uint64_t seen = g.counter;  // a second holder would lose an increment
            if (i % 128 == 0) sched_yield();
            g.counter = seen + 1;
            if (vos_unlock(set, 7) != 0) return 1;
        }
        return 0;
    };
    const pid_t a = fork_child([&] { return turns(0, 1); }), b = fork_child(count);
    for (const int t : {0, 2, 3, 4, 5, 6, 6})  // pair t / 2, side t % 2; 6: counting
        threads.push_back(start([&, t] { failures += t == 6 ? count() : turns(t / 2, t % 2); }));
    EXPECT_TRUE(finished(threads, set, 40s)) << "a wake-up was lost";
    EXPECT_EQ(csv(child_result(a, 10s), child_result(b, 10s), failures.load()), "0,0,0");
    EXPECT_EQ(g.counter, 3u * kRounds);
}

// The fast paths stay in user space: a child allowed only read, write and exit (strict
// seccomp) dies at any other system call.
TEST_F(Ipc, UncontendedCallsMakeNoSystemCall) {
    if (kSanitized) GTEST_SKIP() << "a sanitizer's runtime makes system calls";
    const int32_t set = vos_create_semaphore(key(1), 2);
    const int code = child_result(fork_child([set] {
        const int32_t me = getpid();
        if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT) != 0) return 10;
        bool right = true;
        for (int i = 0; i < 1000; ++i)
            right = right && vos_lock(set, 1) == 0 && olk_semaphore_holder(set, 1) == me &&
                    vos_signal(set, 1) == 0 && vos_unlock(set, 1) == 0 && vos_is_lock(set, 1) == 0;
        syscall(SYS_exit, right ? 0 : 1);  // exit_group is not allowed in strict mode
        return 2;
    }));
    if (code == 10) GTEST_SKIP() << "no strict seccomp here";
    EXPECT_EQ(code, 0) << (code == 128 + SIGKILL ? "a fast path made a system call" : "");
}

// A process holds at most 256 live sets: beyond, a create leaves nothing behind, and a
// destroyed set's place is taken again.
TEST_F(Ipc, TheTableOfSetsFillsCleanly) {
    std::vector<int32_t> sets;
    for (int32_t n = 100, set = 0; n < 400 && set >= 0; ++n)
        if ((set = vos_create_semaphore(key(n), 1)) >= 0) sets.push_back(set);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_LT(shmget(key(100 + int32_t(sets.size())), 0, 0), 0)
        << "a refused create left its segment";
    EXPECT_TRUE(sets.size() >= 200 && sets.size() <= 256) << sets.size();
    EXPECT_EQ(vos_lock(sets.back(), 0), 0);
    ASSERT_EQ(vos_destroy_semaphore(sets.front(), 1), 0);
    EXPECT_EQ(vos_lock(vos_create_semaphore(key(1), 1), 0), 0);
}

}  // namespace
}  // namespace brenn_test
