// The local family's C interface: each export resolves through the local table and runs the
// one engine operation that both families share.
#include "engine/api.h"
#include "include/brenn.h"
#include "local/local_table.h"

using brenn::local::family;
namespace api = brenn::api;

#define EXPORT_LOCK lsq_lock
#define EXPORT_UNLOCK lsq_unlock
#define EXPORT_WRITE lsq_c_write
#define EXPORT_READ lsq_c_read
#define EXPORT_LOOK lsq_look
#define EXPORT_IS_READY_TO_READ lsq_c_is_ready_to_read
#define EXPORT_CREATE_SESSION lsq_c_create_session
#define EXPORT_DESTROY_SESSION lsq_c_destroy_session
#define EXPORT_SEEK lsq_seek
#define EXPORT_RESET_PEEK lsq_c_reset_peek
#define EXPORT_PEEK lsq_c_peek
#define EXPORT_IS_DATA_AVAILABLE lsq_c_is_data_available
#define EXPORT_GET_CUR_SEQ lsq_c_get_cur_seq
#define EXPORT_GET_CUR_LIVE_COUNT lsq_c_get_cur_live_count
#define EXPORT_SET_SHARABLE VSQ_SET_SHARABLE
#define EXPORT_IS_SHARABLE VSQ_IS_SHARABLE
#define EXPORT_BEGIN_LOOK_BACK lsq_c_begin_look_back
#define EXPORT_LOOK_BACK lsq_c_look_back
#define EXPORT_END_LOOK_BACK lsq_c_end_look_back
#define EXPORT_RESIZE lsq_c_resize
#define EXPORT_CLEAN lsq_c_clean
#define EXPORT_GET_Q_SIZE_BY_TIME lsq_c_get_q_size_by_time
#define EXPORT_GET_QUEUE_STATUS lsq_c_get_queue_status
#define EXPORT_CHANGE_QUEUE_SIZE lsq_c_change_queue_size

extern "C" {

int32_t lsq_c_alloc_queue(uint32_t size, int32_t max_sessions, int32_t reserve, int32_t no_block,
                          int32_t sharable) {
    return brenn::local::allocate(size, max_sessions, reserve, no_block, sharable);
}
int32_t lsq_c_dynamic_alloc(int32_t node_count, int32_t window, int32_t max_sessions,
                            int32_t reserve, int32_t no_block, int32_t sharable) {
    return brenn::local::allocate_dynamic(node_count, window, max_sessions, reserve, no_block,
                                          sharable);
}
void lsq_c_free_queue(int32_t q) {
    brenn::local::release(q);
}
int32_t lsq_c_get_gnode_size(void) {
    return api::node_size();
}
int32_t lsq_c_get_queue_node_num(int32_t q) {
    return brenn::local::node_count(q);
}

#include "engine/queue_exports.inc"

void lsq_c_dump(int32_t q, char *buf, int32_t len) {
    api::dump_into(family, q, buf, len);
}

}  // extern "C"
