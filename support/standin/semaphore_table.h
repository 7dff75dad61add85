// Per-process map from set id to where that set is mapped in this process.
#ifndef OLK_STANDIN_SEMAPHORE_TABLE_H
#define OLK_STANDIN_SEMAPHORE_TABLE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "semaphore_layout.h"

namespace olk {

// What this process knows of one mapped set. Immutable once published; never freed nor
// unmapped, since another thread may still be inside a call on it.
struct SetView {
    int32_t id;
    uint32_t count;  // checked when mapped: the segment really holds this many entries
    SetHeader *header;
    SetEntry *entries;
    SetView *retired;  // replaced views stay reachable through this chain
};

inline bool is_destroyed(const SetView &view) noexcept {
    return word(view.header->destroyed).load(std::memory_order_acquire) != 0;
}

// The process's views by set id: open addressing without removal (semaphore_table.cpp says
// why a lock-free probe never misses a view). Here only for the inline fast path below.
inline constexpr size_t kViewSlots = 256;
extern std::atomic<SetView *> g_view_slots[kViewSlots];

inline size_t home_of(int32_t id) noexcept {
    // Segment ids differ mostly in their low bits; spread them over the table.
    return ((static_cast<uint32_t>(id) * 2654435761u) >> 24) & (kViewSlots - 1);
}

// find_set when the view is not in its home slot, or its set is destroyed, or id is negative.
const SetView *find_set_slow(int32_t id) noexcept;

// The view of live set `id`, mapping it on first use; nullptr with errno EINVAL (no such
// segment, or not a semaphore set), EIDRM (destroyed), ENOSPC (too many sets) or the errno of
// shmctl/shmat (e.g. EACCES). Lock-free once the set is mapped. Every lock, unlock, wait and
// signal starts here, so the usual case (a live set in its home slot) is a handful of
// instructions inline; the rest is out of line.
inline const SetView *find_set(int32_t id) noexcept {
    if (id >= 0) {
        const SetView *view = g_view_slots[home_of(id)].load(std::memory_order_acquire);
        if (view != nullptr && view->id == id && !is_destroyed(*view)) return view;
    }
    return find_set_slow(id);
}

// As find_set for a set just found by key: its creator may still be filling in the header,
// so an all-zero header is given a moment to become a set.
const SetView *find_new_set(int32_t id) noexcept;

// Records a set this process has just created and mapped at `header`: 0, or -1 with errno
// ENOMEM or ENOSPC (the caller then unmaps and removes it).
int32_t adopt_set(int32_t id, SetHeader *header) noexcept;

}  // namespace olk

#endif  // OLK_STANDIN_SEMAPHORE_TABLE_H
