// The local family under the operation driver of queue_fuzz_driver.h, with its limits.
#include <climits>
#include <cstdlib>

#include "queue_fuzz_driver.h"

namespace {

const queue_fuzz::FuzzLimits kLocalLimits = {
    "local_queue_fuzz",
    INT32_MAX,
    queue_fuzz::kMaxNodeCount,
    INT32_MAX,
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Every release logs a line; the stand-in's log is off for the run.
    setenv("OLK_LOG_QUIET", "1", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    queue_fuzz::run_input(brenn_test::kLocal, kLocalLimits, data, size);
    return 0;
}
