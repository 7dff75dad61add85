// The local family under the operation driver of queue_fuzz_driver.h.
#include <climits>
#include <cstdlib>

#include "queue_fuzz_driver.h"

namespace {

const queue_fuzz::QueueFamily kLocalFamily = {
    "local_queue_fuzz",
    BRENN_LOCAL_QUEUES,
    INT32_MAX,
    queue_fuzz::kMaxNodeCount,
    INT32_MAX,
    [](int32_t q) { return lsq_c_get_queue_node_num(q) >= 1; },
    lsq_c_get_queue_node_num,
    lsq_c_alloc_queue,
    lsq_c_dynamic_alloc,
    lsq_c_free_queue,
    lsq_c_get_gnode_size,
    lsq_lock,
    lsq_unlock,
    lsq_c_write,
    lsq_c_read,
    lsq_look,
    lsq_c_is_ready_to_read,
    lsq_c_create_session,
    lsq_c_destroy_session,
    lsq_seek,
    lsq_c_reset_peek,
    lsq_c_peek,
    lsq_c_is_data_available,
    lsq_c_get_cur_seq,
    lsq_c_get_cur_live_count,
    VSQ_SET_SHARABLE,
    VSQ_IS_SHARABLE,
    lsq_c_begin_look_back,
    lsq_c_look_back,
    lsq_c_end_look_back,
    lsq_c_resize,
    lsq_c_clean,
    lsq_c_get_q_size_by_time,
    lsq_c_get_queue_status,
    lsq_c_change_queue_size,
    lsq_c_dump,
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Every release logs a line; the stand-in's log is off for the run.
    setenv("OLK_LOG_QUIET", "1", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    queue_fuzz::run_input(kLocalFamily, data, size);
    return 0;
}
