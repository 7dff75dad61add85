// The shared family under the operation driver of queue_fuzz_driver.h. The process brings the
// shared system up on the family's fixed keys once, at start-up (removing what an earlier,
// crashed run left on them), and destroys it at exit; every input frees the queues it made.
// Run it in a private IPC namespace (unshare --ipc) so that it meets no other user of the
// keys.
#include <sys/shm.h>

#include <cstdio>
#include <cstdlib>

#include "queue_fuzz_driver.h"
#include "shared/segment.h"

namespace {

// Shared rings hold at most 256 nodes, a dynamic queue's count stays below 256, and a
// node-count change stops at 1024.
const queue_fuzz::FuzzLimits kSharedLimits = {
    "shared_queue_fuzz",
    256,
    255,
    1024,
};

void remove_keys() {
    namespace sh = brenn::shared;
    for (int32_t key = sh::kSegmentKey; key < sh::kFirstSetKey + sh::kSetCount; ++key) {
        const int id = shmget(key, 0, 0);
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("OLK_LOG_QUIET", "1", 1);
    if (gsq_c_create() != 0) {
        remove_keys();
        const int32_t rc = gsq_c_create();
        if (rc != 0) {
            std::fprintf(stderr, "shared_queue_fuzz: gsq_c_create: %d\n", rc);
            std::exit(1);
        }
    }
    std::atexit([] { gsq_c_destroy(); });
    // The dumps print on standard output; libFuzzer reports on standard error.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::exit(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    queue_fuzz::run_input(brenn_test::kShared, kSharedLimits, data, size);
    return 0;
}
