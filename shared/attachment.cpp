// The shared segment's lifecycle: create, join, leave, remove, and reset.
#include <cerrno>
#include <cstdio>

#include "engine/atomic_field.h"
#include "engine/slot.h"
#include "engine/trace.h"
#include "include/brenn.h"
#include "shared/segment.h"
#include "support/olk.h"

namespace brenn::shared {

Attachment attachment;

namespace {

using engine::ld;
using engine::st;

int32_t set_id(int32_t s) noexcept {
    return attachment.set_ids[s].load(std::memory_order_relaxed);
}
void set_set_id(int32_t s, int32_t id) noexcept {
    attachment.set_ids[s].store(id, std::memory_order_relaxed);
}
int32_t segment_id() noexcept {
    return attachment.segment_id.load(std::memory_order_relaxed);
}
void set_segment_id(int32_t id) noexcept {
    attachment.segment_id.store(id, std::memory_order_relaxed);
}
void set_base(SharedSlot *base) noexcept {
    attachment.segment_base.store(base, std::memory_order_release);
}

int32_t destroy() noexcept {
    if (SharedSlot *base = attached_base()) {
        if (vos_dettach_shared_memory(segment_id(), base) != 0) return BRENN_DETACH_FAILED;
        set_base(nullptr);
    }
    if (segment_id() >= 0) {
        if (vos_destroy_shared_memory(segment_id()) != 0) return BRENN_SEGMENT_REMOVAL_FAILED;
        set_segment_id(-1);
    }
    for (int32_t s = 0; s < kSetCount; ++s) {
        if (set_id(s) < 0) continue;
        if (vos_destroy_semaphore(set_id(s), kSemaphoresPerSet) != 0)
            return BRENN_SET_REMOVAL_FAILED;
        set_set_id(s, -1);
    }
    return 0;
}

// The queues a reset frees, for its probe.
[[maybe_unused]] int32_t allocated_queues(const SharedSlot *base) noexcept {
    int32_t count = 0;
    for (int32_t q = 0; q < kQueueCount; ++q)
        count += ld(base[q].hdr.allocated) != 0 ? 1 : 0;
    return count;
}

}  // namespace

}  // namespace brenn::shared

using namespace brenn::shared;

extern "C" {

int32_t gsq_c_create(void) {
    for (int32_t s = 0; s < kSetCount; ++s) {
        const int32_t id = vos_create_semaphore(kFirstSetKey + s, kSemaphoresPerSet);
        set_set_id(s, id);
        if (id < 0) {
            std::printf("create_semaphore failed errno=%d\n", errno);
            return BRENN_SET_CREATE_FAILED;
        }
    }
    const int32_t id = vos_create_shared_memory(kSegmentKey, kSegmentSize);
    set_segment_id(id);
    if (id < 0) {
        std::printf("create_shared_memory failed errno=%d\n", errno);
        destroy();
        return BRENN_SEGMENT_CREATE_FAILED;
    }
    auto *base = static_cast<SharedSlot *>(vos_attach_shared_memory(id));
    if (base == nullptr) {
        std::printf("attach_shared_memory failed errno=%d\n", errno);
        destroy();
        return BRENN_ATTACH_FAILED;
    }
    // Only these four fields are written; allocation sets the rest of a slot.
    for (int32_t q = 0; q < kQueueCount; ++q) {
        brenn::engine::QueueHeader &h = base[q].hdr;
        st(h.node_num, 0);
        st(h.write_seq, 0);
        st(h.allocated, 0);
        st(h.sharable, 1);
    }
    set_base(base);
    return 0;
}

int32_t gsq_c_init(void) {
    const int32_t id = vos_get_shared_memory(kSegmentKey);
    set_segment_id(id);
    if (id < 0) return BRENN_NO_SEGMENT;
    auto *base = static_cast<SharedSlot *>(vos_attach_shared_memory(id));
    if (base == nullptr) return BRENN_ATTACH_FAILED;
    set_base(base);
    for (int32_t s = 0; s < kSetCount; ++s) {
        const int32_t set = vos_get_semaphore(kFirstSetKey + s, kSemaphoresPerSet);
        set_set_id(s, set);
        if (set < 0) {
            vos_dettach_shared_memory(id, base);
            set_segment_id(-1);
            set_base(nullptr);
            for (int32_t before = 0; before < s; ++before)
                set_set_id(before, -1);
            return BRENN_SET_NOT_FOUND;
        }
    }
    return 0;
}

void gsq_c_fast_init(void) {
    set_segment_id(vos_get_shared_memory(kSegmentKey));
    for (int32_t s = 0; s < kSetCount; ++s) {
        set_set_id(s, vos_get_semaphore(kFirstSetKey + s, kSemaphoresPerSet));
    }
}

int32_t gsq_c_uninit(void) {
    SharedSlot *base = attached_base();
    if (segment_id() < 0 || base == nullptr) return BRENN_NOT_ATTACHED;
    vos_dettach_shared_memory(segment_id(), base);
    set_segment_id(-1);
    set_base(nullptr);
    for (int32_t s = 0; s < kSetCount; ++s) {
        if (set_id(s) >= 0) set_set_id(s, -1);
    }
    return 0;
}

int32_t gsq_c_destroy(void) {
    return destroy();
}

int32_t gsq_c_reset(void) {
    SharedSlot *base = attached_base();
    if (base == nullptr) return BRENN_NOT_ATTACHED;
    BRENN_PROBE(reset, brenn::engine::kSharedFamily, allocated_queues(base));
    for (int32_t q = 0; q < kQueueCount; ++q) {
        const int32_t index = q % kQueuesPerSet;
        for (int32_t s = 0; s < kSetCount; ++s) {
            if (set_id(s) < 0) continue;
            // Release a stuck lock; one that is taken again after each of ten releases
            // (someone keeps taking it) is renewed with its whole set under the same key.
            bool taken = true;
            for (int attempt = 0; attempt < 10; ++attempt) {
                if (vos_is_lock(set_id(s), index) == 0) {
                    taken = false;
                    break;
                }
                vos_unlock(set_id(s), index);
            }
            if (taken) {
                if (vos_destroy_semaphore(set_id(s), kSemaphoresPerSet) != 0)
                    return BRENN_SET_REMOVAL_FAILED;
                const int32_t id = vos_create_semaphore(kFirstSetKey + s, kSemaphoresPerSet);
                set_set_id(s, id);
                if (id < 0) return BRENN_SET_CREATE_FAILED;
            }
            st(base[q].hdr.allocated, 0);
            st(base[q].hdr.write_seq, 0);
        }
    }
    return 0;
}

}  // extern "C"
