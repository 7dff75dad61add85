/* One side of run_permissions.sh: `up` makes the system and a queue (prints its id), `outsider
 * Q` must be refused everything, `member Q` writes and reads Q. Exits 0 when it was so. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "brenn.h"

int main(int argc, char **argv) {
    const int32_t q = argc > 2 ? (int32_t)atoi(argv[2]) : -1;
    uint64_t back = 7, obj = 7;
    if (argc > 1 && strcmp(argv[1], "up") == 0) {
        const int32_t made =
            gsq_c_create() == 0 ? gsq_c_alloc_queue(8 * BRENN_NODE_SIZE, 4, 0, 1, 0) : -1;
        printf("%d\n", made);
        return made < 0 || gsq_c_uninit() != 0;
    }
    if (argc > 1 && strcmp(argv[1], "outsider") == 0) {
        /* The segment is found (shmget asks for no access), attaching it is denied. */
        errno = 0;
        const int32_t rc = gsq_c_init(), e = errno;
        gsq_c_free_queue(q); /* whether Q survives, the script sees */
        fprintf(stderr, "outsider: gsq_c_init %d (%s)\n", rc, strerror(e));
        return rc != -3 || e != EACCES || gsq_c_dynamic_alloc(4, 2, 4, 0, 1, 0) != -1 ||
               gsq_c_alloc_queue(4 * BRENN_NODE_SIZE, 4, 0, 1, 0) != -1 ||
               gsq_c_write(q, 99, &back, 1) != -1 || back != BRENN_NO_HANDLE ||
               gsq_read(q, &obj) != -1 || gsq_c_change_queue_size(q, 2 * BRENN_NODE_SIZE) != -1 ||
               gsq_c_ready(q) != 0 || gsq_c_reset() != -1 || gsq_c_uninit() != -1;
    }
    if (argc > 1 && strcmp(argv[1], "member") == 0)
        return gsq_c_init() != 0 || gsq_c_write(q, 0xabcdef, &back, 1234) != 0 ||
               gsq_read(q, &obj) != 0 || obj != 0xabcdef || gsq_c_uninit() != 0;
    fprintf(stderr, "usage: %s up | outsider Q | member Q\n", argv[0]);
    return 2;
}
