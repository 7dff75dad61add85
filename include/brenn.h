/*
 * brenn.h - ring queues of buffer handles, inside one process (lsq_*) or shared between
 * processes through one shared-memory segment (gsq_*, VSQ_*).
 *
 * A producer writes (handle, timestamp) nodes; one main reader takes them in order; up to
 * 128 peek sessions per queue follow the same ring at their own pace. A handle of all ones
 * (BRENN_NO_HANDLE) means "no buffer" everywhere.
 *
 * Refusals. Every operation refuses a queue id outside its family's table (0 to 1023 local,
 * 0 to 511 shared), a slot that holds no queue, a session id outside 0 to 127 and, for the
 * shared family, a process that has not attached the shared segment. A refused call touches
 * nothing and answers -1 for integer results, BRENN_NO_HANDLE through handle pointers and
 * NULL for handle arrays, unless the function says otherwise below (peek and the
 * data-available test keep their own codes; the free calls, the node-count accessors, the
 * explicit lock calls, the end of a look-back, gsq_c_ready and the dumps also serve a free
 * slot, as they say). Out-pointers that every way of a call would write through must not be
 * NULL: such a call is refused before it touches anything (read, look, the data-available
 * test, the look-back calls, clean, status).
 *
 * Invariants of every allocated queue, kept by every operation:
 *   - rd, wr, a dynamic queue's tail and every session's pk are -1 or an index in
 *     0 .. node_num - 1 (a plain queue's tail is what its slot held, see below);
 *   - a dynamic queue's window is (wr + node_num - tail + 1) mod node_num nodes, the nodes
 *     from tail to wr going forward with wrap; it never holds all node_num nodes;
 *   - every written node has a seq one greater than the node written before it, and
 *     write_seq is one greater than the last seq given.
 *
 * Locking. write, read, look, ready-to-read, peek, reset-peek, resize, clean, size-by-time,
 * queue status, node-count change and the explicit lock calls take the queue's lock; a
 * look-back holds it from its begin to its end. Session create/destroy/seek, the counters,
 * the sharable accessors, the data-available test, the dumps, allocation and release take
 * no lock: callers serialise allocation and release, and session create/destroy per queue.
 * Only write and read wake a queue's waiters. A local node-count change replaces the queue's
 * node array and keeps the replaced one until the next change or the release of the queue, so
 * a lock-free call that overlaps one change never reads freed memory.
 *
 * Kept for the platform's callers. Some behaviours look surprising, yet programs depend on them
 * exactly as they are:
 *   - a plain queue's tail is whatever its slot held (0 in a fresh slot, else what the slot's
 *     previous queue left, which may name no node of the new ring). Writes compare it with
 *     the sessions' positions, look-back steps stop on reaching it, status and both dumps
 *     report it; nothing uses it as an index;
 *   - the two dumps give a dynamic window different sizes: the local one counts tail to wr,
 *     the shared one the nodes after tail up to wr;
 *   - a shared queue's quarter_num is a quarter of the node count asked for at allocation,
 *     before the count is capped at 256;
 *   - a node-count change logs "end resize.." as its last line;
 *   - a peek reports no gap while the session's last sequence number is below 1 (0 included),
 *     and the data-available test looks only at the node after the session's position;
 *   - a dynamic write without a give-back pointer leaves the evicted handle in its node, and a
 *     later write writes over it; only a node-count change gives handles to olk_return;
 *   - a read or a write that waits while the node count changes keeps the node it chose: after
 *     a grow, a main reader waits until the writer comes round the larger ring to that node.
 *     Change the node count while no read or write of the queue waits.
 */
#ifndef BRENN_H
#define BRENN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define BRENN_API __attribute__((visibility("default")))
#else
#define BRENN_API
#endif

/** The "no buffer" handle. */
#define BRENN_NO_HANDLE UINT64_MAX
/** Bytes per node; allocation sizes are given in bytes. */
#define BRENN_NODE_SIZE 32
#define BRENN_MAX_SESSIONS 128
#define BRENN_LOCAL_QUEUES 1024
#define BRENN_SHARED_QUEUES 512

