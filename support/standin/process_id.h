// The calling process's pid without a system call, for the holder word of a semaphore.
#ifndef OLK_STANDIN_PROCESS_ID_H
#define OLK_STANDIN_PROCESS_ID_H

#include <cstdint>

namespace olk {

// getpid() no longer caches in the C library, and vos_lock must not pay for a system call on
// its fast path. The value is renewed in a forked child before fork() returns there.
int32_t current_pid() noexcept;

}  // namespace olk

#endif  // OLK_STANDIN_PROCESS_ID_H
