/* The public header as a C11 program sees it. */
#include <stddef.h>

#include "brenn.h"

_Static_assert(sizeof(QueueSession) == 32, "QueueSession is 32 bytes");
_Static_assert(sizeof(QueueStatus) == 4112, "QueueStatus is 4112 bytes");
_Static_assert(offsetof(QueueSession, live_count) == 24, "live_count at 24");
_Static_assert(offsetof(QueueStatus, sessions) == 16, "sessions at 16");

int main(void) {
    uint64_t obj = 0;
    QueueStatus status;
    const int32_t q = lsq_c_alloc_queue(4 * BRENN_NODE_SIZE, 2, 0, 1, 1);
    if (q < 0 || lsq_c_get_gnode_size() != 32 || gsq_c_get_gnode_size() != 32) return 1;
    if (lsq_c_write(q, 42, NULL, 0) != 0 || lsq_c_read(q, &obj) != 0 || obj != 42) return 2;
    if (lsq_c_get_queue_status(q, &status) != 0 || status.rd != 0 || status.wr != 0) return 3;
    lsq_c_free_queue(q);
    if (gsq_c_alloc_queue(320, 1, 0, 1, 1) != -1 || gsq_c_ready(0) != 0) return 4;
    if (lsq_c_peek(BRENN_LOCAL_QUEUES, 0, &obj, NULL) != 0 || obj != BRENN_NO_HANDLE) return 5;
    return 0;
}