/** One peek session as get_queue_status copies it (32 bytes). */
typedef struct QueueSession {
    int32_t pk;           /* index of the node taken last, -1 none */
    int32_t reserved;     /* never read or written */
    int64_t cur_seq;      /* seq of the node taken last, -1 none */
    int32_t in_use;       /* 1 while the session exists */
    int32_t looking_back; /* 1 between begin and end of a look-back */
    uint64_t live_count;  /* nodes taken by peeking since the session was created */
} QueueSession;

/** A queue's positions and all 128 session records (4112 bytes). */
typedef struct QueueStatus {
    int32_t rd, wr, tail, max_sessions;
    QueueSession sessions[128];
} QueueStatus;

/* ------------------------------------------------------------------------------------------
 * Local family: a table of 1024 queues inside the calling process, each guarded by a
 * pthread mutex and condition variable. Usable at once: there is no start-up call.
 * ---------------------------------------------------------------------------------------- */

/** Allocates the lowest free slot: a plain ring of size / 32 nodes. max_sessions above 128
 *  is stored as 128; sharable is stored as 1 or 0. When memory is short the ring falls back
 *  to half the count, repeatedly. tail and the numbering carry on from the slot's previous
 *  queue: a plain queue's tail is what the slot held and may name no node of this ring.
 *  Returns the queue id, or -1 when all slots are taken or the ring would get no node at all
 *  (size below 32, or no memory): the slot stays free. */
BRENN_API int32_t lsq_c_alloc_queue(uint32_t size, int32_t max_sessions, int32_t reserve,
                                    int32_t no_block, int32_t sharable);
/** A dynamic queue: a ring of node_count + 1 nodes keeping a sliding window of
 *  min(window, node_count) nodes (1 when that is below 1). Returns the queue id or -1: also
 *  when node_count is negative or too large for a 32-bit byte size, and when the ring came
 *  out smaller than node_count + 1 nodes (the slot is freed again). */
BRENN_API int32_t lsq_c_dynamic_alloc(int32_t node_count, int32_t window, int32_t max_sessions,
                                      int32_t reserve, int32_t no_block, int32_t sharable);
/** Frees the queue and its node array, logging "lsq_free queue %d, size=%d" with the byte size
 *  of the node array. Handles still in the nodes are not given back (take them out first, for
 *  example with lsq_c_clean). A slot freed before is freed again the same way (the line shows
 *  its last node count; there is no array left to free); an id outside the table is ignored
 *  without a line. */
BRENN_API void lsq_c_free_queue(int32_t q);
/** 32. */
BRENN_API int32_t lsq_c_get_gnode_size(void);
/** node_num, read without the lock, also of a freed slot (which keeps it until it is
 *  allocated again); -1 for an id outside the table. */
BRENN_API int32_t lsq_c_get_queue_node_num(int32_t q);
/** Take / release the queue's mutex, also of a free slot (so a lock taken before the queue
 *  was freed can be released): 0, or -1 for an id outside the table (the mutex is untouched).
 *  The mutex is not recursive: call no operation of the same queue while holding it. */
BRENN_API int32_t lsq_lock(int32_t q);
BRENN_API int32_t lsq_unlock(int32_t q);

/** Writes obj with timestamp ts into the node after wr. A plain queue without no_block
 *  waits while the next node is unread and the writer's lead exceeds node_num - reserve.
 *  given_back (may be NULL) receives the handle leaving the queue: the evicted tail of a
 *  dynamic queue (that node is emptied) or the overwritten handle of a plain one. Without
 *  given_back the old tail node keeps its handle, which the writer has declined: a later write
 *  writes over it. The node after wr lies outside a dynamic window, so a handle still there
 *  (declined, left outside by a node-count change, or never regained by a window that grew)
 *  is written over and handed to nobody.
 *  Returns the wake's result (0), or -1 for a refused id (given_back then receives
 *  BRENN_NO_HANDLE). A write that waits while the node count changes keeps the node it chose
 *  before waiting, as the platform's writer does (after a grow it may so write into a kept
 *  node), unless that node no longer lies inside the ring: then it takes the node after wr.
 *  The wait's test, node_num - reserve >= lead, is made in 32-bit arithmetic that wraps. */
