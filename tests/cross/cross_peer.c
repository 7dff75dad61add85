/*
 * cross_peer: one end of a shared queue between two processes that may be built for
 * different word sizes (a 32-bit and a 64-bit ARM program on one machine).
 *
 *   cross_peer write FRAMES   makes the shared system, allocates a dynamic queue (behind
 *                             130 plain ones, so that its lock lies in the second semaphore
 *                             set), and writes FRAMES (handle, ts) nodes, pacing itself by
 *                             the reader's session. Every handle a write gives back must be
 *                             the one written a window earlier. At the end it checks the
 *                             reader's positions through the queue status, then frees the
 *                             queues and removes the system.
 *   cross_peer read FRAMES    attaches once the system exists, waits for the queue, and
 *                             takes every frame with the main reader and with a peek session:
 *                             handle, seq, gap flag and live count of each, and now and then
 *                             the whole ring through the dump, under the queue's lock, where
 *                             every node that holds a handle must carry the seq and the
 *                             timestamp that belong to it.
 *
 * Frame i has the handle handle_of(i), the timestamp ts_of(i) and, in a fresh system, the seq
 * i. Both ends stop themselves with an alarm. The reader tells the writer that it is done by
 * making a second session, or that it gave up by destroying its first one; the writer lets
 * the reader go by freeing the queue.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "brenn.h"
#include "olk.h"

_Static_assert(sizeof(QueueStatus) == 4112, "QueueStatus is 4112 bytes on every target");

enum {
    kFillers = 130,                /* plain queues allocated first: ids 0 to 129 */
    kQueue = kFillers,             /* the dynamic queue: semaphore 5 of set 1 */
    kNodes = 40,                   /* dynamic node count: a ring of 41 nodes */
    kRing = kNodes + 1,            /* node_num of the dynamic queue */
    kWindow = 24,                  /* its window */
    kMaxSessions = 4,              /* session slots */
    kLead = 12,                    /* the writer stays at most this many frames ahead */
    kCheckEvery = kWindow - kLead, /* frames between two checks of the whole ring: each one
                                      sees the frames taken since the one before */
    kAlarmSeconds = 60,            /* each end ends itself after this long */
    kDefaultFrames = 2000,
};

static const char *role = "cross_peer";

static const char *target(void) {
#if defined(__aarch64__)
    return "aarch64";
#elif defined(__arm__)
    return "armhf";
#elif defined(__x86_64__)
    return "x86-64";
#else
    return "other";
#endif
}

static int failed = 0;

static void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void fail(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    fprintf(stderr, "%s (%s, %zu-bit): ", role, target(), sizeof(void *) * 8);
    vfprintf(stderr, fmt, args);
    fputc('\n', stderr);
    va_end(args);
    failed = 1;
}

/* Both halves of the handle change with the frame, so a swapped or truncated half shows. */
static uint64_t handle_of(int64_t i) {
    return UINT64_C(0xB5E0000000000000) ^ ((uint64_t)(i + 1) << 32) ^
           (uint64_t)(UINT32_C(0xFFFFFFFF) - (uint32_t)i);
}

/* Milliseconds, 25 frames a second; far above 2^32, so the upper word matters too. */
static int64_t ts_of(int64_t i) {
    return INT64_C(1700000000000) + i * 40;
}

static void nap(void) {
    const struct timespec pause = {0, 200000};
    nanosleep(&pause, NULL);
}

/* ---------------------------------------------------------------------------------------- */

static int session_in_use(int32_t s) {
    QueueStatus status;
    if (gsq_c_get_queue_status(kQueue, &status) != 0) return 0;
    return status.sessions[s].in_use;
}

/* The session the reader made, once it is there: its index, or -1 when the alarm would
 * strike first (the alarm ends the process anyway). */
static int32_t await_session(void) {
    for (;;) {
        QueueStatus status;
        if (gsq_c_get_queue_status(kQueue, &status) != 0) {
            fail("gsq_c_get_queue_status refused queue %d", kQueue);
            return -1;
        }
        for (int32_t s = 0; s < BRENN_MAX_SESSIONS; ++s) {
            if (status.sessions[s].in_use) return s;
        }
        nap();
    }
}

