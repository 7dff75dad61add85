#include "shared/shared_table.h"

#include <algorithm>

#include "engine/api.h"
#include "engine/engine.h"
#include "shared/segment.h"
#include "support/olk.h"

namespace brenn::shared {

using engine::kSharedFamily;
using engine::ld;
using engine::QueueHeader;
using engine::QueueNode;
using engine::Slot;
using engine::st;

namespace {

// Queue q's lock is semaphore q mod 125 of set q / 125. The set id is looked up at every call,
// so that ids renewed by a fast init take effect at once.
int32_t set_of(const Slot &s) noexcept {
    return attachment.set_ids[s.q / kQueuesPerSet].load(std::memory_order_relaxed);
}
int32_t index_of(const Slot &s) noexcept {
    return s.q % kQueuesPerSet;
}

int32_t lock(const Slot &s) noexcept {
    return vos_lock(set_of(s), index_of(s));
}
int32_t unlock(const Slot &s) noexcept {
    return vos_unlock(set_of(s), index_of(s));
}
int32_t wait(const Slot &s) noexcept {
    return vos_wait(set_of(s), index_of(s));
}
// The semaphore's unlock, then its signal: the two calls of every write and read.
int32_t unlock_and_wake(const Slot &s) noexcept {
    vos_unlock(set_of(s), index_of(s));
    return vos_signal(set_of(s), index_of(s));
}
QueueNode *nodes(const Slot &s) noexcept {
    return static_cast<SharedSlot *>(s.place)->nodes;
}

// A node-count change rewrites the slot's own node area in place.
QueueNode *obtain_ring(const Slot &s, int32_t) noexcept {
    return nodes(s);
}
void adopt_ring(const Slot &, QueueNode *, int32_t) noexcept {}

const engine::Binding binding = {
    lock,        unlock,     wait,          unlock_and_wake, nodes, kNodeAreaPlaces,
    obtain_ring, adopt_ring, kSharedFamily,
};

bool locate(int32_t q, Slot *s) noexcept {
    SharedSlot *base = attached_base();
    if (base == nullptr) return false;
    *s = Slot{&binding, &base[q].hdr, &base[q], q};
    return true;
}

int32_t allocate_slot(uint32_t size, int32_t max_sessions, int32_t reserve, int32_t no_block,
                      int32_t sharable, int32_t dynamic_k, int32_t window) noexcept {
    SharedSlot *base = attached_base();
    const uint32_t asked = size / sizeof(QueueNode);
    if (base == nullptr || asked == 0) return -1;
    for (int32_t q = 0; q < kQueueCount; ++q) {
        SharedSlot &slot = base[q];
        QueueHeader &h = slot.hdr;
        if (ld(h.allocated) != 0) continue;
        const auto count = static_cast<int32_t>(std::min<uint32_t>(asked, kAllocCap));
        st(h.node_num, count);
        // From the count asked for, not the capped one.
        st(h.quarter_num, static_cast<int32_t>(asked / 4));
        engine::init_queue(h, slot.nodes, count, max_sessions, reserve, no_block, sharable, false);
        if (dynamic_k >= 0) engine::make_dynamic(h, dynamic_k, window);
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
    // A ring of more than 256 nodes cannot be allocated, so its tail would lie outside it.
    if (k < 0 || k >= kAllocCap) return -1;
    return allocate_slot(static_cast<uint32_t>(k + 1) * sizeof(QueueNode), max_sessions, reserve,
                         no_block, sharable, k, window);
}

void release(int32_t q) noexcept {
    Slot s;
    // Only `allocated` changes: nodes and sessions keep their contents, waiters sleep on.
    if (api::reach(family, q, &s)) st(s.hdr->allocated, 0);
}

int32_t ready(int32_t q) noexcept {
    Slot s;
    return api::open(family, q, &s) ? 1 : 0;
}

int32_t node_count(int32_t q) noexcept {
    Slot s;
    // Also the node count of a freed slot, which keeps it until the slot is allocated again.
    return api::reach(family, q, &s) ? ld(s.hdr->node_num) : -1;
}

}  // namespace brenn::shared
