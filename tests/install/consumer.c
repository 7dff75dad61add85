/* A C program on the installed library, and the header as a strict C11 program sees it (built
 * so in tests/abi): the layouts other targets share, a write read back, an evicted handle handed
 * back. */
#include <brenn.h>
#include <stddef.h>
#include <stdio.h>

_Static_assert(sizeof(QueueSession) == 32 && offsetof(QueueSession, live_count) == 24, "");
_Static_assert(sizeof(QueueStatus) == 4112 && offsetof(QueueStatus, sessions) == 16, "");

int main(void) {
    uint64_t back = 0, got = 0;
    const int32_t q = lsq_c_alloc_queue(4 * BRENN_NODE_SIZE, 1, 0, 1, 1);
    int32_t rc = lsq_c_write(q, 0x1234, NULL, 1000);
    rc |= lsq_c_read(q, &got);
    const int32_t d = lsq_c_dynamic_alloc(1, 1, 1, 0, 1, 1);
    lsq_c_write(d, 7, &back, 1000);
    lsq_c_write(d, 8, &back, 1040);
    const int bad = q < 0 || d < 0 || rc != 0 || got != 0x1234 || back != 7 ||
                    gsq_c_get_gnode_size() != BRENN_NODE_SIZE;
    puts(bad ? "consumer FAILED" : "consumer ok");
    return bad;
}
