// Load, shared family. Queue L1 (a dynamic sharable ring) has one producer process, 16
// consumer processes with 8 peek sessions each (one thread per session, 128 sessions in all)
// and a main reader process. Queue L2 (a dynamic consuming ring) has its own producer, a
// consumer process with two sessions, and a process that keeps changing its window and its
// node count while it runs. Checked:
//   - every session's sequence numbers strictly increase, its gap flag is set exactly when
//     numbers were skipped (a session that has taken nothing numbered 1 or more never reports
//     one), each handle matches its number, and live_count equals the takes;
//   - the main reader's numbers strictly increase;
//   - L1's writer gets every handle back once, in order; every handle written to L2 comes back
//     exactly once (to its writer, to a consumer, in a resize/clean array or to olk_return);
//   - no process's resident memory grows (VmRSS at start vs end, with a small slack);
//   - nothing of the family's keys is left in ipcs afterwards.
// BRENN_LOAD_SECONDS sets the length (default 4).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <algorithm>
#include <vector>

#include "campaigns/campaign_support.h"
#include "common/table_checks.h"
#include "support/olk.h"

namespace brenn_campaign {
namespace {

using namespace std::chrono_literals;
using brenn_test::child_result;
using brenn_test::fork_child;

constexpr int kConsumers = 16, kSessionsEach = 8, kSessions1 = kConsumers * kSessionsEach;
constexpr int kSessions2 = 2;
constexpr int32_t kWindow1 = 64;
constexpr uint64_t kTag1 = 0x100000000ULL;
constexpr uint64_t kHandles2 = uint64_t{1} << 31;  // the most handles L2's producer writes
constexpr long kSlackKiB = 1024;
// Under a sanitizer its runtime's own memory grows with the work done, and under an emulator
// the emulator's translated code does: the memory check then only reports.
#if defined(BRENN_UNDER_EMULATOR) || defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

struct SessionFigures {
    std::atomic<uint64_t> takes{0}, skipped{0}, gaps{0}, max_lag{0}, taken_out{0}, nothing{0};
    std::atomic<int> errors{0};
    std::atomic<int> live_count_errors{0};
};

// Process slots for the memory figures: producer 1, reader, 16 consumers, producer 2,
// consumer 2, changer.
constexpr int kProcesses = 3 + kConsumers + 2;
enum : int { kProducer1 = 0, kReader = 1, kProducer2 = 2 + kConsumers, kConsumer2, kChanger };

struct Control {
    std::atomic<int> stop{0}, stop_changer{0};
    std::atomic<int32_t> q1{-1}, q2{-1};
    std::atomic<int64_t> newest1{-1}, final1{-1}, final2{-1};
    std::atomic<int> ready1{0}, ready2{0}, done1{0}, done2{0};
    SessionFigures sessions1[kSessions1];
    SessionFigures sessions2[kSessions2];
    std::atomic<uint64_t> reads{0}, reader_skipped{0}, reader_errors{0};
    std::atomic<uint64_t> writes1{0}, writes1_total{0}, writer1_errors{0}, writes2{0};
    std::atomic<uint64_t> resizes{0}, cleans{0}, changes{0}, change_waits{0};
    std::atomic<uint64_t> back_writer{0}, back_consumer{0}, back_array{0}, back_olk{0}, back_bad{0},
        back_twice{0};
    // Resident anonymous memory (heap and stacks: RssAnon) and VmRSS, in KiB.
    std::atomic<long> anon_start[kProcesses], anon_end[kProcesses];
    std::atomic<long> rss_start[kProcesses], rss_end[kProcesses];
};

Control *g_control = nullptr;
// One bit per handle of L2, set when it comes back (a mapping of its own, touched as it goes).
uint64_t *g_returned2 = nullptr;
constexpr size_t kReturnedBytes = kHandles2 / 8;

void came_back(uint64_t h, std::atomic<uint64_t> &channel) {
    if (h == kNone) return;
    if (h == 0 || h >= kHandles2) {
        g_control->back_bad.fetch_add(1);
        return;
    }
    const uint64_t bit = uint64_t{1} << (h & 63);
    if ((std::atomic_ref<uint64_t>(g_returned2[h >> 6]).fetch_or(bit) & bit) != 0)
        g_control->back_twice.fetch_add(1);
    channel.fetch_add(1);
}

}  // namespace
}  // namespace brenn_campaign

