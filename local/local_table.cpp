#include "local/local_table.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>

#include "engine/api.h"
#include "engine/engine.h"
#include "support/olk.h"
#include "support/spinning.h"

namespace brenn::local {

using engine::ld;
using engine::QueueHeader;
using engine::QueueNode;
using engine::Slot;
using engine::st;

namespace {

struct LocalSlot {
    // Replaced by a node-count change under the mutex; read without it by the lock-free
    // operations, hence atomic. Release/acquire so that a reader of the new pointer also sees
    // the nodes written into the array before it was published.
    std::atomic<QueueNode *> nodes;
    // The array that the last node-count change replaced. Lock-free calls (data available,
    // seek, session create, the dump) may still be reading it when the new one is published,
    // so it is freed only at the next change or at the release of the queue: at most one
    // retired array per queue. Touched under the mutex, or by the release.
    QueueNode *retired;
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    // Moved by a write or read that finds `wake_wanted` set; a waiter spinning before its sleep
    // watches it. Any value will do after allocation: a wait compares it only with itself.
    std::atomic<uint32_t> wakes;
    // Set under the mutex by every thread that spins in a wait; the first write or read after
    // it clears it and moves `wakes` while it still holds the mutex. The waits of one spell
    // share one move.
    std::atomic<bool> wake_wanted;
    // Waiters spinning now (or deciding whether to); beyond spinning::spinners_allowed()
    // the others sleep at once.
    std::atomic<int32_t> spinners;
    // Slot::sessions_seen for this queue: every session of a local queue is created in this
    // process.
    std::atomic<int32_t> sessions_seen;
    QueueHeader hdr;
};

LocalSlot table[kQueueCount];

LocalSlot &slot_of(const Slot &s) noexcept {
    return *static_cast<LocalSlot *>(s.place);
}

int32_t lock(const Slot &s) noexcept {
    return pthread_mutex_lock(&slot_of(s).mutex);
}
int32_t unlock(const Slot &s) noexcept {
    return pthread_mutex_unlock(&slot_of(s).mutex);
}
// The thread's spinning credit (support/spinning.h).
thread_local spinning::SpinCredit t_spin_credit;

// A wait first spins with the mutex released, watching for a wake, and sleeps on the condition
// variable only when none came; while spinning::spinners_allowed() waiters of this queue spin
// already, it sleeps at once, keeping the mutex until pthread_cond_wait gives it up. Either
// way it returns as pthread_cond_wait does: once woken, holding the mutex, so the caller tests
// its condition again exactly as often as with a plain condition variable (a peek's "wait
// for" line is logged once per wake, not once per spell). Only a spinner sets `wake_wanted`:
// a write or read that clears it moves `wakes` before it lets the mutex go, so a spinner that
// finds it unmoved with the mutex held sleeps before that operation can come (it needs the
// mutex, which pthread_cond_wait gives up only once the waiter sleeps), and is woken by the
// broadcast that follows it. A waiter that never let the mutex go needs no such mark: any
// operation after its test of its condition wakes it by that broadcast.
int32_t wait(const Slot &s) noexcept {
    LocalSlot &slot = slot_of(s);
    if (slot.spinners.fetch_add(1, std::memory_order_relaxed) < spinning::spinners_allowed()) {
        const uint32_t seen = slot.wakes.load(std::memory_order_relaxed);
        slot.wake_wanted.store(true, std::memory_order_relaxed);
        pthread_mutex_unlock(&slot.mutex);
        {
            spinning::Spin spin(t_spin_credit, spinning::kDefaultNs);
            while (slot.wakes.load(std::memory_order_relaxed) == seen && spin.again()) {
            }
        }
        pthread_mutex_lock(&slot.mutex);
        slot.spinners.fetch_sub(1, std::memory_order_relaxed);
        if (slot.wakes.load(std::memory_order_relaxed) != seen) return 0;
    } else {
        slot.spinners.fetch_sub(1, std::memory_order_relaxed);
    }
    return pthread_cond_wait(&slot.cond, &slot.mutex);
}
// A spinner set `wake_wanted` under the mutex before this operation took it, so the operation
// sees it and moves `wakes` while it holds the mutex anyway: no second lock for the wake. A
// spinner that came after the operation keeps its flag for the next one. glibc's broadcast
// makes no system call unless someone sleeps.
int32_t unlock_and_wake(const Slot &s) noexcept {
    LocalSlot &slot = slot_of(s);
    if (slot.wake_wanted.load(std::memory_order_relaxed)) {
        slot.wake_wanted.store(false, std::memory_order_relaxed);
        slot.wakes.fetch_add(1, std::memory_order_relaxed);
    }
    pthread_mutex_unlock(&slot.mutex);
    return pthread_cond_broadcast(&slot.cond);
}
QueueNode *nodes(const Slot &s) noexcept {
    return slot_of(s).nodes.load(std::memory_order_acquire);
}

// The largest ring whose byte size still fits the unsigned 32-bit size of the interface.
constexpr int32_t kMaxNodes = static_cast<int32_t>(UINT32_MAX / sizeof(QueueNode));

// New rings start zeroed, so nodes never written carry ts 0 ("no timestamp").
QueueNode *new_ring(int32_t count) noexcept {
    return static_cast<QueueNode *>(std::calloc(static_cast<size_t>(count), sizeof(QueueNode)));
}

QueueNode *obtain_ring(const Slot &, int32_t m) noexcept {
    return new_ring(m);
}

void adopt_ring(const Slot &s, QueueNode *ring, int32_t m) noexcept {
    LocalSlot &slot = slot_of(s);
    QueueNode *old = slot.nodes.exchange(ring, std::memory_order_acq_rel);
    st(slot.hdr.node_num, m);
    st(slot.hdr.quarter_num, m / 4);
    std::free(slot.retired);
    slot.retired = old;
}

const engine::Binding binding = {
    lock,      unlock,      wait,       unlock_and_wake,      nodes,
    kMaxNodes, obtain_ring, adopt_ring, engine::kLocalFamily,
};

bool locate(int32_t q, Slot *s) noexcept {
    *s = Slot{&binding, &table[q].hdr, &table[q], q, &table[q].sessions_seen};
    return true;
}

// Node allocator: falls back to half the count, repeatedly, while memory is short.
QueueNode *allocate_ring(uint32_t size, int32_t *count) noexcept {
    for (uint32_t n = size / sizeof(QueueNode); n > 0; n /= 2) {
        if (QueueNode *ring = new_ring(static_cast<int32_t>(n))) {
            *count = static_cast<int32_t>(n);
            return ring;
        }
    }
    *count = 0;
    return nullptr;
}

// Allocation proper; `dynamic_k` >= 0 makes it a dynamic queue of that node count, which
// needs all k + 1 nodes. The slot is marked allocated only once it is complete.
int32_t allocate_slot(uint32_t size, int32_t max_sessions, int32_t reserve, int32_t no_block,
                      int32_t sharable, int32_t dynamic_k, int32_t window) noexcept {
    // The CPU count is read here, once, so that no wait pays for the system calls behind it.
    spinning::spinners_allowed();
    for (int32_t q = 0; q < kQueueCount; ++q) {
        LocalSlot &slot = table[q];
        if (ld(slot.hdr.allocated) != 0) continue;
        int32_t count = 0;
        QueueNode *ring = allocate_ring(size, &count);
        if (ring == nullptr) return -1;
        if (dynamic_k >= 0 && count < dynamic_k + 1) {
            std::free(ring);
            return -1;
        }
        // Adaptive: a thread finding the mutex taken spins a little before it sleeps, since
        // the holder leaves within a few hundred nanoseconds.
#ifdef PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP
        slot.mutex = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
#else
        slot.mutex = PTHREAD_MUTEX_INITIALIZER;
#endif
        slot.cond = PTHREAD_COND_INITIALIZER;
        QueueHeader &h = slot.hdr;
        st(h.node_num, count);
        st(h.quarter_num, count / 4);
        engine::init_queue(h, ring, count, max_sessions, reserve, no_block, sharable, true);
        if (dynamic_k >= 0) engine::make_dynamic(h, dynamic_k, window);
        slot.nodes.store(ring, std::memory_order_release);
        engine::st_release(h.allocated, 1);
        return q;
    }
    return -1;
}

std::atomic<int32_t> open_look_backs[kQueueCount];

}  // namespace

const engine::Family family = {kQueueCount, locate, open_look_backs};

int32_t allocate(uint32_t size, int32_t max_sessions, int32_t reserve, int32_t no_block,
                 int32_t sharable) noexcept {
    return allocate_slot(size, max_sessions, reserve, no_block, sharable, -1, 0);
}

int32_t allocate_dynamic(int32_t k, int32_t window, int32_t max_sessions, int32_t reserve,
                         int32_t no_block, int32_t sharable) noexcept {
    if (k < 0 || k >= kMaxNodes) return -1;
    const auto size = static_cast<uint32_t>(k + 1) * sizeof(QueueNode);
    return allocate_slot(static_cast<uint32_t>(size), max_sessions, reserve, no_block, sharable, k,
                         window);
}

void release(int32_t q) noexcept {
    Slot s;
    // A slot freed before is released again as any other: its line is logged with the size of
    // the node array it had, and there is nothing left to free.
    if (!api::reach(family, q, &s)) return;
    LocalSlot &slot = table[q];
    // The size logged is that of the node array, not the size that was asked for.
    log_Console("lsq_free queue %d, size=%d", q,
                static_cast<int32_t>(int64_t{ld(slot.hdr.node_num)} * 32));
    st(slot.hdr.allocated, 0);
    std::free(slot.nodes.exchange(nullptr, std::memory_order_acq_rel));
    std::free(slot.retired);
    slot.retired = nullptr;
}

int32_t node_count(int32_t q) noexcept {
    Slot s;
    // Also the node count of a freed slot, which keeps it until the slot is allocated again.
    return api::reach(family, q, &s) ? ld(s.hdr->node_num) : -1;
}

}  // namespace brenn::local
