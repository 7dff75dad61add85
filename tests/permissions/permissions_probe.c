/* permissions_probe - one side of the shared family's permission check (run_permissions.sh).
 *   permissions_probe up         creates the shared system and allocates one queue; prints its id
 *   permissions_probe table      prints what the queue table holds (the same text while nothing
 *                                changes)
 *   permissions_probe outsider Q a process outside the objects' group: attaching is refused and
 *                                nothing it calls changes queue Q
 *   permissions_probe member Q   a process of the objects' group: attaches, writes and reads Q
 *   permissions_probe down       destroys the shared system
 * Exits 0 when the side behaved as it must, 1 otherwise, with a line on standard error. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "brenn.h"

static int fail(const char *what, long long got) {
    fprintf(stderr, "permissions_probe: %s (got %lld)\n", what, got);
    return 1;
}

static int table(void) {
    if (gsq_c_init() != 0) return fail("root cannot attach to print the table", -1);
    for (int32_t q = 0; q < BRENN_SHARED_QUEUES; ++q) {
        if (gsq_c_ready(q) != 1) continue;
        QueueStatus st;
        if (gsq_c_get_queue_status(q, &st) != 0) return fail("status of a ready queue", q);
        printf("queue %d nodes %d rd %d wr %d tail %d sharable %d\n", q, VSQ_GET_Q_NODE_NUM(q),
               st.rd, st.wr, st.tail, gsq_c_is_sharable(q));
    }
    return 0;
}

static int outsider(int32_t q) {
    errno = 0;
    const int32_t rc = gsq_c_init();
    const int e = errno;
    /* The segment is found (shmget asks for no access) but attaching it is denied. */
    if (rc != -3 || e != EACCES) {
        fprintf(stderr, "permissions_probe: gsq_c_init gave %d, errno %d (%s); want -3, EACCES\n",
                rc, e, strerror(e));
        return 1;
    }
    printf("outsider: gsq_c_init: %d: %s, as it must be\n", rc, strerror(e));
    uint64_t back = 7, obj = 7;
    if (gsq_c_alloc_queue(4 * BRENN_NODE_SIZE, 4, 0, 1, 0) != -1)
        return fail("allocation without an attachment", 0);
    if (gsq_c_dynamic_alloc(4, 2, 4, 0, 1, 0) != -1)
        return fail("dynamic allocation without an attachment", 0);
    if (gsq_c_write(q, 99, &back, 1) != -1 || back != BRENN_NO_HANDLE)
        return fail("write without an attachment", (long long)back);
    if (gsq_read(q, &obj) != -1 || obj != BRENN_NO_HANDLE)
        return fail("read without an attachment", (long long)obj);
    if (gsq_c_change_queue_size(q, 2 * BRENN_NODE_SIZE) != -1)
        return fail("node-count change without an attachment", 0);
    if (gsq_c_ready(q) != 0 || VSQ_GET_Q_NODE_NUM(q) != -1)
        return fail("the table seen without an attachment", gsq_c_ready(q));
    gsq_c_free_queue(q);
    if (gsq_c_reset() != -1) return fail("reset without an attachment", 0);
    if (gsq_c_uninit() != -1) return fail("detach without an attachment", 0);
    printf("outsider: every call refused\n");
    return 0;
}

static int member(int32_t q) {
    const int32_t rc = gsq_c_init();
    if (rc != 0) return fail("a member of the group cannot attach", rc);
    if (gsq_c_ready(q) != 1) return fail("the queue made by root is not there", q);
    uint64_t back = 7, obj = 0;
    if (gsq_c_write(q, 0xabcdef, &back, 1234) != 0) return fail("member's write", q);
    if (VSQ_IS_READY_TO_READ(q) != 1) return fail("nothing to read after the write", q);
    if (gsq_read(q, &obj) != 0 || obj != 0xabcdef) return fail("member's read", (long long)obj);
    if (gsq_c_uninit() != 0) return fail("member's detach", 0);
    printf("member: wrote and read back handle %#llx on queue %d\n", (unsigned long long)obj, q);
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 2) return fail("usage: permissions_probe up|table|outsider Q|member Q|down", argc);
    const char *mode = argv[1];
    const int32_t q = argc > 2 ? (int32_t)strtol(argv[2], NULL, 10) : -1;
    if (strcmp(mode, "up") == 0) {
        const int32_t rc = gsq_c_create();
        if (rc != 0) return fail("gsq_c_create", rc);
        const int32_t made = gsq_c_alloc_queue(8 * BRENN_NODE_SIZE, 4, 0, 1, 0);
        if (made < 0) return fail("allocation after create", made);
        printf("%d\n", made);
        return gsq_c_uninit() == 0 ? 0 : fail("creator's detach", 0);
    }
    if (strcmp(mode, "table") == 0) return table();
    if (strcmp(mode, "outsider") == 0) return outsider(q);
    if (strcmp(mode, "member") == 0) return member(q);
    if (strcmp(mode, "down") == 0) {
        if (gsq_c_init() != 0) return fail("root cannot attach to destroy", 0);
        const int32_t rc = gsq_c_destroy();
        return rc == 0 ? 0 : fail("gsq_c_destroy", rc);
    }
    return fail("unknown mode", 0);
}
