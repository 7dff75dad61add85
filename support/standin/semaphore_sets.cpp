// Making, finding and destroying semaphore sets.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <climits>

#include "futex.h"
#include "ipc_mode.h"
#include "olk.h"
#include "process_id.h"
#include "refusal.h"
#include "semaphore_layout.h"
#include "semaphore_table.h"

using namespace olk;

namespace {

bool count_in_range(int32_t count, int32_t lowest) noexcept {
    return count >= lowest && count <= kMaxSemaphores;
}

// Removes a segment this call created and could not finish, keeping the first errno.
int32_t abandon(int32_t id, void *addr, int error) noexcept {
    if (addr != nullptr) shmdt(addr);
    shmctl(id, IPC_RMID, nullptr);
    return refuse(error);
}

}  // namespace

extern "C" {

int32_t vos_create_semaphore(int32_t key, int32_t count) {
    if (!count_in_range(count, 1)) return refuse(EINVAL);
    const uint32_t n = static_cast<uint32_t>(count);
    const int id = shmget(static_cast<key_t>(key), set_bytes(n), IPC_CREAT | IPC_EXCL | ipc_mode());
    if (id < 0) return -1;
    void *addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1)) return abandon(id, nullptr, errno);
    // The segment reads as zeros: every lock free, no sleeper. The magic goes last, with
    // release, so whoever reads it also reads the rest.
    auto *header = static_cast<SetHeader *>(addr);
    word(header->layout).store(kSetLayout, std::memory_order_relaxed);
    word(header->count).store(n, std::memory_order_relaxed);
    word(header->creator).store(static_cast<uint32_t>(current_pid()), std::memory_order_relaxed);
    word(header->magic).store(kSetMagic, std::memory_order_release);
    if (adopt_set(id, header) != 0) return abandon(id, addr, errno);
    return id;
}

int32_t vos_get_semaphore(int32_t key, int32_t count) {
    if (!count_in_range(count, 0)) return refuse(EINVAL);
    if (key == IPC_PRIVATE) return refuse(ENOENT);
    const int id = shmget(static_cast<key_t>(key), 0, 0);
    if (id < 0) return -1;
    const SetView *view = find_new_set(id);
    if (view == nullptr) return -1;
    if (static_cast<uint32_t>(count) > view->count) return refuse(EINVAL);
    return id;
}

int32_t vos_destroy_semaphore(int32_t set, int32_t count) {
    (void)count;  // the set knows its own size
    // find_set refuses a destroyed set (EIDRM); one destroyed meanwhile loses the race for
    // the flag below.
    const SetView *view = find_set(set);
    if (view == nullptr) return -1;
    // Remove first: when that is refused (EPERM) the set goes on untouched.
    if (shmctl(set, IPC_RMID, nullptr) != 0) return -1;
    uint32_t live = 0;
    if (!word(view->header->destroyed).compare_exchange_strong(live, 1)) return refuse(EIDRM);
    // Change every word a sleeper may sleep on, then wake them all: a sleeper either was
    // queued before the change (and is woken) or finds the word changed and sees the flag.
    for (uint32_t i = 0; i < view->count; ++i) {
        SetEntry &entry = view->entries[i];
        word(entry.lock).fetch_or(kDestroyedBit);
        word(entry.event).fetch_add(kEventStep);
        futex_wake(&entry.lock, INT_MAX);
        futex_wake(&entry.event, INT_MAX);
    }
    return 0;
}

}  // extern "C"
