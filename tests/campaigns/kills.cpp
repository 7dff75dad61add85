// Kills at random points, shared family. A victim process runs the random-operation engine on
// queues of semaphore set 0 while two survivors stream on queue B (slot 130, set 1): a writer
// that never runs a ring ahead and a main reader that checks every handle. The victim is killed
// with SIGKILL after a random delay, again and again. When it died holding a queue's lock, B
// must go on while the dead process holds it, and gsq_c_reset must release it; otherwise the
// victim's queues must pass the header's invariants as they stand. BRENN_KILLS (20), BRENN_SEED.
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
} * c;

int b_writer() {
    for (uint64_t i = 0;; c->written.store(++i)) {
        while (i - c->read.load() >= kNodesB - 4)
            std::this_thread::sleep_for(50us);
        const bool stop = c->stop.load() != 0;
        if (gsq_c_write(kB, stop ? kEnd : i, nullptr, 0) != 0) return 3;
        if (stop) return 0;
    }
}
int b_reader() {
    for (uint64_t want = 0;; c->read.store(++want)) {
        uint64_t h = 0;
        if (gsq_read(kB, &h) != 0) return 3;
        if (h == kEnd) return 0;
        c->damage.fetch_add(h != want);
    }
}
int victim(uint64_t seed) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 2;
    RandomOps<Shared> engine;
    if (!engine.open().empty()) return 3;
    Rng rng{seed};
    c->ready.store(1);
    for (uint64_t i = 0;; c->steps.fetch_add(1), ++i) {
        engine.check(i % 64 == 0);  // mostly inside the calls, now and then the whole check
        const Op op = RandomOps<Shared>::draw([&](uint32_t n) { return rng.below(n); });
        if (const std::string why = engine.step(op); !why.empty())
            return std::fprintf(stderr, "victim, seed 0x%" PRIx64 ": %s\n", seed, why.c_str()), 4;
    }
}
pid_t process(int (*fn)(uint64_t), uint64_t arg = 0) {
    return fork_child([fn, arg] { return gsq_c_init() != 0 ? 2 : fn(arg); });
}

TEST(Kills, AVictimKilledAtRandomPointsWhileAnotherQueueStreams) {
    const uint64_t seed = seed_from_env();
    const auto kills = static_cast<int>(env_u64("BRENN_KILLS", 20));
    std::printf("kills: seed 0x%" PRIx64 ", %d kills\n", seed, kills);
    arm_watchdog(60 + 5 * static_cast<unsigned>(kills));
    c = new (mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1,
                  0)) Control;
    ASSERT_TRUE(Shared::up());
    Rng rng{seed};
    pid_t writer = -1, reader = -1;
    // B in slot 130 of set 1: slots 0 .. 129 held by fillers meanwhile, then freed for victims.
    auto stream = [&] {
        for (int32_t q = 0; q < kB; ++q)
            gsq_c_alloc_queue(32, 0, 0, 1, 1);
        c->written = c->read = 0, c->stop = 0;
        ASSERT_EQ(gsq_c_alloc_queue(kNodesB * 32, 0, 1, 0, 1), kB);
        writer = process([](uint64_t) { return b_writer(); });
        reader = process([](uint64_t) { return b_reader(); });
        for (int32_t q = 0; q < kB; ++q)
            gsq_c_free_queue(q);
    };
    uint64_t delivered = 0, while_held = 0;
    auto end_stream = [&] {
        c->stop = 1;
        EXPECT_EQ(csv(child_result(writer), child_result(reader)), "0,0") << "B's writer, reader";
        EXPECT_EQ(c->read.load(), c->written.load()) << "B lost nodes";
        delivered += c->read.load();
    };
    auto set0_locked = [](int32_t q) {
        return vos_is_lock(vos_get_semaphore(brenn::shared::kFirstSetKey, 250), q);
    };
    stream();
    int held = 0;
    for (int k = 0; k < kills && !::testing::Test::HasFailure(); ++k) {
        c->ready = 0;
        const uint64_t victim_seed = rng.next();
        const pid_t dead = process(victim, victim_seed);
        for (int i = 0; i < 5000 && c->ready.load() == 0; ++i)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(std::chrono::microseconds(rng.below(20000)));
        kill(dead, SIGKILL);
        ASSERT_EQ(child_result(dead), 128 + SIGKILL)
            << "the victim found damage, seed 0x" << std::hex << victim_seed;
        bool locked = false;
        for (int32_t q = 0; q < kB; ++q)
            locked = locked || (gsq_c_ready(q) == 1 && set0_locked(q) == 1);
        if (locked) {
            ++held;
            // B goes on while the dead process holds the lock (within a bound, on a slow machine).
            const uint64_t before = c->read.load();
            for (int i = 0; i < 10000 && c->read.load() - before < 20; ++i)
                std::this_thread::sleep_for(1ms);
            while_held += c->read.load() - before;
            EXPECT_GE(c->read.load() - before, 20u) << "B stalled while a dead process held a lock";
            end_stream();
            ASSERT_EQ(gsq_c_reset(), 0);
            for (int32_t q = 0; q < kB; ++q)
                ASSERT_EQ(set0_locked(q), 0);
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
    std::printf("kills: %d, %d holding a lock; victims' steps %" PRIu64 "; B delivered %" PRIu64
                ", %" PRIu64 " while a lock was held\n",
                kills, held, c->steps.load(), delivered, while_held);
    EXPECT_EQ(c->damage.load(), 0u) << "B's reader got other handles than written";
    Shared::down();
}

}  // namespace
}  // namespace brenn_test
