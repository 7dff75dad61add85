// The shared family's cross-process format: one System V segment of 512 slots, each an inline
// node area of 1024 places followed by the queue's control record, and five semaphore sets
// whose semaphore q mod 125 of set q / 125 is queue q's lock. Every process of every target
// (64- and 32-bit) must see the same bytes, so every offset is pinned here.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/records.h"

namespace brenn::shared {

inline constexpr int32_t kQueueCount = 512;
inline constexpr int32_t kNodeAreaPlaces = 1024;
inline constexpr int32_t kAllocCap = 256;  // allocation never gives more nodes than this
inline constexpr int32_t kSegmentKey = 0xff0060;
inline constexpr int32_t kFirstSetKey = 0xff0061;
inline constexpr int32_t kSetCount = 5;
inline constexpr int32_t kSemaphoresPerSet = 250;
inline constexpr int32_t kQueuesPerSet = 125;

struct SharedSlot {
    engine::QueueNode nodes[kNodeAreaPlaces];
    engine::QueueHeader hdr;
};

inline constexpr uint32_t kSlotSize = 36920;
inline constexpr uint32_t kSegmentSize = 18903040;  // 0x1207000

static_assert(sizeof(SharedSlot) == kSlotSize);
static_assert(kSegmentSize == kSlotSize * kQueueCount);
static_assert(offsetof(SharedSlot, nodes) == 0);
static_assert(offsetof(SharedSlot, hdr) == 32768);
constexpr size_t slot_offset(size_t header_offset) {
    return offsetof(SharedSlot, hdr) + header_offset;
}
static_assert(slot_offset(offsetof(engine::QueueHeader, rd)) == 32768);
static_assert(slot_offset(offsetof(engine::QueueHeader, wr)) == 32772);
static_assert(slot_offset(offsetof(engine::QueueHeader, tail)) == 32776);
static_assert(slot_offset(offsetof(engine::QueueHeader, dynamic)) == 32780);
static_assert(slot_offset(offsetof(engine::QueueHeader, max_sessions)) == 32784);
static_assert(slot_offset(offsetof(engine::QueueHeader, reserve)) == 32788);
static_assert(slot_offset(offsetof(engine::QueueHeader, sessions)) == 32792);
static_assert(slot_offset(offsetof(engine::QueueHeader, node_num)) == 36888);
static_assert(slot_offset(offsetof(engine::QueueHeader, quarter_num)) == 36892);
static_assert(slot_offset(offsetof(engine::QueueHeader, no_block)) == 36896);
static_assert(slot_offset(offsetof(engine::QueueHeader, reserved)) == 36900);
static_assert(slot_offset(offsetof(engine::QueueHeader, write_seq)) == 36904);
static_assert(slot_offset(offsetof(engine::QueueHeader, allocated)) == 36912);
static_assert(slot_offset(offsetof(engine::QueueHeader, sharable)) == 36916);
// Slots stay 8-byte aligned one after another, so 64-bit fields never straddle.
static_assert(kSlotSize % 8 == 0);

// This process's attachment: the segment's id and address, and the five set ids in key order.
// The lifecycle calls write it from one thread while no shared operation runs; the operations
// read it at every call, so that set ids renewed by a fast init take effect at once.
struct Attachment {
    std::atomic<int32_t> segment_id{-1};
    std::atomic<SharedSlot *> segment_base{nullptr};
    std::atomic<int32_t> set_ids[kSetCount] = {-1, -1, -1, -1, -1};
};

extern Attachment attachment;

inline SharedSlot *attached_base() noexcept {
    return attachment.segment_base.load(std::memory_order_acquire);
}

}  // namespace brenn::shared
