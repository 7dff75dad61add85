// Both queue families behind one table of their C functions, so that a behaviour both
// families share is written once and run on each. Free of any test framework: the GoogleTest
// suites (families.h) and the fuzz targets use the same tables.
#pragma once

#include <cstdint>

#include "include/brenn.h"

namespace brenn_test {

struct FamilyApi {
    const char *name;
    bool shared;
    int32_t queue_count;
    int32_t (*alloc_queue)(uint32_t, int32_t, int32_t, int32_t, int32_t);
    int32_t (*dynamic_alloc)(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t);
    void (*free_queue)(int32_t);
    int32_t (*node_num)(int32_t);
    int32_t (*lock)(int32_t);
    int32_t (*unlock)(int32_t);
    int32_t (*write)(int32_t, uint64_t, uint64_t *, int64_t);
    int32_t (*read)(int32_t, uint64_t *);
    int32_t (*look)(int32_t, int32_t, uint64_t *);
    int32_t (*ready_to_read)(int32_t);
    int32_t (*create_session)(int32_t);
    int32_t (*destroy_session)(int32_t, int32_t);
    void (*seek)(int32_t, int32_t);
    int32_t (*reset_peek)(int32_t, int32_t);
    int32_t (*peek)(int32_t, int32_t, uint64_t *, int32_t *);
    int32_t (*data_available)(int32_t, int32_t, int32_t *);
    int64_t (*cur_seq)(int32_t, int32_t);
    uint64_t (*live_count)(int32_t, int32_t);
    int32_t (*set_sharable)(int32_t, int32_t);
    int32_t (*is_sharable)(int32_t);
    int32_t (*begin_look_back)(int32_t, int32_t, int32_t *, int32_t *);
    int32_t (*look_back)(int32_t, int32_t, uint64_t *);
    int32_t (*end_look_back)(int32_t, int32_t);
    uint64_t *(*resize)(int32_t, int32_t, int32_t *);
    uint64_t *(*clean)(int32_t, int32_t *);
    int32_t (*size_by_time)(int32_t, int32_t);
    int32_t (*queue_status)(int32_t, QueueStatus *);
    int32_t (*change_queue_size)(int32_t, uint32_t);
    int32_t (*gnode_size)(void);
    bool (*allocated)(int32_t q);  // the slot holds a queue
    // The shared family's dump prints on standard output, so its entry ignores the buffer.
    void (*dump)(int32_t q, char *buf, int32_t len);
};

inline const FamilyApi kLocal = {
    "local",
    false,
    BRENN_LOCAL_QUEUES,
    lsq_c_alloc_queue,
    lsq_c_dynamic_alloc,
    lsq_c_free_queue,
    lsq_c_get_queue_node_num,
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
    lsq_c_get_gnode_size,
    [](int32_t q) { return VSQ_IS_SHARABLE(q) >= 0; },
    lsq_c_dump,
};

inline const FamilyApi kShared = {
    "shared",
    true,
    BRENN_SHARED_QUEUES,
    gsq_c_alloc_queue,
    gsq_c_dynamic_alloc,
    gsq_c_free_queue,
    VSQ_GET_Q_NODE_NUM,
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
    gsq_c_get_gnode_size,
    [](int32_t q) { return gsq_c_ready(q) == 1; },
    [](int32_t q, char *, int32_t) { gsq_c_dump(q); },
};

}  // namespace brenn_test
