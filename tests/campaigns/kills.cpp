// Kills at random points, shared family. A victim process runs the random-operation engine
// (common/random_ops.h) on queues of semaphore set 0 while two survivors stream on queue B
// (slot 130, set 1): a writer that never runs a ring ahead and a main reader that checks every
// handle. The victim is killed with SIGKILL after a random delay, again and again. After each
// kill, when the victim died holding a queue's lock, B must go on while the dead process holds
// it, and gsq_c_reset must release it; otherwise the victim's queues must pass the header's
// invariants as they stand. BRENN_KILLS (20), BRENN_SEED.
#include <sys/mman.h>

#include <atomic>
#include <new>

#include "common/random_ops.h"
#include "support/olk.h"

namespace brenn_test {
namespace {

constexpr int32_t kB = 130, kNodesB = 64;
constexpr uint64_t kEnd = UINT64_MAX - 1;

struct Control {
    std::atomic<uint64_t> written{0}, read{0}, damage{0}, steps{0};
    std::atomic<int> stop{0}, ready{0};
};

int b_writer(Control *c) {
    if (gsq_c_init() != 0) return 2;
    for (uint64_t i = 0;; ++i) {
        while (i - c->read.load() >= kNodesB - 4)
            std::this_thread::sleep_for(50us);
        const bool stop = c->stop.load() != 0;
        if (gsq_c_write(kB, stop ? kEnd : i, nullptr, 0) != 0) return 3;
        if (stop) return 0;
        c->written.store(i + 1);
    }
}

int b_reader(Control *c) {
    if (gsq_c_init() != 0) return 2;
    for (uint64_t want = 0;; ++want) {
        uint64_t h = 0;
        if (gsq_read(kB, &h) != 0) return 3;
        if (h == kEnd) return 0;
        if (h != want) c->damage.fetch_add(1);
        c->read.store(want + 1);
    }
}

int victim(Control *c, uint64_t seed) {
    if (gsq_c_init() != 0 || std::freopen("/dev/null", "w", stdout) == nullptr) return 2;
    RandomOps<Shared> engine;
    if (!engine.open().empty()) return 3;
    Rng rng{seed};
    c->ready.store(1);
    for (uint64_t i = 0;; ++i) {
        engine.check(i % 64 == 0);  // mostly inside the calls, now and then the whole check
        const Op op = RandomOps<Shared>::draw([&](uint32_t n) { return rng.below(n); });
        if (const std::string why = engine.step(op); !why.empty()) {
            std::fprintf(stderr, "victim, seed 0x%" PRIx64 ": %s\n", seed, why.c_str());
            return 4;
        }
        c->steps.fetch_add(1, std::memory_order_relaxed);
    }
}

TEST(Kills, AVictimKilledAtRandomPointsWhileAnotherQueueStreams) {
    const uint64_t seed = seed_from_env();
    const auto kills = static_cast<int>(env_u64("BRENN_KILLS", 20));
    std::printf("kills: seed 0x%" PRIx64 ", %d kills\n", seed, kills);
    arm_watchdog(60 + 5 * static_cast<unsigned>(kills));
    auto *c = new (mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0)) Control;
    ASSERT_TRUE(Shared::up());
    Rng rng{seed};
    pid_t writer = -1, reader = -1;
    // B in slot 130 of set 1: slots 0 .. 129 held by fillers meanwhile, then freed for the
    // victims.
    auto stream = [&] {
        std::vector<int32_t> fillers;
        for (int32_t q = 0; q < kB; ++q)
            fillers.push_back(gsq_c_alloc_queue(32, 0, 0, 1, 1));
        c->written = c->read = 0, c->stop = 0;
        ASSERT_EQ(gsq_c_alloc_queue(kNodesB * 32, 0, 1, 0, 1), kB);
        writer = fork_child([c] { return b_writer(c); });
        reader = fork_child([c] { return b_reader(c); });
        for (int32_t q : fillers)
            gsq_c_free_queue(q);
    };
    uint64_t delivered = 0, while_held = 0;
    auto end_stream = [&] {
        c->stop = 1;
        EXPECT_EQ(child_result(writer), 0) << "B's writer";
        EXPECT_EQ(child_result(reader), 0) << "B's reader";
        EXPECT_EQ(c->read.load(), c->written.load()) << "B lost nodes";
        delivered += c->read.load();
    };
    stream();
    int held = 0;
    for (int k = 0; k < kills && !::testing::Test::HasFailure(); ++k) {
        c->ready = 0;
        const uint64_t victim_seed = rng.next();
        const pid_t dead = fork_child([c, victim_seed] { return victim(c, victim_seed); });
        for (int i = 0; i < 5000 && c->ready.load() == 0; ++i)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(std::chrono::microseconds(rng.below(20000)));
        kill(dead, SIGKILL);
        ASSERT_EQ(child_result(dead), 128 + SIGKILL)
            << "the victim found damage, seed 0x" << std::hex << victim_seed;
        const int32_t set0 = vos_get_semaphore(brenn::shared::kFirstSetKey, 250);
        bool locked = false;
        for (int32_t q = 0; q < kB; ++q)
            locked = locked || (gsq_c_ready(q) == 1 && vos_is_lock(set0, q) == 1);
        if (locked) {
            ++held;
            // B goes on while the dead process holds the lock (within a bound, however slow
            // the machine).
            const uint64_t before = c->read.load();
            for (int i = 0; i < 10000 && c->read.load() - before < 20; ++i)
                std::this_thread::sleep_for(1ms);
            while_held += c->read.load() - before;
            EXPECT_GE(c->read.load() - before, 20u) << "B stalled while a dead process held a lock";
            end_stream();
            ASSERT_EQ(gsq_c_reset(), 0);
            for (int32_t q = 0; q < kB; ++q)
                ASSERT_EQ(vos_is_lock(vos_get_semaphore(brenn::shared::kFirstSetKey, 250), q), 0);
            stream();
            continue;
        }
        for (int32_t q = 0; q < kB; ++q) {
            Records r;
            if (gsq_c_ready(q) != 1 || !records_of(true, q, &r)) continue;
            EXPECT_EQ(invariant_breach(r), "") << "queue " << q << " after kill " << k;
            gsq_c_free_queue(q);
        }
    }
    end_stream();
    std::printf(
        "kills: %d kills, %d holding a lock (each released by a reset); the victims made "
        "%" PRIu64 " steps; B delivered %" PRIu64 " nodes in order, %" PRIu64
        " of them while a dead process held a lock\n",
        kills, held, c->steps.load(), delivered, while_held);
    EXPECT_EQ(c->damage.load(), 0u) << "B's reader got other handles than written";
    Shared::down();
}

}  // namespace
}  // namespace brenn_test
