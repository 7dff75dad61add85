// Lock, unlock, wait and signal on one semaphore of a set. These are the hot calls: each
// finds its set with a lock-free lookup and touches only its own cache line.
#include <cerrno>
#include <climits>

#include "futex.h"
#include "olk.h"
#include "olk_standin.h"
#include "process_id.h"
#include "refusal.h"
#include "semaphore_layout.h"
#include "semaphore_table.h"

using namespace olk;

namespace {

struct Target {
    const SetView *view;
    SetEntry *entry;
};

// The semaphore named by (set, index) of a live set, or false with errno set.
bool target_of(int32_t set, int32_t index, Target *out) noexcept {
    const SetView *view = find_set(set);
    if (view == nullptr) return false;
    if (index < 0 || static_cast<uint32_t>(index) >= view->count) {
        errno = EINVAL;
        return false;
    }
    if (is_destroyed(*view)) {
        errno = EIDRM;
        return false;
    }
    *out = Target{view, &view->entries[index]};
    return true;
}

// The three-state futex mutex: one compare-and-swap when free; otherwise mark the word
// "contended" and sleep until an unlock finds the mark and wakes one sleeper.
int32_t take(const Target &t) noexcept {
    auto lock = word(t.entry->lock);
    uint32_t seen = kFree;
    if (!lock.compare_exchange_strong(seen, kTaken, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
        if (seen != kContended) seen = lock.exchange(kContended, std::memory_order_acquire);
        while (seen != kFree) {
            if (is_destroyed(*t.view)) {
                // Our exchange may have put back the "2" a sleeper waits on after the
                // destroyer changed it; change it again and wake everyone before leaving.
                lock.fetch_or(kDestroyedBit);
                futex_wake(&t.entry->lock, INT_MAX);
                return refuse(EIDRM);
            }
            futex_wait(&t.entry->lock, kContended);
            seen = lock.exchange(kContended, std::memory_order_acquire);
        }
    }
    word(t.entry->holder).store(static_cast<uint32_t>(current_pid()), std::memory_order_relaxed);
    return 0;
}

void give(const Target &t) noexcept {
    word(t.entry->holder).store(0, std::memory_order_relaxed);
    const uint32_t was = word(t.entry->lock).exchange(kFree, std::memory_order_release);
    if (was == kContended) {
        futex_wake(&t.entry->lock, 1);
    } else if ((was & kDestroyedBit) != 0) {
        futex_wake(&t.entry->lock, INT_MAX);
    }
}

}  // namespace

extern "C" {

int32_t vos_lock(int32_t set, int32_t index) {
    Target t{};
    if (!target_of(set, index, &t)) return -1;
    return take(t);
}

int32_t vos_unlock(int32_t set, int32_t index) {
    Target t{};
    if (!target_of(set, index, &t)) return -1;
    give(t);
    return 0;
}

int32_t vos_is_lock(int32_t set, int32_t index) {
    Target t{};
    if (!target_of(set, index, &t)) return -1;
    return (word(t.entry->lock).load(std::memory_order_acquire) & ~kDestroyedBit) != kFree ? 1 : 0;
}

int32_t vos_wait(int32_t set, int32_t index) {
    Target t{};
    if (!target_of(set, index, &t)) return -1;
    auto event = word(t.entry->event);
    auto sleepers = word(t.entry->sleepers);
    // The value read here, before the lock is freed, is what the futex compares: a signal
    // given at any moment after this read changes the word and the sleep ends at once.
    const uint32_t seen = event.load(std::memory_order_seq_cst);
    if (is_destroyed(*t.view)) return refuse(EIDRM);
    sleepers.fetch_add(1, std::memory_order_seq_cst);
    give(t);
    futex_wait(&t.entry->event, seen);
    sleepers.fetch_sub(1, std::memory_order_seq_cst);
    if (is_destroyed(*t.view)) return refuse(EIDRM);
    return take(t);
}

int32_t vos_signal(int32_t set, int32_t index) {
    Target t{};
    if (!target_of(set, index, &t)) return -1;
    word(t.entry->event).fetch_add(1, std::memory_order_seq_cst);
    // A sleeper counts itself before its futex compares the event word. One that counts
    // itself after this read finds the word already bumped and does not sleep, so reading
    // zero here means nobody can need the wake.
    if (word(t.entry->sleepers).load(std::memory_order_seq_cst) != 0) {
        futex_wake(&t.entry->event, INT_MAX);
    }
    return 0;
}

int32_t olk_semaphore_holder(int32_t set, int32_t index) {
    Target t{};
    if (!target_of(set, index, &t)) return -1;
    return static_cast<int32_t>(word(t.entry->holder).load(std::memory_order_relaxed));
}

}  // extern "C"
