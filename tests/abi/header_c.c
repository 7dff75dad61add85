/* The public header as a strict C11 program sees it: the layouts other targets share. */
#include <stddef.h>

#include "brenn.h"

_Static_assert(sizeof(QueueSession) == 32 && offsetof(QueueSession, live_count) == 24, "");
_Static_assert(sizeof(QueueStatus) == 4112 && offsetof(QueueStatus, sessions) == 16, "");

int main(void) {
    uint64_t obj = 0;
    const int32_t q = lsq_c_alloc_queue(4 * BRENN_NODE_SIZE, 2, 0, 1, 1);
    if (q < 0 || lsq_c_write(q, 42, NULL, 0) != 0 || lsq_c_read(q, &obj) != 0) return 1;
    lsq_c_free_queue(q);
    return obj == 42 && gsq_c_get_gnode_size() == BRENN_NODE_SIZE ? 0 : 2;
}
