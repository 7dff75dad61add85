#include "semaphore_table.h"

#include <pthread.h>
#include <sys/shm.h>
#include <time.h>

#include <cerrno>
#include <cstddef>
#include <new>

#include "refusal.h"

namespace olk {

// Open addressing without removal: a slot goes from empty to a view and is only ever given a
// newer view (of a destroyed set's slot, or of a reused id), so a lock-free reader that probes
// to the first empty slot never misses a view that is there.
std::atomic<SetView *> g_view_slots[kViewSlots];

namespace {

static_assert((kViewSlots & (kViewSlots - 1)) == 0);

SetView *g_retired = nullptr;  // under g_mutex
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t g_fork_once = PTHREAD_ONCE_INIT;

// A creator fills the header within microseconds; a reader that finds the key meanwhile waits
// this long at most before calling the segment something else.
constexpr int kReadyPolls = 200;
constexpr long kReadyPollNs = 1000000;

// A fork while another thread holds g_mutex would leave it held for ever in the child.
void lock_for_fork() {
    pthread_mutex_lock(&g_mutex);
}
void unlock_after_fork() {
    pthread_mutex_unlock(&g_mutex);
}
void register_fork_handlers() {
    pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork);
}

class TableLock {
  public:
    TableLock() noexcept {
        pthread_once(&g_fork_once, register_fork_handlers);
        pthread_mutex_lock(&g_mutex);
    }
    ~TableLock() { pthread_mutex_unlock(&g_mutex); }
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;
};

SetView *probe(int32_t id) noexcept {
    const size_t home = home_of(id);
    for (size_t n = 0; n < kViewSlots; ++n) {
        SetView *view = g_view_slots[(home + n) & (kViewSlots - 1)].load(std::memory_order_acquire);
        if (view == nullptr) return nullptr;
        if (view->id == id) return view;
    }
    return nullptr;
}

// Under g_mutex. Takes the slot of an older view of the same id, else the first slot of a
// destroyed set or the first empty slot on the probe path.
bool install(SetView *fresh) noexcept {
    const size_t home = home_of(fresh->id);
    size_t target = kViewSlots;
    for (size_t n = 0; n < kViewSlots; ++n) {
        const size_t at = (home + n) & (kViewSlots - 1);
        SetView *view = g_view_slots[at].load(std::memory_order_relaxed);
        if (view == nullptr) {
            if (target == kViewSlots) target = at;
            break;
        }
        if (view->id == fresh->id) {
            target = at;
            break;
        }
        if (target == kViewSlots && is_destroyed(*view)) target = at;
    }
    if (target == kViewSlots) return false;
    SetView *old = g_view_slots[target].load(std::memory_order_relaxed);
    if (old != nullptr) {
        old->retired = g_retired;
        g_retired = old;
    }
    g_view_slots[target].store(fresh, std::memory_order_release);
    return true;
}

void wait_until_ready(SetHeader *header) noexcept {
    for (int n = 0; n < kReadyPolls; ++n) {
        if (word(header->magic).load(std::memory_order_acquire) != 0) return;
        const timespec pause{0, kReadyPollNs};
        nanosleep(&pause, nullptr);
    }
}

// Maps segment `id` and checks that it is a complete semaphore set: 0 and *out filled, or an
// errno value with nothing left mapped.
int map_set(int32_t id, bool patient, SetView *out) noexcept {
    shmid_ds ds{};
    if (shmctl(id, IPC_STAT, &ds) != 0) return errno;
    if (ds.shm_segsz < sizeof(SetHeader)) return EINVAL;
    void *addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1)) return errno;
    auto *header = static_cast<SetHeader *>(addr);
    if (patient) wait_until_ready(header);
    const uint32_t magic = word(header->magic).load(std::memory_order_acquire);
    const uint32_t layout = word(header->layout).load(std::memory_order_relaxed);
    const uint32_t count = word(header->count).load(std::memory_order_relaxed);
    if (magic != kSetMagic || layout != kSetLayout || count < 1 ||
        count > static_cast<uint32_t>(kMaxSemaphores) || ds.shm_segsz < set_bytes(count)) {
        shmdt(addr);
        return EINVAL;
    }
    *out = SetView{id, count, header, reinterpret_cast<SetEntry *>(header + 1), nullptr};
    return 0;
}

const SetView *find_slow(int32_t id, bool patient) noexcept {
    TableLock hold;
    const SetView *known = probe(id);
    if (known != nullptr && !is_destroyed(*known)) return known;
    // Unknown, or destroyed: the id may since have been given to a new set.
    SetView mapped{};
    const int error = map_set(id, patient, &mapped);
    if (error != 0) {
        errno = known != nullptr ? EIDRM : error;
        return nullptr;
    }
    if (is_destroyed(mapped)) {
        shmdt(mapped.header);
        errno = EIDRM;
        return nullptr;
    }
    auto *fresh = new (std::nothrow) SetView(mapped);
    if (fresh == nullptr || !install(fresh)) {
        const int reason = fresh == nullptr ? ENOMEM : ENOSPC;
        delete fresh;
        shmdt(mapped.header);
        errno = reason;
        return nullptr;
    }
    return fresh;
}

const SetView *find(int32_t id, bool patient) noexcept {
    if (id < 0) {
        errno = EINVAL;
        return nullptr;
    }
    const SetView *view = probe(id);
    if (view != nullptr && !is_destroyed(*view)) return view;
    return find_slow(id, patient);
}

}  // namespace

const SetView *find_set_slow(int32_t id) noexcept {
    return find(id, false);
}

const SetView *find_new_set(int32_t id) noexcept {
    return find(id, true);
}

int32_t adopt_set(int32_t id, SetHeader *header) noexcept {
    const uint32_t count = word(header->count).load(std::memory_order_relaxed);
    auto *fresh = new (std::nothrow)
        SetView{id, count, header, reinterpret_cast<SetEntry *>(header + 1), nullptr};
    if (fresh == nullptr) return refuse(ENOMEM);
    TableLock hold;
    if (!install(fresh)) {
        delete fresh;
        return refuse(ENOSPC);
    }
    return 0;
}

}  // namespace olk
