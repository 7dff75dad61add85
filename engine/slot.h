// The abstract slot the engine works on. A family's table resolves a queue id to a Slot: the
// queue's control record plus one static table of functions that binds lock, unlock, wait and
// wake (and the node storage) to that family. The engine never knows which binding it runs on,
// so each queue algorithm exists once for both families.
#pragma once

#include <cstdint>

#include "engine/records.h"

namespace brenn::engine {

struct Slot;

// The family a binding serves, as the probes report it (engine/trace.h).
inline constexpr int32_t kLocalFamily = 0;
inline constexpr int32_t kSharedFamily = 1;

struct Binding {
    // Take / release the queue's lock (one per queue, not recursive).
    int32_t (*lock)(const Slot &) noexcept;
    int32_t (*unlock)(const Slot &) noexcept;
    // With the lock held: release it, sleep until woken (early returns allowed), retake it.
    int32_t (*wait)(const Slot &) noexcept;
    // After the unlock: wake every thread or process waiting on this queue.
    int32_t (*wake)(const Slot &) noexcept;
    // The slot's current node array. A node-count change may replace it while a caller
    // sleeps in wait, so callers fetch it again after every wait.
    QueueNode *(*nodes)(const Slot &) noexcept;
    // The largest ring a node-count change may give this slot.
    int32_t max_nodes;
    // Storage for a new ring of m nodes, obtained while the old ring is still in place; null
    // when it cannot be had. adopt_ring then makes it the slot's ring and gives up the old one.
    QueueNode *(*obtain_ring)(const Slot &, int32_t m) noexcept;
    void (*adopt_ring)(const Slot &, QueueNode *ring, int32_t m) noexcept;
    int32_t family;  // kLocalFamily or kSharedFamily
};

struct Slot {
    const Binding *binding;
    QueueHeader *hdr;
    void *place;  // the binding's own handle on the slot
    int32_t q;    // the queue id, for log lines

    int32_t lock() const noexcept { return binding->lock(*this); }
    int32_t unlock() const noexcept { return binding->unlock(*this); }
    int32_t wait() const noexcept { return binding->wait(*this); }
    int32_t wake() const noexcept { return binding->wake(*this); }
    QueueNode *nodes() const noexcept { return binding->nodes(*this); }
};

// A family: how many queue ids its table has and how an id in range becomes a Slot. locate
// returns false when this process cannot reach the table at all (a shared table that is not
// attached); it does not look at `allocated`.
struct Family {
    int32_t queue_count;
    bool (*locate)(int32_t q, Slot *slot) noexcept;
};

}  // namespace brenn::engine