BRENN_API int32_t lsq_c_write(int32_t q, uint64_t obj, uint64_t *given_back, int64_t ts);
/** Main reader: waits until the node after rd is written, takes it (the handle stays in the
 *  node). Returns the wake's result (0), or -1 for a refused id or a NULL obj (nothing waits).
 *  A read that waits while the node count changes keeps the node it chose before waiting
 *  (after a grow it waits for the writer to come round to it), unless that node no longer
 *  lies inside the ring: then it waits for the node after rd. */
BRENN_API int32_t lsq_c_read(int32_t q, uint64_t *obj);
/** The handle of the node `back` places before rd (0: the node read last). Any back count is
 *  taken modulo the ring, so the index is always inside it. 0, or -1 when refused. */
BRENN_API int32_t lsq_look(int32_t q, int32_t back, uint64_t *obj);
/** 1 when the node after rd is written and unread, else 0; -1 when refused. */
BRENN_API int32_t lsq_c_is_ready_to_read(int32_t q);

/** The lowest free session slot below max_sessions, set on the newest node (its first peek
 *  takes the next node written); -1 when none is free. */
BRENN_API int32_t lsq_c_create_session(int32_t q);
/** Frees session s: 0, or -1 when s is outside 0 .. max_sessions - 1. */
BRENN_API int32_t lsq_c_destroy_session(int32_t q, int32_t s);
/** Puts session s on the newest node: it skips everything written so far. */
BRENN_API void lsq_seek(int32_t q, int32_t s);
/** Clears the session's position (its next peek starts over, see lsq_c_peek): 0.
 *  A write also clears the position of every session sitting on the queue's tail index; on a
 *  plain queue, where tail is only what the slot held (0 in a fresh slot), such a session's
 *  next peek waits at node 0 until the writer comes round to it. */
BRENN_API int32_t lsq_c_reset_peek(int32_t q, int32_t s);
/** Waits for a node newer than the session's last one and takes it: *obj receives its handle
 *  (taken out of the node unless the queue is sharable), *gap 1 when nodes were skipped.
 *  Always returns 0; the outcome is told by the handle. A bad id, a free slot, or a session
 *  not in use on a sharable queue is refused at once, without the lock: *obj (if not NULL) =
 *  BRENN_NO_HANDLE, *gap untouched. A session without a position on a dynamic queue that
 *  holds nothing newer than its last node gets BRENN_NO_HANDLE at once (*obj if not NULL),
 *  after the lock was taken and released and the debug line "peek queue [%d] session=%d can
 *  not find data_available seek_cnt=[%d], NEVER EVER OCCUR" logged. Only a peek that would take
 *  a node needs both pointers: with obj or gap NULL it is refused right after choosing the node,
 *  before it waits: the lock is released, the session unchanged, *obj (if not NULL) =
 *  BRENN_NO_HANDLE. A peek waiting while the node count changes chooses its node again in the
 *  new ring, and may then find nothing newer (the dynamic scan above). */
BRENN_API int32_t lsq_c_peek(int32_t q, int32_t s, uint64_t *obj, int32_t *gap);
/** Without the lock: returns 1 when the node after the session's position is new to it, with
 *  *count the nodes from there to wr; else returns 0, and *count holds 0 or a code: -1 (bad
 *  ids), -2 (free slot), -3 (session not in use on a sharable queue), -4 (session inside a
 *  look-back). A NULL count gives 0 and nothing is written. It looks only at the plain next
 *  node: on a plain queue a session whose position a write reset (below) is reported as
 *  having data although its peek waits at node 0. */
BRENN_API int32_t lsq_c_is_data_available(int32_t q, int32_t s, int32_t *count);
/** The session's cur_seq (-1 when refused). */
BRENN_API int64_t lsq_c_get_cur_seq(int32_t q, int32_t s);
/** The session's live_count (0 when refused). */
BRENN_API uint64_t lsq_c_get_cur_live_count(int32_t q, int32_t s);
/** Stores flag as the queue's sharable value, unchanged (nonzero counts as set): 0. */
BRENN_API int32_t VSQ_SET_SHARABLE(int32_t q, int32_t flag);
/** The queue's sharable value as stored. */
BRENN_API int32_t VSQ_IS_SHARABLE(int32_t q);

