// The abstract slot the engine works on. A family's table resolves a queue id to a Slot: the
// queue's control record plus one static table of functions that binds lock, unlock, wait and
// wake (and the node storage) to that family. The engine never knows which binding it runs on,
// so each queue algorithm exists once for both families.
#pragma once

#include <time.h>

#include <atomic>
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
    // Ends an operation that others may be waiting for (a write or a read): releases the lock,
    // then wakes every thread or process waiting on this queue. One entry, not two, so that a
    // binding may prepare the wake while the lock is still held.
    int32_t (*unlock_and_wake)(const Slot &) noexcept;
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

// What a blocked call does between two passes through the wait primitive. The primitive
// normally sleeps until a wake; when it fails at once instead (a shared queue whose semaphore
// set a reset in another process renewed before this process fetched the new id), the call
// would test its condition again at full speed on a core. It backs off instead: a sleep of
// 50 us after the first failure, doubling up to 5 ms, until a wait succeeds again. Nothing is
// logged for it, and results stay as the wait loop gives them.
class Backoff {
  public:
    void after(int32_t wait_result) noexcept {
        if (wait_result == 0) {
            pause_ns_ = 0;
            return;
        }
        pause_ns_ = pause_ns_ == 0 ? kFirstNs : (pause_ns_ < kLastNs / 2 ? 2 * pause_ns_ : kLastNs);
        const timespec pause{0, pause_ns_};
        nanosleep(&pause, nullptr);
    }

  private:
    static constexpr long kFirstNs = 50'000;
    static constexpr long kLastNs = 5'000'000;
    long pause_ns_ = 0;
};

struct Slot {
    const Binding *binding;
    QueueHeader *hdr;
    void *place;  // the binding's own handle on the slot
    int32_t q;    // the queue id, for log lines
    // One past the highest session slot that a creation has used in this queue, where every
    // creation happens in this process (the local family; never lowered, so a reused slot only
    // looks at more). A write's session follow-up looks at the slots below it alone; the rest
    // have never been in use. Null where other processes create sessions: every slot is
    // looked at.
    std::atomic<int32_t> *sessions_seen = nullptr;

    int32_t lock() const noexcept { return binding->lock(*this); }
    int32_t unlock() const noexcept { return binding->unlock(*this); }
    int32_t wait(Backoff &backoff) const noexcept {
        const int32_t result = binding->wait(*this);
        backoff.after(result);
        return result;
    }
    int32_t unlock_and_wake() const noexcept { return binding->unlock_and_wake(*this); }
    QueueNode *nodes() const noexcept { return binding->nodes(*this); }
};

// A family: how many queue ids its table has and how an id in range becomes a Slot. locate
// returns false when this process cannot reach the table at all (a shared table that is not
// attached); it does not look at `allocated`.
struct Family {
    int32_t queue_count;
    bool (*locate)(int32_t q, Slot *slot) noexcept;
    // Per queue, the look-backs this process opened and has not ended: the lock that end
    // releases is the one a begin took, also when the queue was freed and allocated again in
    // between (allocation clears the sessions' looking_back).
    std::atomic<int32_t> *open_look_backs;
};

}  // namespace brenn::engine