/* A session in use other than s, or -1. */
static int32_t other_session(int32_t s) {
    QueueStatus status;
    if (gsq_c_get_queue_status(kQueue, &status) != 0) return -1;
    for (int32_t i = 0; i < BRENN_MAX_SESSIONS; ++i) {
        if (i != s && status.sessions[i].in_use) return i;
    }
    return -1;
}

/* The reader's positions as this process sees them: the main reader and session s on the
 * last frame, session `done` made afterwards on the newest node. */
static void check_final_status(int32_t s, int32_t done, int64_t frames) {
    QueueStatus status;
    if (gsq_c_get_queue_status(kQueue, &status) != 0) {
        fail("final gsq_c_get_queue_status refused");
        return;
    }
    const int32_t last = (int32_t)((frames - 1) % kRing);
    const int32_t tail = (last + kRing - kWindow + 1) % kRing;
    if (status.wr != last || status.rd != last || status.max_sessions != kMaxSessions ||
        status.tail != tail) {
        fail("status rd=%d wr=%d tail=%d max_sessions=%d, expected rd=wr=%d tail=%d max=%d",
             status.rd, status.wr, status.tail, status.max_sessions, last, tail, kMaxSessions);
    }
    const QueueSession *ss = &status.sessions[s];
    if (ss->pk != last || ss->cur_seq != frames - 1 || ss->live_count != (uint64_t)frames ||
        ss->in_use != 1 || ss->looking_back != 0) {
        fail("session %d: pk=%d cur_seq=%" PRId64 " live_count=%" PRIu64
             " in_use=%d looking_back=%d, expected pk=%d cur_seq=%" PRId64 " live_count=%" PRId64,
             s, ss->pk, ss->cur_seq, ss->live_count, ss->in_use, ss->looking_back, last, frames - 1,
             frames);
    }
    const QueueSession *sd = &status.sessions[done];
    if (done != s + 1 || sd->pk != last || sd->cur_seq != frames - 1 || sd->live_count != 0) {
        fail("second session %d: pk=%d cur_seq=%" PRId64 " live_count=%" PRIu64, done, sd->pk,
             sd->cur_seq, sd->live_count);
    }
}

static int run_writer(int64_t frames) {
    const int32_t created = gsq_c_create();
    if (created != 0) {
        fail("gsq_c_create returned %d (keys left from an earlier run?)", created);
        return 1;
    }
    for (int32_t i = 0; i < kFillers && !failed; ++i) {
        const int32_t q = gsq_c_alloc_queue(8 * BRENN_NODE_SIZE, 1, 0, 1, 0);
        if (q != i) fail("plain allocation %d gave queue %d", i, q);
    }
    const int32_t q = failed ? -1 : gsq_c_dynamic_alloc(kNodes, kWindow, kMaxSessions, 0, 0, 1);
    if (!failed && q != kQueue) fail("dynamic allocation gave queue %d, expected %d", q, kQueue);
    if (!failed && (VSQ_GET_Q_NODE_NUM(q) != kRing || gsq_c_is_sharable(q) != 1)) {
        fail("queue %d: node_num %d sharable %d", q, VSQ_GET_Q_NODE_NUM(q), gsq_c_is_sharable(q));
    }

    const int32_t s = failed ? -1 : await_session();
    int64_t given_back = 0;
    for (int64_t i = 0; i < frames && s >= 0 && !failed; ++i) {
        /* Stay at most kLead frames ahead of the session, so that its next frame is inside
         * the window (frames i - kWindow + 1 .. i after this write) and every check of the
         * reader still finds the kCheckEvery frames it took last. */
        while (i - (int64_t)gsq_c_get_cur_live_count(q, s) >= kLead) {
            if (!session_in_use(s)) {
                fail("the reader left after %" PRIu64 " of %" PRId64 " frames",
                     gsq_c_get_cur_live_count(q, s), frames);
                break;
            }
            nap();
        }
        if (failed) break;
        uint64_t back = 0;
        const int32_t rc = gsq_c_write(q, handle_of(i), &back, ts_of(i));
        const uint64_t expected = i >= kWindow ? handle_of(i - kWindow) : BRENN_NO_HANDLE;
        if (rc != 0 || back != expected) {
            fail("write %" PRId64 ": rc %d, gave back %016" PRIX64 ", expected %016" PRIX64, i, rc,
                 back, expected);
        }
        if (back != BRENN_NO_HANDLE) ++given_back;
    }
    /* The reader makes a second session once it has checked everything: until then the
     * queue stays as it is. */
    int32_t done = -1;
    while (!failed && s >= 0 && (done = other_session(s)) < 0) {
        if (!session_in_use(s)) {
            fail("the reader left after %" PRIu64 " of %" PRId64 " frames",
                 gsq_c_get_cur_live_count(q, s), frames);
            break;
        }
        nap();
    }
    if (!failed && s >= 0) check_final_status(s, done, frames);

    /* Freeing the queue lets the reader go. */
    for (int32_t i = 0; i <= kQueue; ++i)
        gsq_c_free_queue(i);
    const int32_t destroyed = gsq_c_destroy();
    if (destroyed != 0) fail("gsq_c_destroy returned %d", destroyed);
    if (failed) return 1;
    printf("%s (%s, %zu-bit): %" PRId64 " frames written, %" PRId64 " handles given back intact\n",
           role, target(), sizeof(void *) * 8, frames, given_back);
    return 0;
}

