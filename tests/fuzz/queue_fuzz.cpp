// A libFuzzer target: the random-operation engine on one family (BRENN_FUZZ_FAMILY), its
// operations drawn from the input. Besides the sanitizers' findings, a step that breaks the
// ledger of handles or an invariant aborts.
#include <fuzzer/FuzzedDataProvider.h>

#include "common/random_ops.h"

using Family = brenn_test::BRENN_FUZZ_FAMILY;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("OLK_LOG_QUIET", "1", 1);
    return std::atexit([] { Family::down(); }), 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<brenn_test::Op> ops;
    while (in.remaining_bytes() > 0 && ops.size() < 400)
        ops.push_back(brenn_test::RandomOps<Family>::draw(
            [&](uint32_t n) { return in.ConsumeIntegralInRange<uint32_t>(0, n - 1); }));
    const auto [at, why] = brenn_test::run_ops<Family>(ops, true);
    if (why.empty()) return 0;
    std::fprintf(stderr, "%s_queue_fuzz: step %d: %s\n%s", Family::name, at, why.c_str(),
                 brenn_test::describe(ops).c_str());
    std::abort();
}