// Node-count changes of L2 give dropped handles back here, in the changer's process.
extern "C" void olk_return(uint64_t handle) {
    if (brenn_campaign::g_control != nullptr)
        brenn_campaign::came_back(handle, brenn_campaign::g_control->back_olk);
}

namespace brenn_campaign {
namespace {

// Memory once the process is running: after its threads are up and it has worked a while.
// VmRSS also counts the queues' segment and the campaign's counters, shared memory that a
// process touches more of as it goes, and code pages first run late: what must not grow is
// the anonymous memory (heap and stacks).
void memory_at_start(Control *c, int slot) {
    const Memory m = memory_now();
    c->rss_start[slot].store(m.rss_kib);
    c->anon_start[slot].store(m.anon_kib);
}
void memory_at_end(Control *c, int slot) {
    const Memory m = memory_now();
    c->rss_end[slot].store(m.rss_kib);
    c->anon_end[slot].store(m.anon_kib);
}

bool ended(Control *c) {
    return c->stop.load(std::memory_order_relaxed) != 0;
}

// A producer starts once its consumers are about to peek (or read), so that every figure
// covers the whole run.
bool consumers_ready(const std::atomic<int> &ready, int want) {
    const auto limit = std::chrono::steady_clock::now() + 20s;
    while (ready.load() < want && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(1ms);
    return ready.load() >= want;
}

// One session: peeks until it has taken the final number (or one after it). A take is told by
// the session's number moving, not by the handle: on a consuming ring a node another session
// took first gives no handle, and a session that a node-count change left without a position
// may find nothing newer and get no handle at once.
void session_loop(Control *c, int32_t q, int32_t s, SessionFigures &fig,
                  const std::atomic<int64_t> &final_seq, bool sharable, uint64_t tag,
                  std::atomic<int> &ready) {
    ready.fetch_add(1);
    int64_t last = -1;
    uint64_t takes = 0;
    for (;;) {
        const int64_t fin = final_seq.load();
        if (fin >= 0 && last >= fin) break;
        uint64_t obj = 0;
        int32_t gap = -1;
        gsq_c_peek(q, s, &obj, &gap);
        const int64_t seq = gsq_c_get_cur_seq(q, s);
        if (seq == last) {  // nothing taken
            fig.nothing.fetch_add(1);
            if (obj != kNone) fig.errors.fetch_add(1);
            continue;
        }
        ++takes;
        if (gsq_c_get_cur_live_count(q, s) != takes) fig.live_count_errors.fetch_add(1);
        if (seq < last) fig.errors.fetch_add(1);
        const int want_gap = (last >= 1 && seq != last + 1) ? 1 : 0;
        if (gap != want_gap) fig.errors.fetch_add(1);
        if (sharable && obj != tag + static_cast<uint64_t>(seq)) fig.errors.fetch_add(1);
        if (!sharable) {
            if (obj != kNone) fig.taken_out.fetch_add(1);
            came_back(obj, c->back_consumer);
        }
        if (last >= 0 && seq > last + 1)
            fig.skipped.fetch_add(static_cast<uint64_t>(seq - last - 1));
        fig.gaps.fetch_add(static_cast<uint64_t>(gap == 1));
        if (sharable) {
            const int64_t lag = c->newest1.load(std::memory_order_relaxed) - seq;
            if (lag > 0 && static_cast<uint64_t>(lag) > fig.max_lag.load())
                fig.max_lag.store(static_cast<uint64_t>(lag));
        }
        fig.takes.store(takes);
        last = seq;
    }
    if (gsq_c_get_cur_live_count(q, s) != takes) fig.live_count_errors.fetch_add(1);
}

// ---- the processes ------------------------------------------------------------------------

int producer1(Control *c) {
    CHILD_CHECK(gsq_c_init() == 0, 2);
    const int32_t q = c->q1.load();
    CHILD_CHECK(consumers_ready(c->ready1, kSessions1 + 1), 4);
    memory_at_start(c, kProducer1);
    uint64_t i = 0;
    auto write_one = [&] {
        uint64_t back = 0;
        gsq_c_write(q, kTag1 + i, &back, static_cast<int64_t>(1000 + i));
        const uint64_t want = i >= kWindow1 ? kTag1 + i - kWindow1 : kNone;
        if (back != want) c->writer1_errors.fetch_add(1);
        c->newest1.store(static_cast<int64_t>(i), std::memory_order_relaxed);
        ++i;
    };
    bool started = false;
    while (!ended(c)) {
        write_one();
        if (!started && i == 2000) {
            started = true;
            memory_at_start(c, kProducer1);
        }
    }
    c->writes1.store(i);
    c->final1.store(static_cast<int64_t>(i - 1));
    // Writes go on until every session and the reader have taken the final number.
    const auto limit = std::chrono::steady_clock::now() + 20s;
    while (c->done1.load() < kSessions1 + 1 && std::chrono::steady_clock::now() < limit) {
        write_one();
        std::this_thread::sleep_for(20us);
    }
    c->writes1_total.store(i);
    memory_at_end(c, kProducer1);
    CHILD_CHECK(c->done1.load() == kSessions1 + 1, 3);
    return 0;
}

int reader1(Control *c) {
    CHILD_CHECK(gsq_c_init() == 0, 2);
    const int32_t q = c->q1.load();
    memory_at_start(c, kReader);
    c->ready1.fetch_add(1);
    int64_t last = -1;
    uint64_t reads = 0;
    for (;;) {
        const int64_t fin = c->final1.load();
        if (fin >= 0 && last >= fin) break;
        uint64_t obj = 0;
        gsq_read(q, &obj);
        const auto seq = static_cast<int64_t>(obj - kTag1);
        if (obj == kNone || seq <= last) c->reader_errors.fetch_add(1);
        if (last >= 0 && seq > last + 1)
            c->reader_skipped.fetch_add(static_cast<uint64_t>(seq - last - 1));
        last = seq;
        if (++reads == 1000) memory_at_start(c, kReader);
    }
    c->reads.store(reads);
    memory_at_end(c, kReader);
    c->done1.fetch_add(1);
    return 0;
}

int consumer1(Control *c, int index) {
    CHILD_CHECK(gsq_c_init() == 0, 2);
    const int32_t q = c->q1.load();
    std::vector<std::thread> threads;
    for (int k = 0; k < kSessionsEach; ++k) {
        const int32_t s = index * kSessionsEach + k;
        threads.emplace_back([c, q, s] {
            session_loop(c, q, s, c->sessions1[s], c->final1, true, kTag1, c->ready1);
            c->done1.fetch_add(1);
        });
    }
    std::this_thread::sleep_for(300ms);
    memory_at_start(c, 2 + index);
    for (std::thread &t : threads)
        t.join();
    memory_at_end(c, 2 + index);
    return 0;
}

int producer2(Control *c) {
    CHILD_CHECK(gsq_c_init() == 0, 2);
    const int32_t q = c->q2.load();
    CHILD_CHECK(consumers_ready(c->ready2, kSessions2), 5);
    memory_at_start(c, kProducer2);
    uint64_t h = 1;
    auto write_one = [&] {
        uint64_t back = 0;
        gsq_c_write(q, h, &back, static_cast<int64_t>(1000 + h));
        ++h;
        came_back(back, c->back_writer);
    };
    while (!ended(c) && h < kHandles2 - 100000) {
        write_one();
        if (h == 2000) memory_at_start(c, kProducer2);
    }
    // The changer has stopped; the last number is known once no change runs any more.
    while (c->stop_changer.load() != 2)
        write_one();
    Records r;
    CHILD_CHECK(records_of(true, q, &r), 3);
    c->final2.store(static_cast<int64_t>(r.hdr->write_seq) - 1);
    c->writes2.store(h - 1);
    const auto limit = std::chrono::steady_clock::now() + 20s;
    while (c->done2.load() < kSessions2 && std::chrono::steady_clock::now() < limit) {
        write_one();
        std::this_thread::sleep_for(20us);
    }
    c->writes2.store(h - 1);
    memory_at_end(c, kProducer2);
    CHILD_CHECK(c->done2.load() == kSessions2, 4);
    return 0;
}

int consumer2(Control *c) {
    CHILD_CHECK(gsq_c_init() == 0, 2);
    const int32_t q = c->q2.load();
    std::vector<std::thread> threads;
    for (int32_t s = 0; s < kSessions2; ++s) {
        threads.emplace_back([c, q, s] {
            session_loop(c, q, s, c->sessions2[s], c->final2, false, 0, c->ready2);
            c->done2.fetch_add(1);
        });
    }
    std::this_thread::sleep_for(300ms);
    memory_at_start(c, kConsumer2);
    for (std::thread &t : threads)
        t.join();
    memory_at_end(c, kConsumer2);
    return 0;
}

int changer(Control *c, uint64_t seed) {
    CHILD_CHECK(gsq_c_init() == 0, 2);
    const int32_t q = c->q2.load();
    Rng g(seed);
    Records r;
    CHILD_CHECK(records_of(true, q, &r), 3);
    // The largest ring first, so that the pages it touches count from the start.
    CHILD_CHECK(gsq_c_change_queue_size(q, 1024 * 32) == 0, 4);
    c->changes.fetch_add(1);
    memory_at_start(c, kChanger);
    while (c->stop_changer.load() == 0) {
        const uint32_t pick = g.below(10);
        if (pick < 5) {
            const int32_t n = r.hdr->node_num;
            int32_t count = 0;
            // A window of at least one node: a window of 0 leaves every handle written outside
            // it, where the writes write over them once the window grows again.
            uint64_t *a = gsq_c_resize(
                q, 1 + static_cast<int32_t>(g.below(static_cast<uint32_t>(n - 2))), &count);
            for (int32_t k = 0; a != nullptr && k < count; ++k)
                came_back(a[k], c->back_array);
            std::free(a);
            c->resizes.fetch_add(1);
        } else if (pick < 6) {
            int32_t count = 0;
            uint64_t *a = gsq_c_clean(q, &count);
            for (int32_t k = 0; a != nullptr && k < count; ++k)
                came_back(a[k], c->back_array);
            std::free(a);
            c->cleans.fetch_add(1);
        } else {
            const uint32_t m = 16 + g.below(1009);
            const auto t0 = std::chrono::steady_clock::now();
            CHILD_CHECK(gsq_c_change_queue_size(q, m * 32) == 0, 5);
            if (std::chrono::steady_clock::now() - t0 > 1ms) c->change_waits.fetch_add(1);
            c->changes.fetch_add(1);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500 + g.below(2000)));
    }
    memory_at_end(c, kChanger);
    c->stop_changer.store(2);
    return 0;
}

// ---- the harness --------------------------------------------------------------------------

class Load : public ::testing::Test {
  protected:
    void SetUp() override {
        gsq_c_destroy();
        brenn_test::remove_shared_objects();
        void *m = mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        ASSERT_NE(m, MAP_FAILED);
        g_control = c_ = new (m) Control;
        void *counts = mmap(nullptr, kReturnedBytes, PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        ASSERT_NE(counts, MAP_FAILED);
        g_returned2 = static_cast<uint64_t *>(counts);
        ASSERT_EQ(gsq_c_create(), 0);
    }
    void TearDown() override {
        for (pid_t p : children_) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
        gsq_c_destroy();
        brenn_test::remove_shared_objects();
        g_control = nullptr;
        munmap(c_, sizeof(Control));
        if (g_returned2 != nullptr) munmap(g_returned2, kReturnedBytes);
        g_returned2 = nullptr;
        EXPECT_EQ(brenn_test::keys_listed_by_ipcs(), "") << "objects left behind";
    }
    pid_t spawn(const std::function<int()> &fn) {
        const pid_t p = fork_child(fn, 900);
        children_.push_back(p);
        return p;
    }
    int wait_for(pid_t p, std::chrono::milliseconds limit) {
        const int rc = child_result(p, limit);
        children_.erase(std::remove(children_.begin(), children_.end(), p), children_.end());
        return rc;
    }

    Control *c_ = nullptr;
    std::vector<pid_t> children_;
};

uint64_t median(std::vector<uint64_t> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

TEST_F(Load, ManyProcessesOnOneRingAndOneThatChanges) {
    setenv("OLK_LOG_QUIET", "1", 1);
    const uint64_t seconds = env_u64("BRENN_LOAD_SECONDS", 4);
    const uint64_t seed = campaign_seed();
    std::printf("load: %" PRIu64 " s, seed 0x%" PRIx64 "\n", seconds, seed);
    const int32_t q1 = gsq_c_dynamic_alloc(200, kWindow1, 128, 0, 1, 1);
    const int32_t q2 = gsq_c_dynamic_alloc(200, 100, 8, 0, 1, 0);
    ASSERT_GE(q1, 0);
    ASSERT_GE(q2, 0);
    c_->q1.store(q1);
    c_->q2.store(q2);
    // Sessions are made here, one after another: creation is not serialised by the library.
    for (int s = 0; s < kSessions1; ++s)
        ASSERT_EQ(gsq_c_create_session(q1), s);
    for (int s = 0; s < kSessions2; ++s)
        ASSERT_EQ(gsq_c_create_session(q2), s);

    std::vector<pid_t> consumers;
    for (int i = 0; i < kConsumers; ++i)
        consumers.push_back(spawn([this, i] { return consumer1(c_, i); }));
    const pid_t reader = spawn([this] { return reader1(c_); });
    const pid_t cons2 = spawn([this] { return consumer2(c_); });
    const pid_t prod1 = spawn([this] { return producer1(c_); });
    const pid_t prod2 = spawn([this] { return producer2(c_); });
    const pid_t chg = spawn([this, seed] { return changer(c_, seed); });
    // The watchdog's thread starts only now: a process that forks must not have threads yet
    // when its children start their own.
    static Watchdog dog(static_cast<unsigned>(seconds) + 90, static_cast<unsigned>(seconds) + 120,
                        nullptr, brenn_test::remove_shared_objects);

    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    c_->stop_changer.store(1);
    EXPECT_EQ(wait_for(chg, 30s), 0) << "the changer";
    c_->stop.store(1);
    EXPECT_EQ(wait_for(prod1, 30s), 0) << "L1's producer";
    EXPECT_EQ(wait_for(prod2, 30s), 0) << "L2's producer";
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(wait_for(reader, 10s), 0) << "L1's reader";
    EXPECT_EQ(wait_for(cons2, 10s), 0) << "L2's consumer";
    for (int i = 0; i < kConsumers; ++i)
        EXPECT_EQ(wait_for(consumers[static_cast<size_t>(i)], 10s), 0) << "consumer " << i;

    // What is left in L2's window comes back through a clean. A node-count change that keeps
    // more nodes than the new window holds leaves the oldest kept one outside the window, and
    // a later write writes over its handle: what still sits outside is counted as held.
    int32_t count = 0;
    uint64_t *a = gsq_c_clean(q2, &count);
    for (int32_t k = 0; a != nullptr && k < count; ++k)
        came_back(a[k], c_->back_array);
    std::free(a);
    Records r;
    ASSERT_TRUE(records_of(true, q2, &r));
    EXPECT_EQ(invariant_breach(r), "");
    for (int32_t i = 0; i < r.hdr->node_num; ++i)
        if (r.nodes[i].obj != kNone) came_back(r.nodes[i].obj, c_->back_array);
    ASSERT_TRUE(records_of(true, q1, &r));
    EXPECT_EQ(invariant_breach(r), "");

    // Sessions of L1.
    uint64_t takes = 0, skipped = 0, gaps = 0, nothing1 = 0;
    int errors = 0, live_bad = 0;
    std::vector<uint64_t> lags, per_session;
    for (SessionFigures &s : c_->sessions1) {
        takes += s.takes.load();
        skipped += s.skipped.load();
        gaps += s.gaps.load();
        errors += s.errors.load();
        live_bad += s.live_count_errors.load() == 0 ? 0 : 1;
        nothing1 += s.nothing.load();
        lags.push_back(s.max_lag.load());
        per_session.push_back(s.takes.load());
    }
    EXPECT_EQ(errors, 0) << "L1 sessions saw numbers out of order, a wrong gap flag or handle";
    EXPECT_EQ(live_bad, 0) << "L1 sessions whose live_count differs from their takes";
    EXPECT_EQ(nothing1, 0u) << "L1 peeks that took nothing (its sessions always have a position)";
    EXPECT_EQ(c_->writer1_errors.load(), 0u) << "L1's writer got other handles back";
    EXPECT_EQ(c_->reader_errors.load(), 0u) << "L1's reader saw numbers out of order";
    // Sessions of L2 and the handles of L2.
    int errors2 = 0, live_bad2 = 0;
    uint64_t takes2 = 0, skipped2 = 0, nothing2 = 0;
    for (SessionFigures &s : c_->sessions2) {
        errors2 += s.errors.load();
        live_bad2 += s.live_count_errors.load() == 0 ? 0 : 1;
        nothing2 += s.nothing.load();
        takes2 += s.takes.load();
        skipped2 += s.skipped.load();
    }
    EXPECT_EQ(errors2, 0) << "L2 sessions saw numbers out of order or a wrong gap flag";
    EXPECT_EQ(live_bad2, 0) << "L2 sessions whose live_count differs from their takes";
    const uint64_t written2 = c_->writes2.load();
    uint64_t lost = 0, first_lost = 0;
    const uint64_t twice = c_->back_twice.load();
    for (uint64_t h = 1; h <= written2 && h < kHandles2; ++h) {
        if ((g_returned2[h >> 6] & (uint64_t{1} << (h & 63))) == 0 && lost++ == 0) first_lost = h;
    }
    EXPECT_EQ(c_->back_bad.load(), 0u) << "handles that were never written came back";
    EXPECT_EQ(twice, 0u) << "L2 handles that came back more than once";
    EXPECT_LE(lost, c_->changes.load())
        << "L2 handles that never came back, more than one per node-count change (the first: "
        << first_lost << ")";
    // Memory.
    long grew = 0, rss_grew = 0;
    int grew_at = -1;
    for (int p = 0; p < kProcesses; ++p) {
        const long d = c_->anon_end[p].load() - c_->anon_start[p].load();
        if (d > grew) {
            grew = d;
            grew_at = p;
        }
        rss_grew = std::max(rss_grew, c_->rss_end[p].load() - c_->rss_start[p].load());
        EXPECT_GT(c_->rss_start[p].load(), 0) << "process " << p << " measured no memory";
        EXPECT_GT(c_->rss_end[p].load(), 0) << "process " << p << " measured no memory";
    }
    if (!kSanitized) {
        EXPECT_LE(grew, kSlackKiB) << "process " << grew_at << " grew by " << grew << " KiB";
    }

    std::printf("load: %.1f s; L1: %" PRIu64 " writes (%.0f/s; %" PRIu64
                " more until every consumer had the last), %d sessions took %" PRIu64
                " nodes (%.0f deliveries/s, per session median %" PRIu64 "), skipped %" PRIu64
                " numbers in %" PRIu64 " gaps; largest lag per session: median %" PRIu64
                ", max %" PRIu64 "; main reader %" PRIu64 " reads, skipped %" PRIu64 "\n",
                elapsed, c_->writes1.load(), static_cast<double>(c_->writes1.load()) / elapsed,
                c_->writes1_total.load() - c_->writes1.load(), kSessions1, takes,
                static_cast<double>(takes) / elapsed, median(per_session), skipped, gaps,
                median(lags), *std::max_element(lags.begin(), lags.end()), c_->reads.load(),
                c_->reader_skipped.load());
    std::printf(
        "load: L2: %" PRIu64 " writes, %" PRIu64 " window resizes, %" PRIu64 " cleans, %" PRIu64
        " node-count changes (%" PRIu64 " waited); 2 sessions took %" PRIu64 " nodes (%" PRIu64
        " peeks found nothing newer), skipped %" PRIu64 "; handles back to the writer %" PRIu64
        ", to consumers %" PRIu64 ", in arrays %" PRIu64 ", to olk_return %" PRIu64
        "; lost %" PRIu64 ", twice %" PRIu64
        "; largest growth of anonymous memory %ld KiB (process %d), "
        "of VmRSS %ld KiB\n",
        written2, c_->resizes.load(), c_->cleans.load(), c_->changes.load(),
        c_->change_waits.load(), takes2, nothing2, skipped2, c_->back_writer.load(),
        c_->back_consumer.load(), c_->back_array.load(), c_->back_olk.load(), lost, twice, grew,
        grew_at, rss_grew);
}

}  // namespace
}  // namespace brenn_campaign