/* ---------------------------------------------------------------------------------------- */

/* Dumps the queue into a temporary file while holding its lock, so that the text is one
 * consistent state, and checks every node line against the frame its seq names. Frames
 * 0 .. *seen - 1 had been seen in earlier dumps; *seen moves past the newest one seen now. */
static void check_ring(int64_t peeked, int32_t s, int64_t *seen) {
    FILE *text = tmpfile();
    if (text == NULL) {
        fail("tmpfile: %s", strerror(errno));
        return;
    }
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    if (saved < 0 || dup2(fileno(text), STDOUT_FILENO) < 0) {
        fail("redirecting the dump: %s", strerror(errno));
        fclose(text);
        return;
    }
    const int32_t locked = gsq_lock(kQueue);
    gsq_c_dump(kQueue);
    fflush(stdout);
    const int32_t unlocked = gsq_unlock(kQueue);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    if (locked != 0 || unlocked != 0) fail("gsq_lock %d, gsq_unlock %d", locked, unlocked);
    rewind(text);

    char line[256];
    int32_t node_num = -1, wr = -1, tail = -1, size = -1, pk = -2;
    int held = 0, lines = 0;
    int64_t newest = -1, oldest = INT64_MAX;
    char dynamic[8] = "";
    while (fgets(line, sizeof line, text) != NULL) {
        int32_t index = 0, seq = 0, session = 0, value = 0;
        uint64_t obj = 0;
        if (sscanf(line, "pk[%d]=%d", &session, &value) == 2) {
            if (session == s) pk = value;
        } else if (sscanf(line, "total node num=%d,wr=%d", &node_num, &wr) == 2) {
        } else if (sscanf(line, "\tdynamic=%7[^,], tail=%d, size=%d", dynamic, &tail, &size) == 3) {
        } else if (sscanf(line + 1, " %d-%16" SCNx64 "(%d)[ts=", &index, &obj, &seq) == 3) {
            ++lines;
            const char *from = strstr(line, "[ts=");
            const char *to = strrchr(line, ']');
            if (from == NULL || to == NULL || to < from + 4) {
                fail("node line without a time: %s", line);
                continue;
            }
            if (obj == BRENN_NO_HANDLE) {
                if (seq != -1) fail("empty node %d with seq %d", index, seq);
                continue;
            }
            ++held;
            char want[32];
            make_time_string2(want, ts_of(seq));
            const size_t length = (size_t)(to - (from + 4));
            if (seq < 0 || obj != handle_of(seq) || index != seq % kRing ||
                length != strlen(want) || memcmp(from + 4, want, length) != 0) {
                fail("node %d holds %016" PRIX64 " seq %d time '%.*s'; frame %d is %016" PRIX64
                     " at node %d with time '%s'",
                     index, obj, seq, (int)length, from + 4, seq, handle_of(seq), seq % kRing,
                     want);
            }
            if (seq > newest) newest = seq;
            if (seq < oldest) oldest = seq;
        } else {
            fail("dump line not understood: %s", line);
        }
    }
    fclose(text);

    /* The window holds the newest kWindow frames (fewer at first); every other node was
     * emptied when its handle was given back. The session sits on the frame taken last. */
    const int64_t expect_held = newest + 1 < kWindow ? newest + 1 : kWindow;
    if (node_num != kRing || lines != kRing || strcmp(dynamic, "YES") != 0 || size != kWindow - 1 ||
        tail != (wr + kRing - kWindow + 1) % kRing || newest < peeked - 1 || wr != newest % kRing ||
        held != expect_held || oldest != newest - held + 1 || pk != (peeked - 1) % kRing) {
        fail("after %" PRId64
             " frames: node num %d (%d lines), wr %d, %s tail %d size %d, "
             "%d handles from seq %" PRId64 " to %" PRId64 ", session pk %d",
             peeked, node_num, lines, wr, dynamic, tail, size, held, oldest, newest, pk);
    }
    if (oldest > *seen)
        fail("frames %" PRId64 " to %" PRId64 " were in no dump", *seen, oldest - 1);
    if (newest + 1 > *seen) *seen = newest + 1;
}

