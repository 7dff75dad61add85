/* cross_peer write|read FRAMES: the two ends of the shared family across word sizes (a 32-bit
 * and a 64-bit ARM program on one machine). Behind 130 filler queues, so that both locks lie
 * in the second semaphore set, the writer puts frame i on a plain ring P, where the reader
 * waits in gsq_read for it, and on a sharable dynamic queue D, whose evictions it checks; the
 * reader peeks D through session 0 and at the end checks D's dump under its lock. The writer
 * starts once session 0 is there and ends once session 1 is; freeing D lets the reader go. Both
 * ends stop themselves with an alarm. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "brenn.h"
#include "olk.h"

enum { kP = 130, kD = 131, kNodes = 40, kRing = kNodes + 1, kWindow = 24 };
static int bad = 0;
#define CHECK(cond, ...) (cond ? 0 : (bad = 1, fprintf(stderr, __VA_ARGS__), fputc('\n', stderr)))

/* Both halves of a handle change with the frame; timestamps lie far above 2^32. */
#define HANDLE(i) (0xB5E0000000000000u ^ ((uint64_t)((i) + 1) << 32) ^ (uint32_t) ~(uint32_t)(i))
#define TS(i) (1700000000000 + (int64_t)(i)*40)
/* Waits for session s of D, which the reader makes: 0 when it starts, 1 when it is done. */
static void await_session(int32_t s, QueueStatus *st) {
    while (!bad && (gsq_c_get_queue_status(kD, st) != 0 || !st->sessions[s].in_use))
        usleep(200);
}

static int writer(int64_t frames) {
    CHECK(gsq_c_create() == 0, "gsq_c_create failed (keys left from an earlier run?)");
    for (int32_t q = 0; q <= kP && !bad; ++q)  // the fillers, then P
        CHECK(gsq_c_alloc_queue(8 * BRENN_NODE_SIZE, 1, 0, 1, 0) == q, "plain queue %d", q);
    CHECK(!bad && gsq_c_dynamic_alloc(kNodes, kWindow, 4, 0, 1, 1) == kD, "no dynamic queue");
    QueueStatus st;
    await_session(0, &st);
    for (int64_t i = 0; i < frames && !bad; ++i) {
        while (i - (int64_t)gsq_c_get_cur_live_count(kD, 0) >= 6)  // P's 8 nodes stay unread
            usleep(200);
        uint64_t back = 0, want = i >= kWindow ? HANDLE(i - kWindow) : BRENN_NO_HANDLE;
        CHECK(gsq_c_write(kD, HANDLE(i), &back, TS(i)) == 0 && back == want,
              "write %lld gave back %llx", (long long)i, (unsigned long long)back);
        CHECK(gsq_c_write(kP, HANDLE(i), NULL, TS(i)) == 0, "write %lld to P", (long long)i);
    }
    await_session(1, &st);
    const int32_t last = (int32_t)((frames - 1) % kRing);
    const QueueSession *s = &st.sessions[0];
    CHECK(bad || (st.rd == -1 && st.wr == last && st.tail == (last + kRing - kWindow + 1) % kRing &&
                  s->pk == last && s->cur_seq == frames - 1 && s->live_count == (uint64_t)frames),
          "D: rd %d wr %d tail %d, session pk %d seq %lld live %llu", st.rd, st.wr, st.tail, s->pk,
          (long long)s->cur_seq, (unsigned long long)s->live_count);
    for (int32_t q = 0; q <= kD; ++q)
        gsq_c_free_queue(q);
    CHECK(gsq_c_destroy() == 0, "gsq_c_destroy failed");
    return bad;
}

/* The dump of D, under its lock: the window's nodes, each with its own frame's seq and time. */
static void check_dump(int64_t frames) {
    FILE *text = tmpfile();
    const int saved = dup(1);
    fflush(stdout);
    dup2(fileno(text), 1);
    CHECK(gsq_lock(kD) == 0, "gsq_lock");
    gsq_c_dump(kD);
    fflush(stdout);
    CHECK(gsq_unlock(kD) == 0, "gsq_unlock");
    dup2(saved, 1);
    rewind(text);
    char line[256], want[32];
    int held = 0, index, seq;
    unsigned long long obj;
    while (fgets(line, sizeof line, text) != NULL) {
        if (sscanf(line + 1, " %d-%16llx(%d)[ts=", &index, &obj, &seq) != 3 ||
            obj == BRENN_NO_HANDLE)
            continue;
        make_time_string2(want, TS(seq));
        held += CHECK(seq >= frames - kWindow && seq < frames && obj == HANDLE(seq) &&
                          index == seq % kRing && strstr(line, want) != NULL,
                      "dump: %s", line) == 0;
    }
    CHECK(held == (frames < kWindow ? frames : kWindow), "dump: %d nodes held", held);
}

static int reader(int64_t frames) {
    while (gsq_c_init() != 0 || gsq_c_ready(kD) != 1)
        usleep(200);
    CHECK(gsq_c_create_session(kD) == 0, "no session");
    for (int64_t i = 0; i < frames && !bad; ++i) {
        uint64_t obj = 0, peeked = 0, looked = 0;
        int32_t gap = -1;
        CHECK(gsq_read(kP, &obj) == 0 && gsq_look(kP, 0, &looked) == 0 && obj == HANDLE(i) &&
                  looked == obj,
              "read %lld: %llx", (long long)i, (unsigned long long)obj);
        gsq_c_peek(kD, 0, &peeked, &gap);
        CHECK(peeked == HANDLE(i) && gap == 0 && gsq_c_get_cur_seq(kD, 0) == i,
              "peek %lld: %llx gap %d", (long long)i, (unsigned long long)peeked, gap);
    }
    int32_t count = -1;
    CHECK(bad || (VSQ_IS_READY_TO_READ(kP) == 0 && gsq_c_is_data_available(kD, 0, &count) == 0 &&
                  count == 0),
          "more to read after the last frame");
    if (!bad) check_dump(frames), gsq_c_create_session(kD);
    while (!bad && gsq_c_ready(kD) == 1)
        usleep(200);
    gsq_c_uninit();
    return bad;
}

int main(int argc, char **argv) {
    const int64_t frames = argc == 3 ? atoll(argv[2]) : 0;
    if (frames < 1 || frames > 1 << 30 || (strcmp(argv[1], "write") && strcmp(argv[1], "read")))
        return fprintf(stderr, "usage: %s write|read FRAMES\n", argv[0]), 2;
    alarm(60);
    const int failed = argv[1][0] == 'w' ? writer(frames) : reader(frames);
    printf("%s (%zu-bit): %lld frames %s\n", argv[1], sizeof(void *) * 8, (long long)frames,
           failed ? "FAILED" : "intact");
    return failed;
}
