/*
 * olk_standin.h - what the host stand-in of libolk.so.0 adds to olk.h, and how it behaves.
 *
 * Only programs built against this stand-in may call the functions declared here; a program
 * that must also run on the platform library looks them up with dlsym or does without.
 *
 * Results. Every int32_t call answers a value >= 0 on success (0, an id, vos_is_lock's 0 or 1,
 * a pid) and -1 with errno set on failure; vos_attach_shared_memory answers NULL with errno
 * set, and the void calls set errno only when they refuse. No input makes a call crash
 * or block for ever, except vos_lock and vos_wait, which block by design until another
 * thread or process unlocks, signals or destroys the set.
 *
 * Environment.
 *   OLK_SPIN_NS    nanoseconds a thread may spin before it sleeps on a taken lock or in
 *                  vos_wait (see Spinning below), a decimal from 0 to 1000000; 0 sleeps at
 *                  once without spinning or yielding. Missing, empty, unparsable or out of
 *                  range gives 20000 (20 us). Read once, at a process's first spell.
 *   OLK_LOG_DEBUG  nonempty and not "0": log_Debug lines are written (they are off otherwise).
 *   OLK_LOG_QUIET  nonempty and not "0": no line at all is written, log_Console included.
 *                  Both are read once, at a process's first log call, and kept for the life of
 *                  the process (a forked child keeps its parent's choice once made).
 *   OLK_IPC_MODE   octal permission bits (0 to 0777, e.g. "0600" or "0666") for every System V
 *                  object created from then on; read at each creation. Missing, empty or
 *                  unparsable values, or values with bits above 0777, give 0660.
 *
 * Log lines. One write(2) of at most 1024 bytes to standard error per call: "[info] " or
 * "[debug] ", the formatted text and a newline. A longer text is cut and ends in "...". A
 * NULL format writes nothing (errno EINVAL). A log call leaves errno as it found it otherwise.
 *
 * Time text. make_time_string2(buf, ts) takes milliseconds since 1970-01-01 00:00:00 UTC and
 * writes "YYYY-MM-DD hh:mm:ss.mmm" in UTC (e.g. 1733450205123 gives "2024-12-06 01:56:45.123")
 * for the years 0000 to 9999, "-" for ts == 0 and otherwise "@" followed by ts in decimal
 * (e.g. "@-9223372036854775808"). The text and its NUL never take more than 24 bytes. The
 * calendar is proleptic Gregorian without leap seconds, computed without time_t, so 32-bit
 * targets give the same text. A NULL buf is left alone (errno EINVAL).
 *
 * Shared memory. Plain System V segments: vos_create_shared_memory is shmget with
 * IPC_CREAT|IPC_EXCL (EEXIST when the key exists, EINVAL for size 0), so `ipcs -m` lists them
 * and `ipcrm` removes them. The key IPC_PRIVATE (0) is never found by vos_get_shared_memory
 * (ENOENT). vos_dettach_shared_memory refuses a negative id or a NULL address (EINVAL) and
 * otherwise detaches addr whatever id says.
 *
 * Semaphore sets. A set is one System V shared-memory segment found by its key, so the set id
 * is the segment id and means the same set in every process. The segment holds a 64-byte
 * header (magic number, layout version, count, destroyed flag) and `count` (1 to 4096)
 * records, each on its own 64-byte cache line, with room to spare: a futex lock word (0 free,
 * 1 taken, 2 taken with sleepers), the pid of the process that took the lock last (0 while
 * free) and an event word (a count of signals in steps of 4, in bit 1 a mark that someone
 * entered vos_wait and in bit 0 a mark that someone sleeps on it). Any field a later layout adds
 * goes into the spare words of the same line. The layout version is 3; a process built with
 * another version finds no set at such a key (EINVAL) rather than a set it would misread.
 * Taking a free lock is one compare-and-swap, freeing a lock nobody sleeps on is one exchange,
 * vos_signal with nobody in vos_wait is one read and with nobody asleep one compare-and-swap:
 * none makes a system call. Sleepers block in the kernel on the words themselves (shared
 * futexes, so they work across processes); vos_wait marks the event word before it frees the
 * lock and sleeps only while the count is unchanged, so a vos_signal given after the free is
 * never lost. A vos_signal that finds a mark moves the count and takes the marks off, waking
 * the sleepers when one slept; one that finds none moves nothing, since every wait entered
 * before it has seen the count move already. vos_unlock has no owner check: any thread or
 * process may free a lock, which is how a lock left by a dead process is released. Locking
 * twice without an unlock blocks until some other thread or process unlocks.
 *
 * Spinning. Before it sleeps on a taken lock, and before it sleeps in vos_wait, a thread
 * watches the word for a short spell (the CPU's pause instruction between looks), then yields
 * the CPU once (sched_yield) and looks again; a lock found with sleepers already on it is not
 * spun on, so those who came first keep their place. A spell lasts OLK_SPIN_NS nanoseconds at
 * most. Each thread shortens its spells while they keep running out without the word
 * changing (its partner is not running, as on a machine with more runnable threads than
 * CPUs), down to a yield alone with a one-microsecond spell one time in eight, and lengthens
 * them again while they pay; and it leaves the yield out while its last yield did not bring
 * the change (save in those short spells), since a scheduler may send a thread that yields
 * to the back of the line for a whole slice. Whatever the spell, a wait or a lock sleeps in
 * the end: a holder that died keeps its lock taken, with its pid recorded, until vos_unlock
 * or the destruction of the set, and nobody waiting on it burns more than a spell's time
 * before sleeping.
 *
 * Each process maps a set on its first call that names it and keeps it mapped until it exits,
 * even after the set is destroyed, because other threads may still be inside a call on it. A
 * process keeps at most 256 live sets at once (ENOSPC beyond). vos_get_semaphore(key, count)
 * refuses a count below 0 or above the set's own count (EINVAL), a key that names no segment
 * (ENOENT) and a segment that is no semaphore set (EINVAL; an all-zero one may be a set still
 * being made, so it is given 0.2 s first). A set id that names no segment or no semaphore set
 * gives EINVAL on every call, an index outside 0 .. count - 1 gives EINVAL.
 *
 * vos_destroy_semaphore(set, count) removes the segment (IPC_RMID; a refusal such as EPERM
 * changes nothing), then marks the set destroyed and wakes every sleeper of it. From then on
 * every call on the set, in every process, answers -1 with errno EIDRM, including a vos_lock
 * or vos_wait that was asleep in it. `count` is not consulted: the set knows its own size.
 * A set removed by other means (ipcrm, vos_destroy_shared_memory) is not marked: processes
 * that mapped it go on using it and no other process finds it.
 *
 * Fork. A child inherits its parent's mapped sets; the cached pid recorded as lock holder is
 * renewed in the child through pthread_atfork (children made by raw clone or vfork without
 * exec are not supported).
 */
#ifndef OLK_STANDIN_H
#define OLK_STANDIN_H

#include <stdint.h>

#include "olk.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Receives each handle given to olk_return, with the context given at installation. Runs on
 * the thread that called olk_return, which may hold a queue lock: it must not block for long
 * nor call back into the queue that returned the handle. */
typedef void (*olk_return_handler)(uint64_t handle, void *context);

/* Installs a handler for olk_return; NULL restores the default, which counts the handles.
 * Calls of olk_return that start after this returns use the new handler; one already running
 * may still finish with the old one. Each distinct (handler, context) pair installed costs a
 * few bytes kept until exit; when they cannot be had the old handler stays (errno ENOMEM). */
OLK_API void olk_set_return_handler(olk_return_handler handler, void *context);

/* How many handles olk_return has counted while no handler was installed. */
OLK_API uint64_t olk_returned_count(void);

/* The pid recorded as holder of a semaphore: the process that took it last, 0 while it is
 * free, -1 with errno set for a bad set or index (as vos_lock refuses them). */
OLK_API int32_t olk_semaphore_holder(int32_t set, int32_t index);

#ifdef __cplusplus
}
#endif

#endif /* OLK_STANDIN_H */
