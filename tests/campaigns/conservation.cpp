// Handle conservation: random sequences of operations on each family, checked after every step
// by the random-operation engine. A failure is shrunk and printed with its seed, which BRENN_SEED
// replays. BRENN_SEQUENCES (6), BRENN_STEPS (2000).
#include "common/random_ops.h"

namespace brenn_test {
namespace {

template <class F>
class Conservation : public ::testing::Test {};
TYPED_TEST_SUITE(Conservation, Families, FamilyName);

TYPED_TEST(Conservation, EveryHandleInExactlyOnePlace) {
    using F = TypeParam;
    const uint64_t seed = seed_from_env();
    const uint64_t sequences = env_u64("BRENN_SEQUENCES", 6), steps = env_u64("BRENN_STEPS", 2000);
    std::printf("conservation[%s]: seed 0x%" PRIx64 ", %" PRIu64 " x %" PRIu64 " steps\n", F::name,
                seed, sequences, steps);
    Rng rng{seed};
    for (uint64_t n = 0; n < sequences; ++n) {
        std::vector<Op> ops;
        for (uint64_t i = 0; i < steps; ++i)
            ops.push_back(RandomOps<F>::draw([&](uint32_t k) { return rng.below(k); }));
        const auto [at, why] = run_ops<F>(ops);
        if (why.empty()) continue;
        const std::vector<Op> shortest = shrink<F>(ops);
        const auto [short_at, short_why] = run_ops<F>(shortest);
        FAIL() << "sequence " << n << " of seed 0x" << std::hex << seed << std::dec
               << " breaks at step " << at << ": " << why << "\nshrunk to " << shortest.size()
               << " operations, breaking at step " << short_at << ": " << short_why << "\n"
               << describe(shortest);
    }
}

}  // namespace
}  // namespace brenn_test
