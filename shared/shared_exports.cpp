// The shared family's C interface: each export resolves through the shared table and runs the
// one engine operation that both families share.
#include "engine/api.h"
#include "include/brenn.h"
#include "shared/shared_table.h"

using brenn::shared::family;
namespace api = brenn::api;

#define EXPORT_LOCK gsq_lock
#define EXPORT_UNLOCK gsq_unlock
#define EXPORT_WRITE gsq_c_write
#define EXPORT_READ gsq_read
#define EXPORT_LOOK gsq_look
#define EXPORT_IS_READY_TO_READ VSQ_IS_READY_TO_READ
#define EXPORT_CREATE_SESSION gsq_c_create_session
#define EXPORT_DESTROY_SESSION gsq_c_destroy_session
#define EXPORT_SEEK gsq_c_seek
#define EXPORT_RESET_PEEK gsq_c_reset_peek
#define EXPORT_PEEK gsq_c_peek
#define EXPORT_IS_DATA_AVAILABLE gsq_c_is_data_available
#define EXPORT_GET_CUR_SEQ gsq_c_get_cur_seq
#define EXPORT_GET_CUR_LIVE_COUNT gsq_c_get_cur_live_count
#define EXPORT_SET_SHARABLE gsq_c_set_sharable
#define EXPORT_IS_SHARABLE gsq_c_is_sharable
#define EXPORT_BEGIN_LOOK_BACK VSQ_BEGIN_LOOK_BACK
#define EXPORT_LOOK_BACK VSQ_LOOK_BACK
#define EXPORT_END_LOOK_BACK VSQ_END_LOOK_BACK
#define EXPORT_RESIZE gsq_c_resize
#define EXPORT_CLEAN gsq_c_clean
#define EXPORT_GET_Q_SIZE_BY_TIME gsq_c_get_q_size_by_time
#define EXPORT_GET_QUEUE_STATUS gsq_c_get_queue_status
#define EXPORT_CHANGE_QUEUE_SIZE gsq_c_change_queue_size

extern "C" {

int32_t gsq_c_alloc_queue(uint32_t size, int32_t max_sessions, int32_t reserve, int32_t no_block,
                          int32_t sharable) {
    return brenn::shared::allocate(size, max_sessions, reserve, no_block, sharable);
}
int32_t gsq_c_dynamic_alloc(int32_t node_count, int32_t window, int32_t max_sessions,
                            int32_t reserve, int32_t no_block, int32_t sharable) {
    return brenn::shared::allocate_dynamic(node_count, window, max_sessions, reserve, no_block,
                                           sharable);
}
void gsq_c_free_queue(int32_t q) {
    brenn::shared::release(q);
}
int32_t gsq_c_get_gnode_size(void) {
    return api::node_size();
}
int32_t VSQ_GET_Q_NODE_NUM(int32_t q) {
    return brenn::shared::node_count(q);
}
int32_t gsq_c_ready(int32_t q) {
    return brenn::shared::ready(q);
}

#include "engine/queue_exports.inc"

void gsq_c_dump(int32_t q) {
    api::dump_to_stdout(family, q);
}

}  // extern "C"
