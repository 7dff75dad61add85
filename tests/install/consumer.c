/* A C program that uses the installed library: a local queue with one write, one peek and
 * one read, and a dynamic queue that hands an evicted handle back. */
#include <brenn.h>
#include <stdio.h>

int main(void) {
    uint64_t back = 0, got = 0;
    int32_t gap = -1, bad = 0;
    int32_t q = lsq_c_alloc_queue(4 * BRENN_NODE_SIZE, 1, 0, 1, 1);
    int32_t s = lsq_c_create_session(q);
    lsq_c_write(q, 0x1234, &back, 1000);
    lsq_c_peek(q, s, &got, &gap);
    bad |= got != 0x1234 || gap != 0 || back != BRENN_NO_HANDLE;
    lsq_c_read(q, &got);
    bad |= got != 0x1234;
    lsq_c_destroy_session(q, s);
    lsq_c_free_queue(q);

    int32_t d = lsq_c_dynamic_alloc(1, 1, 1, 0, 1, 1);
    lsq_c_write(d, 7, &back, 1000);
    lsq_c_write(d, 8, &back, 1040);
    bad |= back != 7;
    lsq_c_free_queue(d);

    bad |= q < 0 || s < 0 || d < 0 || lsq_c_get_gnode_size() != BRENN_NODE_SIZE;
    puts(bad ? "consumer FAILED" : "consumer ok");
    return bad;
}