/** Look-back: begin marks the session, takes the queue's lock and keeps it until end (call
 *  end on the same thread), puts the session on the newest node and stores node_num and
 *  quarter_num. While it is open, call no locking operation of the same queue. begin refuses
 *  (-1, no lock taken) bad ids, NULL pointers and a session already inside a look-back, which
 *  would otherwise wait for itself. */
BRENN_API int32_t lsq_c_begin_look_back(int32_t q, int32_t s, int32_t *node_num,
                                        int32_t *quarter_num);
/** One step back: 0 when a node was taken and older ones may follow, 1 when the step took the
 *  tail node or found an empty node (the session stays), -1 when the session has no position
 *  or the call is refused. The handle stays in the node. */
BRENN_API int32_t lsq_c_look_back(int32_t q, int32_t s, uint64_t *obj);
/** Releases the lock that begin took and clears the session's look-back mark: 0 (-1 only for
 *  a refused id). It works on a queue freed, or freed and allocated again, meanwhile. When
 *  this process has no look-back of the queue open, it only clears the mark: no lock is
 *  released that no begin took. */
BRENN_API int32_t lsq_c_end_look_back(int32_t q, int32_t s);

/** Sets a dynamic queue's window to new_window nodes. When it shrinks, the handles of the
 *  dropped nodes (oldest first) come back in a malloc'd array of *out_count entries that the
 *  caller frees with free(); the array can be NULL with *out_count already set when memory
 *  was short (nothing changed then). Growing stores 0 and returns NULL. A plain queue,
 *  new_window >= node_num, a negative new_window or a refused id: NULL, *out_count
 *  untouched. Only a resize that stores a count needs out_count: with it NULL, a dynamic
 *  queue's resize is refused (NULL, nothing changed) after taking and releasing the lock, and
 *  every other case behaves as above. */
BRENN_API uint64_t *lsq_c_resize(int32_t q, int32_t new_window, int32_t *out_count);
/** Empties every node of a dynamic queue's window (its size stays) and returns their
 *  handles as lsq_c_resize does. *out_count is 0 for a plain queue or an empty window. */
BRENN_API uint64_t *lsq_c_clean(int32_t q, int32_t *out_count);
/** How many nodes `duration` timestamp units take at the rate of the newest unbroken run of
 *  timestamps (a step above 2000 units breaks it), at most node_num - 1; 0 when there is no
 *  estimate or the call is refused. Keep duration x (node_num - 1) below 2^31: the arithmetic
 *  is the platform's, signed and wrapping (32-bit product, 64-bit differences), so beyond
 *  that, or with timestamps more than 2^63 apart, the answer may be negative. */
BRENN_API int32_t lsq_c_get_q_size_by_time(int32_t q, int32_t duration);
/** Copies rd, wr, tail, max_sessions and all 128 session records: 0, or -1 when refused. */
BRENN_API int32_t lsq_c_get_queue_status(int32_t q, QueueStatus *status);

/** Gives a running queue size / 32 nodes, keeping the newest nodes that hold something and
 *  moving every session so that it keeps its distance behind the writer; handles that no
 *  longer fit go to olk_return, oldest first. It logs "peek %d map to %d(offset=%d)" and
 *  "%d new peek %d obj=%X" for every session it moves, then "end resize..". Before it shrinks
 *  the ring it waits until no session lags so far that its node would be dropped. The new
 *  array is obtained before the old one is freed: 0, or -1 with the queue exactly as before
 *  when the count would be 0, the memory cannot be had or the id is refused.
 *  Where the moved positions would fall outside the new ring: a session whose distance the
 *  kept nodes cannot give (empty nodes were squeezed out) loses its position (pk -1; its
 *  second line says -1 and obj=FFFFFFFF); a free session slot's pk beyond the new ring becomes
 *  -1; rd stays behind the same node (the last kept node at or before it, else -1); a dynamic
 *  window keeps its size where the new ring allows (at most node_num - 1 nodes, ending at wr);
 *  a plain queue's tail beyond the new ring becomes 0. */
