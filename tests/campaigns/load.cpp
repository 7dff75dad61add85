// Load, shared family. Queue A (dynamic, sharable): a producer, 16 consumer processes with 8 peek
// sessions each (a thread per session) and a main reader. Queue B (dynamic, consuming): a
// producer, a consumer with two sessions, and a process that keeps changing B's window and node
// count. Every session's numbers rise, with a gap flag exactly when numbers were skipped, handles
// that match them (on A) and live_count equal to its takes; A's writer gets back the handle one
// window behind; B's handles come back at most once, and fewer are lost than changes were made
// (the oldest node a change keeps can lie outside the new window, where a write covers it); no
// consumer's anonymous memory grows by more than 1 MiB. BRENN_LOAD_SECONDS (4).
#include <sys/mman.h>

#include <atomic>
#include <fstream>
#include <new>

#include "common/family.h"
#include "common/records.h"
#include "support/olk_standin.h"

namespace brenn_test {
namespace {

constexpr int kConsumers = 16, kEach = 8, kSessions = kConsumers * kEach, kWindowA = 64;
constexpr uint64_t kHandlesB = uint64_t{1} << 30;

struct Control {
    std::atomic<int> stop{0}, ready{0}, changed{0}, done[2]{0, 0};  // [0] of A, [1] of B
    std::atomic<int64_t> last[2]{-1, -1};
    std::atomic<uint64_t> takes{0}, skipped{0}, errors{0}, reader_errors{0}, writer_errors{0};
    std::atomic<uint64_t> reads{0}, grew{0}, changes{0}, twice{0}, b_per_ms{0};
    std::atomic<uint64_t> returned[kHandlesB / 64];  // one bit per handle of B that came back
};
Control *c;

long anon_kib() {
    std::ifstream f("/proc/self/status");
    std::string key;
    long v = -1;
    while (f >> key && key != "RssAnon:") {
    }
    return f >> v ? v : -1;
}
pid_t process(const std::function<void()> &fn) {
    return fork_child([fn] { return gsq_c_init() != 0 ? 2 : (fn(), 0); });
}
void came_back(uint64_t h) {
    const uint64_t bit = uint64_t{1} << (h % 64);
    if (h < kHandlesB && (c->returned[h / 64].fetch_or(bit) & bit) != 0) c->twice.fetch_add(1);
}
void came_back(uint64_t *back, int32_t count) {
    for (int32_t i = 0; back != nullptr && i < count; ++i)
        came_back(back[i]);
    std::free(back);
}

// Peeks until the session has the final number. A take is told by the number moving: a node
// another session took first on a consuming ring gives no handle.
void session(int32_t q, int32_t s, int w) {
    const bool sharable = w == 0;
    c->ready.fetch_add(1);
    uint64_t takes = 0;
    for (int64_t last = -1; c->last[w].load() < 0 || last < c->last[w].load();) {
        uint64_t h = 0;
        int32_t gap = -1;
        gsq_c_peek(q, s, &h, &gap);
        const int64_t seq = gsq_c_get_cur_seq(q, s);
        if (seq == last) continue;
        c->errors.fetch_add(seq < last || gap != (last >= 1 && seq != last + 1 ? 1 : 0) ||
                            (sharable && h != uint64_t(seq)) ||
                            gsq_c_get_cur_live_count(q, s) != ++takes);
        c->skipped.fetch_add(last >= 0 ? uint64_t(seq - last - 1) : 0);
        if (!sharable) came_back(h);
        last = seq;
    }
    c->takes.fetch_add(takes);
    c->done[w].fetch_add(1);
}

// Writes until told to stop, then, slowly, until every reader of the queue is done, numbering
// handles from w: 0 on A, whose slot is fresh, so a handle is its number; 1 on B. B's last number
// is known only once its changer has stopped: a change waiting for a lagging session goes on
// only while sessions peek and writes wake it.
void produce(int32_t q, int w, int readers) {
    const bool is_b = w == 1;
    while (c->ready.load() < kSessions + 3)
        std::this_thread::sleep_for(1ms);
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t h = uint64_t(w), extra = 0; c->done[w].load() < readers; ++h) {
        // B's handles are counted in a bitmap of kHandlesB: a long run paces B's writer.
        while (is_b && h % 4096 == 0 &&
               h > c->b_per_ms * uint64_t((std::chrono::steady_clock::now() - start) / 1ms))
            std::this_thread::sleep_for(1ms);
        uint64_t back = 0;
        gsq_c_write(q, h, &back, int64_t(h) * 10);
        if (is_b) came_back(back);
        c->writer_errors.fetch_add(!is_b && back != (h >= kWindowA ? h - kWindowA : kNone));
        if (c->stop.load() != 0 && (!is_b || c->changed.load() != 0) && extra++ == 0)
            c->last[w].store(int64_t(h) - w);
        if (c->stop.load() != 0) std::this_thread::sleep_for(20us);
    }
}

TEST(Load, ManyProcessesOnOneRingAndOneThatChanges) {
    const uint64_t seconds = env_u64("BRENN_LOAD_SECONDS", 4), seed = seed_from_env();
    std::printf("load: %" PRIu64 " s, seed 0x%" PRIx64 "\n", seconds, seed);
    arm_watchdog(unsigned(seconds) + 90);
    c = new (mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE,
                  MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)) Control;
    c->b_per_ms = kHandlesB / 2 / ((seconds + 60) * 1000);
    ASSERT_TRUE(Shared::up());
    const int32_t a = gsq_c_dynamic_alloc(200, kWindowA, 128, 0, 1, 1);
    const int32_t b = gsq_c_dynamic_alloc(200, 100, 8, 0, 1, 0);
    for (int s = 0; s < kSessions + 2; ++s)
        ASSERT_EQ(gsq_c_create_session(s < kSessions ? a : b), s % kSessions);
    std::vector<pid_t> pids;
    for (int p = 0; p < kConsumers; ++p)
        pids.push_back(process([a, p] {
            const long before = anon_kib();
            std::vector<std::thread> threads;
            for (int s = p * kEach; s < (p + 1) * kEach; ++s)
                threads.emplace_back([a, s] { session(a, s, 0); });
            for (std::thread &t : threads)
                t.join();
            c->grew.fetch_add(!kSanitized && !kEmulated && anon_kib() - before > 1024);
        }));
    pids.push_back(process([a] {
        c->ready.fetch_add(1);
        for (int64_t last = -1; c->last[0].load() < 0 || last < c->last[0].load(); c->reads++) {
            uint64_t h = 0;
            gsq_read(a, &h);
            c->reader_errors.fetch_add(int64_t(h) <= last);
            last = int64_t(h);
        }
        c->done[0].fetch_add(1);
    }));
    pids.push_back(process([b] {
        std::thread t([b] { session(b, 1, 1); });
        session(b, 0, 1);
        t.join();
    }));
    pids.push_back(process([a] { produce(a, 0, kSessions + 1); }));
    pids.push_back(process([b] { produce(b, 1, 2); }));
    const pid_t changer = process([b, seed] {
        olk_set_return_handler([](uint64_t h, void *) { came_back(h); }, nullptr);
        Rng rng{seed};
        for (int32_t n = 201, count = 0; c->stop.load() == 0; c->changes.fetch_add(1)) {
            uint64_t *back = rng.below(5) == 0
                                 ? gsq_c_clean(b, &count)
                                 : gsq_c_resize(b, 1 + int32_t(rng.below(uint32_t(n - 2))), &count);
            came_back(back, count);
            n = 16 + int32_t(rng.below(1009));
            gsq_c_change_queue_size(b, uint32_t(n) * 32);
            std::this_thread::sleep_for(std::chrono::microseconds(500 + rng.below(2000)));
        }
        c->changed.store(1);
    });
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    c->stop.store(1);
    EXPECT_EQ(child_result(changer), 0);
    for (pid_t p : pids)
        EXPECT_EQ(child_result(p, 60s), 0);
    // What is left in B comes back through a clean, and what a change left outside the window.
    int32_t count = 0;
    uint64_t *back = gsq_c_clean(b, &count);
    came_back(back, count);
    Records r;
    ASSERT_TRUE(records_of(true, b, &r));
    for (int32_t i = 0; i < r.hdr->node_num; ++i)
        came_back(r.nodes[i].obj);
    uint64_t lost = 0;
    for (uint64_t h = 1; h <= uint64_t(c->last[1].load()) && h < kHandlesB; ++h)
        lost += (c->returned[h / 64].load() >> (h % 64) & 1) == 0;
    EXPECT_EQ(c->errors.load(), 0u)
        << "sessions saw numbers out of order, a wrong gap, handle or count";
    EXPECT_EQ(c->reader_errors.load(), 0u) << "the main reader's numbers fell";
    EXPECT_EQ(c->writer_errors.load(), 0u) << "A's writer got another handle back";
    EXPECT_EQ(c->twice.load(), 0u) << "handles of B that came back twice";
    EXPECT_LT(lost, c->changes.load() + 1) << "handles of B lost";
    EXPECT_EQ(c->grew.load(), 0u) << "consumer processes whose memory grew";
    std::printf("load: A: %" PRId64 " writes, sessions took %" PRIu64 " (%" PRIu64
                " skipped), the main reader %" PRIu64 "; B: %" PRId64 " writes, %" PRIu64
                " changes, %" PRIu64 " lost\n",
                c->last[0].load() + 1, c->takes.load(), c->skipped.load(), c->reads.load(),
                c->last[1].load(), c->changes.load(), lost);
    Shared::down();
}

}  // namespace
}  // namespace brenn_test