static int run_reader(int64_t frames) {
    while (gsq_c_init() != 0)
        nap();
    while (gsq_c_ready(kQueue) != 1)
        nap();
    if (VSQ_GET_Q_NODE_NUM(kQueue) != kRing) {
        fail("queue %d has %d nodes, expected %d", kQueue, VSQ_GET_Q_NODE_NUM(kQueue), kRing);
    }
    const int32_t s = gsq_c_create_session(kQueue);
    if (s < 0) fail("no session on queue %d", kQueue);

    int64_t seen = 0;
    for (int64_t i = 0; i < frames && !failed; ++i) {
        uint64_t obj = 0, peeked = 0, looked = 0;
        int32_t gap = -1;
        if (gsq_read(kQueue, &obj) != 0 || obj != handle_of(i)) {
            fail("read %" PRId64 ": %016" PRIX64 ", expected %016" PRIX64, i, obj, handle_of(i));
        }
        if (gsq_look(kQueue, 0, &looked) != 0 || looked != handle_of(i)) {
            fail("look after read %" PRId64 ": %016" PRIX64, i, looked);
        }
        gsq_c_peek(kQueue, s, &peeked, &gap);
        const int64_t seq = gsq_c_get_cur_seq(kQueue, s);
        const uint64_t live = gsq_c_get_cur_live_count(kQueue, s);
        if (peeked != handle_of(i) || gap != 0 || seq != i || live != (uint64_t)(i + 1)) {
            fail("peek %" PRId64 ": %016" PRIX64 " gap %d seq %" PRId64 " live %" PRIu64
                 ", expected %016" PRIX64 " gap 0 seq %" PRId64,
                 i, peeked, gap, seq, live, handle_of(i), i);
        }
        if (i % kCheckEvery == kCheckEvery - 1 || i == frames - 1) {
            check_ring(i + 1, s, &seen);
        }
    }
    if (!failed) {
        int32_t count = -1;
        const int32_t ready = VSQ_IS_READY_TO_READ(kQueue);
        const int32_t available = gsq_c_is_data_available(kQueue, s, &count);
        if (seen != frames) fail("the dumps saw %" PRId64 " of %" PRId64 " frames", seen, frames);
        if (ready != 0 || available != 0 || count != 0) {
            fail("after the last frame: ready %d, data available %d count %d", ready, available,
                 count);
        }
    }
    if (failed) {
        /* Leaving the session tells the writer to give up. */
        if (s >= 0) gsq_c_destroy_session(kQueue, s);
    } else {
        /* A second session tells the writer that this end is done; it frees the queue once
         * it has looked at the positions. */
        gsq_c_create_session(kQueue);
        while (gsq_c_ready(kQueue) == 1)
            nap();
    }
    gsq_c_uninit();
    if (failed) return 1;
    printf("%s (%s, %zu-bit): %" PRId64 " frames read and peeked intact, each seen in a dump\n",
           role, target(), sizeof(void *) * 8, frames);
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3 || (strcmp(argv[1], "write") != 0 && strcmp(argv[1], "read") != 0)) {
        fprintf(stderr, "usage: %s write|read [FRAMES]\n", argv[0]);
        return 2;
    }
    const int64_t frames = argc == 3 ? strtoll(argv[2], NULL, 10) : kDefaultFrames;
    if (frames < 1 || frames > INT32_MAX / 2) {
        fprintf(stderr, "%s: FRAMES must be 1 to %d\n", argv[0], INT32_MAX / 2);
        return 2;
    }
    alarm(kAlarmSeconds);
    if (strcmp(argv[1], "write") == 0) {
        role = "writer";
        return run_writer(frames);
    }
    role = "reader";
    return run_reader(frames);
}
