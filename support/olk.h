/*
 * olk.h - the support library libolk.so.0 as libbrenn.so.0 calls it.
 *
 * The platform ships its own libolk.so.0; this project builds a stand-in with the same
 * exports for machines that lack it. libbrenn.so.0 reaches every call below through its
 * dynamic symbol, so a platform library (or a program that defines one of these functions
 * itself) replaces the stand-in without a rebuild.
 */
#ifndef OLK_H
#define OLK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define OLK_API __attribute__((visibility("default")))
#define OLK_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define OLK_API
#define OLK_PRINTF(f, a)
#endif

/* Semaphore sets: `count` binary semaphores found by `key`. Results are set ids (>= 0) or
 * negative with errno set. Creating a key that exists fails with EEXIST. */
OLK_API int32_t vos_create_semaphore(int32_t key, int32_t count);
OLK_API int32_t vos_get_semaphore(int32_t key, int32_t count);
OLK_API int32_t vos_destroy_semaphore(int32_t set, int32_t count);

/* Shared-memory segments found by `key`. A new segment reads as zeros. */
OLK_API int32_t vos_create_shared_memory(int32_t key, uint32_t size);
OLK_API int32_t vos_get_shared_memory(int32_t key);
OLK_API void *vos_attach_shared_memory(int32_t id);
OLK_API int32_t vos_dettach_shared_memory(int32_t id, void *addr);
OLK_API int32_t vos_destroy_shared_memory(int32_t id);

/* One semaphore of a set. vos_unlock frees it from any thread or process. vos_wait is called
 * holding the semaphore: it frees it, sleeps until a vos_signal on the same pair (early
 * returns allowed) and holds it again on return. vos_signal wakes every waiter of the pair. */
OLK_API int32_t vos_lock(int32_t set, int32_t index);
OLK_API int32_t vos_unlock(int32_t set, int32_t index);
OLK_API int32_t vos_is_lock(int32_t set, int32_t index);
OLK_API int32_t vos_wait(int32_t set, int32_t index);
OLK_API int32_t vos_signal(int32_t set, int32_t index);

/* One line per call; the formats carry no line end. */
OLK_API void log_Console(const char *fmt, ...) OLK_PRINTF(1, 2);
OLK_API void log_Debug(const char *fmt, ...) OLK_PRINTF(1, 2);

/* The timestamp `ts` as a NUL-terminated text within the 32 bytes of `buf`. */
OLK_API void make_time_string2(char *buf, int64_t ts);

/* Gives a buffer handle back to its owner. */
OLK_API void olk_return(uint64_t handle);

#ifdef __cplusplus
}
#endif

#endif /* OLK_H */
