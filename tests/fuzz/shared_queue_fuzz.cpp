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

const queue_fuzz::QueueFamily kSharedFamily = {
    "shared_queue_fuzz",
    BRENN_SHARED_QUEUES,
    256,
    255,
    1024,
    [](int32_t q) { return gsq_c_ready(q) == 1; },
    VSQ_GET_Q_NODE_NUM,
    gsq_c_alloc_queue,
    gsq_c_dynamic_alloc,
    gsq_c_free_queue,
    gsq_c_get_gnode_size,
    gsq_lock,
    gsq_unlock,
    gsq_c_write,
    gsq_read,
    gsq_look,
    VSQ_IS_READY_TO_READ,
    gsq_c_create_session,
    gsq_c_destroy_session,
    gsq_c_seek,
    gsq_c_reset_peek,
    gsq_c_peek,
    gsq_c_is_data_available,
    gsq_c_get_cur_seq,
    gsq_c_get_cur_live_count,
    gsq_c_set_sharable,
    gsq_c_is_sharable,
    VSQ_BEGIN_LOOK_BACK,
    VSQ_LOOK_BACK,
    VSQ_END_LOOK_BACK,
    gsq_c_resize,
    gsq_c_clean,
    gsq_c_get_q_size_by_time,
    gsq_c_get_queue_status,
    gsq_c_change_queue_size,
    [](int32_t q, char *, int32_t) { gsq_c_dump(q); },
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
    queue_fuzz::run_input(kSharedFamily, data, size);
    return 0;
}