BRENN_API int32_t lsq_c_change_queue_size(int32_t q, uint32_t size);

/** Appends the queue's text to buf (len bytes), line by line while each line fits with its
 *  terminating zero. A free slot gives the line "queue %d not allocated!\n"; a refused id
 *  writes nothing. With len below 1 no line fits, so buf is never written and may be NULL (the
 *  lines are formatted all the same); a NULL buf with len of 1 or more is refused. No lock is
 *  taken. */
BRENN_API void lsq_c_dump(int32_t q, char *buf, int32_t len);

/* ------------------------------------------------------------------------------------------
 * Shared family: 512 queues in one shared-memory segment found by key, each guarded by a
 * semaphore of the support library. One process calls gsq_c_create; the others gsq_c_init.
 * Every queue operation below behaves as its local twin above (gsq_c_write as lsq_c_write,
 * VSQ_BEGIN_LOOK_BACK as lsq_c_begin_look_back, ...), and is also refused when the calling
 * process has not attached the segment. The lifecycle calls take no lock: a process makes them
 * from one thread while none of its threads is inside a shared operation.
 * ---------------------------------------------------------------------------------------- */

/** What the lifecycle calls answer when they fail; each call says which of these it gives. */
enum BrennLifecycleResult {
    BRENN_NOT_ATTACHED = -1,           /* this process has not attached the segment */
    BRENN_NO_SEGMENT = -2,             /* no segment with the family's key */
    BRENN_ATTACH_FAILED = -3,          /* the segment could not be attached */
    BRENN_SET_NOT_FOUND = -4,          /* a semaphore set is missing */
    BRENN_SEGMENT_CREATE_FAILED = -5,  /* the segment could not be created */
    BRENN_SET_CREATE_FAILED = -6,      /* a semaphore set could not be created */
    BRENN_DETACH_FAILED = -7,          /* detaching the segment failed */
    BRENN_SEGMENT_REMOVAL_FAILED = -8, /* removing the segment failed */
    BRENN_SET_REMOVAL_FAILED = -9      /* removing a semaphore set failed */
};

/** Makes the five semaphore sets and the segment and attaches it: 0, or
 *  BRENN_SET_CREATE_FAILED, BRENN_SEGMENT_CREATE_FAILED, BRENN_ATTACH_FAILED, each after
 *  printing "create_semaphore failed errno=%d", "create_shared_memory failed errno=%d" or
 *  "attach_shared_memory failed errno=%d" on standard output. On a running system the keys
 *  exist, so it fails and leaves the running queues alone. */
BRENN_API int32_t gsq_c_create(void);
/** Attaches the segment and fetches the set ids: 0, or BRENN_NO_SEGMENT, BRENN_ATTACH_FAILED,
 *  BRENN_SET_NOT_FOUND (nothing stays attached). */
BRENN_API int32_t gsq_c_init(void);
/** Fetches segment and set ids again without attaching (takes up sets renewed by a reset).
 *  Until it does, a process whose set a reset elsewhere renewed locks, waits and wakes through
 *  an id that names no set: those calls fail at once and its operations on the set's queues
 *  run unguarded, answering what the failed unlock or wake answered (-1). One that has to
 *  wait backs off (sleeps from 50 us growing to 5 ms between tests) instead of spinning. */
BRENN_API void gsq_c_fast_init(void);
/** Detaches this process: 0, or BRENN_NOT_ATTACHED. */
BRENN_API int32_t gsq_c_uninit(void);
/** Detaches and removes segment and sets: 0, or BRENN_DETACH_FAILED,
 *  BRENN_SEGMENT_REMOVAL_FAILED, BRENN_SET_REMOVAL_FAILED (what it could not remove stays, and
 *  the next call goes on from there). */
BRENN_API int32_t gsq_c_destroy(void);
/** Frees every shared queue, restarts its numbering at 0, releases stuck queue locks and
 *  renews a set whose lock stays taken: 0, or BRENN_NOT_ATTACHED, BRENN_SET_REMOVAL_FAILED,
 *  BRENN_SET_CREATE_FAILED (a stuck set could not be removed or made again). */
