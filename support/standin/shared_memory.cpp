// Plain System V shared-memory segments, one call each.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>

#include "ipc_mode.h"
#include "olk.h"
#include "refusal.h"

using namespace olk;

extern "C" {

int32_t vos_create_shared_memory(int32_t key, uint32_t size) {
    if (size == 0) return refuse(EINVAL);
    return shmget(static_cast<key_t>(key), size, IPC_CREAT | IPC_EXCL | ipc_mode());
}

int32_t vos_get_shared_memory(int32_t key) {
    // shmget would create a new private segment here instead of finding one.
    if (key == IPC_PRIVATE) return refuse(ENOENT);
    return shmget(static_cast<key_t>(key), 0, 0);
}

void *vos_attach_shared_memory(int32_t id) {
    if (id < 0) {
        errno = EINVAL;
        return nullptr;
    }
    void *addr = shmat(id, nullptr, 0);
    return addr == reinterpret_cast<void *>(-1) ? nullptr : addr;
}

int32_t vos_dettach_shared_memory(int32_t id, void *addr) {
    if (id < 0 || addr == nullptr) return refuse(EINVAL);
    return shmdt(addr) == 0 ? 0 : -1;
}

int32_t vos_destroy_shared_memory(int32_t id) {
    if (id < 0) return refuse(EINVAL);
    return shmctl(id, IPC_RMID, nullptr) == 0 ? 0 : -1;
}

}  // extern "C"
