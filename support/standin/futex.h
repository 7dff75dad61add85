// The two futex operations the semaphores need. They are the shared (not PRIVATE) variants:
// the words live in System V shared memory and sleepers of other processes must be found.
#ifndef OLK_STANDIN_FUTEX_H
#define OLK_STANDIN_FUTEX_H

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

// 32-bit targets built with a 64-bit time_t may only name the time64 call; without a timeout
// both take the same arguments.
#if !defined(SYS_futex) && defined(SYS_futex_time64)
#define SYS_futex SYS_futex_time64
#endif

namespace olk {

// Sleeps while *word == expected, until woken; a changed word, a signal or a spurious wake
// return early, so callers always test their condition again. errno is left untouched.
inline void futex_wait(uint32_t *word, uint32_t expected) noexcept {
    const int saved = errno;
    syscall(SYS_futex, word, FUTEX_WAIT, expected, nullptr, nullptr, 0);
    errno = saved;
}

// Wakes up to `count` sleepers of *word.
inline void futex_wake(uint32_t *word, int count) noexcept {
    const int saved = errno;
    syscall(SYS_futex, word, FUTEX_WAKE, count, nullptr, nullptr, 0);
    errno = saved;
}

}  // namespace olk

#endif  // OLK_STANDIN_FUTEX_H