BRENN_API int32_t gsq_c_reset(void);

/** As lsq_c_alloc_queue with node_num = min(size / 32, 256) inside the segment; -1 when not
 *  attached, when all 512 slots are taken or when the size gives no node. */
BRENN_API int32_t gsq_c_alloc_queue(uint32_t size, int32_t max_sessions, int32_t reserve,
                                    int32_t no_block, int32_t sharable);
/** As lsq_c_dynamic_alloc; node_count must be 0 to 255, else -1 and no slot is taken. */
BRENN_API int32_t gsq_c_dynamic_alloc(int32_t node_count, int32_t window, int32_t max_sessions,
                                      int32_t reserve, int32_t no_block, int32_t sharable);
/** Marks the slot free (no message; handles in the nodes are not given back). Ignored when
 *  not attached or the id is out of range. */
BRENN_API void gsq_c_free_queue(int32_t q);
/** 1 when the slot holds a queue; 0 when not, when not attached or the id is out of range. */
BRENN_API int32_t gsq_c_ready(int32_t q);
/** node_num of the slot, also of a freed one; -1 when not attached or out of range. */
BRENN_API int32_t VSQ_GET_Q_NODE_NUM(int32_t q);
BRENN_API int32_t gsq_c_get_gnode_size(void);
BRENN_API int32_t gsq_lock(int32_t q);
BRENN_API int32_t gsq_unlock(int32_t q);

BRENN_API int32_t gsq_c_write(int32_t q, uint64_t obj, uint64_t *given_back, int64_t ts);
BRENN_API int32_t gsq_read(int32_t q, uint64_t *obj);
BRENN_API int32_t gsq_look(int32_t q, int32_t back, uint64_t *obj);
BRENN_API int32_t VSQ_IS_READY_TO_READ(int32_t q);

BRENN_API int32_t gsq_c_create_session(int32_t q);
BRENN_API int32_t gsq_c_destroy_session(int32_t q, int32_t s);
BRENN_API void gsq_c_seek(int32_t q, int32_t s);
BRENN_API int32_t gsq_c_reset_peek(int32_t q, int32_t s);
BRENN_API int32_t gsq_c_peek(int32_t q, int32_t s, uint64_t *obj, int32_t *gap);
BRENN_API int32_t gsq_c_is_data_available(int32_t q, int32_t s, int32_t *count);
BRENN_API int64_t gsq_c_get_cur_seq(int32_t q, int32_t s);
BRENN_API uint64_t gsq_c_get_cur_live_count(int32_t q, int32_t s);
BRENN_API int32_t gsq_c_set_sharable(int32_t q, int32_t flag);
BRENN_API int32_t gsq_c_is_sharable(int32_t q);

BRENN_API int32_t VSQ_BEGIN_LOOK_BACK(int32_t q, int32_t s, int32_t *node_num,
                                      int32_t *quarter_num);
BRENN_API int32_t VSQ_LOOK_BACK(int32_t q, int32_t s, uint64_t *obj);
BRENN_API int32_t VSQ_END_LOOK_BACK(int32_t q, int32_t s);

BRENN_API uint64_t *gsq_c_resize(int32_t q, int32_t new_window, int32_t *out_count);
BRENN_API uint64_t *gsq_c_clean(int32_t q, int32_t *out_count);
BRENN_API int32_t gsq_c_get_q_size_by_time(int32_t q, int32_t duration);
BRENN_API int32_t gsq_c_get_queue_status(int32_t q, QueueStatus *status);

/** As lsq_c_change_queue_size, rewriting the slot's node area in place; counts up to 1024
 *  are accepted, above that -1 and nothing changes. */
BRENN_API int32_t gsq_c_change_queue_size(int32_t q, uint32_t size);

/** Prints the queue's text on standard output; "queue %d not allocated!\n" for a free slot;
 *  nothing when the process is not attached or the id is out of range. */
BRENN_API void gsq_c_dump(int32_t q);

#ifdef __cplusplus
}
#endif

#endif /* BRENN_H */
