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
#include "spin.h"

using namespace olk;

namespace {

// This thread's spinning credits (spin.h), one for locks and one for waits: a lock is held
// for a few hundred nanoseconds, while a wait lasts as long as the traffic makes it.
thread_local SpinCredit t_lock_credit;
thread_local SpinCredit t_wait_credit;

struct Target {
    const SetView *view;
    SetEntry *entry;
};

// The semaphore named by (set, index) of a live set, or false with errno set (find_set has
// found the set live).
inline bool target_of(int32_t set, int32_t index, Target *out) noexcept {
    const SetView *view = find_set(set);
    if (view == nullptr) return false;
    if (static_cast<uint32_t>(index) >= view->count) {
        errno = EINVAL;
        return false;
    }
    *out = Target{view, &view->entries[index]};
    return true;
}

// A free lock is one compare-and-swap. A taken one is watched for a short spell and taken
// as soon as it goes free; when the spell runs out, or as soon as others are found asleep on
// it (they were first: spinning past them would keep them waiting), the caller marks the
// word "contended" and sleeps until an unlock finds the mark and wakes one sleeper.
bool try_spinning(std::atomic_ref<uint32_t> lock) noexcept {
    Spin spin(t_lock_credit, spin_budget_ns());
    do {
        uint32_t seen = lock.load(std::memory_order_relaxed);
        if (seen == kFree) {
            if (lock.compare_exchange_weak(seen, kTaken, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
                return true;
            }
        } else if (seen != kTaken) {
            return false;  // sleepers, or a destroyed set: the sleeping path deals with both
        }
    } while (spin.again());
    return false;
}

int32_t take(const Target &t) noexcept {
    auto lock = word(t.entry->lock);
    uint32_t seen = kFree;
    if (!lock.compare_exchange_strong(seen, kTaken, std::memory_order_acquire,
                                      std::memory_order_relaxed) &&
        !try_spinning(lock)) {
        seen = lock.exchange(kContended, std::memory_order_acquire);
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

// Marks the event word "someone sleeps" and sleeps on it, unless the count has moved from
// `seen` meanwhile. One sleep at most: whatever ends it, the caller goes on as if signalled.
void sleep_until_signalled(const Target &t, uint32_t seen) noexcept {
    auto event = word(t.entry->event);
    uint32_t now = event.load(std::memory_order_seq_cst);
    while ((now & kSleepMark) == 0) {
        if (signalled_since(seen, now)) return;
        if (event.compare_exchange_weak(now, now | kSleepMark, std::memory_order_seq_cst,
                                        std::memory_order_seq_cst)) {
            now |= kSleepMark;
        }
    }
    if (signalled_since(seen, now)) return;
    futex_wait(&t.entry->event, now);
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
    if (is_destroyed(*t.view)) return refuse(EIDRM);
    // The mark goes on before the lock is freed, so every signal after an operation that took
    // the lock after us finds it and moves the count. The value it replaced is what the wait
    // compares against: a count move at any moment after it ends the wait at once.
    const uint32_t seen = event.fetch_or(kWaitMark, std::memory_order_seq_cst);
    give(t);
    Spin spin(t_wait_credit, spin_budget_ns());
    while (!signalled_since(seen, event.load(std::memory_order_relaxed))) {
        if (!spin.again()) {
            sleep_until_signalled(t, seen);
            break;
        }
    }
    if (is_destroyed(*t.view)) return refuse(EIDRM);
    return take(t);
}

int32_t vos_signal(int32_t set, int32_t index) {
    Target t{};
    if (!target_of(set, index, &t)) return -1;
    auto event = word(t.entry->event);
    // Unmarked: every waiter that entered before our operation has seen a count move since.
    // Marked: move the count and take the marks off in one step. A sleeper either slept on
    // the old value (and is woken) or finds the word changed and does not sleep.
    uint32_t was = event.load(std::memory_order_seq_cst);
    do {
        if ((was & kEventMarks) == 0) return 0;
    } while (!event.compare_exchange_weak(was, (was + kEventStep) & ~kEventMarks,
                                          std::memory_order_seq_cst, std::memory_order_seq_cst));
    if ((was & kSleepMark) != 0) futex_wake(&t.entry->event, INT_MAX);
    return 0;
}

int32_t olk_semaphore_holder(int32_t set, int32_t index) {
    Target t{};
    if (!target_of(set, index, &t)) return -1;
    return static_cast<int32_t>(word(t.entry->holder).load(std::memory_order_relaxed));
}

}  // extern "C"
