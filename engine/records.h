// The records every queue is made of: a ring of 32-byte nodes and one control record. The same
// QueueHeader serves both families; in the shared segment it follows the slot's node area, so
// its byte layout is a cross-process format and every offset is pinned below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/atomic_field.h"
#include "include/brenn.h"

namespace brenn::engine {

inline constexpr int32_t kMaxSessions = 128;
inline constexpr uint64_t kNoHandle = UINT64_MAX;

enum NodeState : int32_t { NODE_EMPTY = 0, NODE_WRITTEN = 1, NODE_READ = 2 };

struct QueueNode {
    int64_t seq;  // -1 when the node holds nothing
    int32_t state;
    int32_t reserved;
    uint64_t obj;  // kNoHandle: no buffer
    int64_t ts;    // stored by writes to dynamic queues only; never cleared
};

struct QueueHeader {
    int32_t rd;
    int32_t wr;
    int32_t tail;
    int32_t dynamic;
    int32_t max_sessions;
    int32_t reserve;
    QueueSession sessions[kMaxSessions];
    int32_t node_num;
    int32_t quarter_num;
    int32_t no_block;
    int32_t reserved;
    uint64_t write_seq;
    int32_t allocated;
    int32_t sharable;
};

static_assert(sizeof(QueueNode) == 32);
static_assert(offsetof(QueueNode, seq) == 0);
static_assert(offsetof(QueueNode, state) == 8);
static_assert(offsetof(QueueNode, reserved) == 12);
static_assert(offsetof(QueueNode, obj) == 16);
static_assert(offsetof(QueueNode, ts) == 24);

static_assert(sizeof(QueueSession) == 32);
static_assert(offsetof(QueueSession, pk) == 0);
static_assert(offsetof(QueueSession, reserved) == 4);
static_assert(offsetof(QueueSession, cur_seq) == 8);
static_assert(offsetof(QueueSession, in_use) == 16);
static_assert(offsetof(QueueSession, looking_back) == 20);
static_assert(offsetof(QueueSession, live_count) == 24);
static_assert(sizeof(QueueStatus) == 4112);

// Offsets inside the header; the shared slot adds its 32768-byte node area in front of them.
static_assert(offsetof(QueueHeader, rd) == 0);
static_assert(offsetof(QueueHeader, wr) == 4);
static_assert(offsetof(QueueHeader, tail) == 8);
static_assert(offsetof(QueueHeader, dynamic) == 12);
static_assert(offsetof(QueueHeader, max_sessions) == 16);
static_assert(offsetof(QueueHeader, reserve) == 20);
static_assert(offsetof(QueueHeader, sessions) == 24);
static_assert(offsetof(QueueHeader, node_num) == 4120);
static_assert(offsetof(QueueHeader, quarter_num) == 4124);
static_assert(offsetof(QueueHeader, no_block) == 4128);
static_assert(offsetof(QueueHeader, reserved) == 4132);
static_assert(offsetof(QueueHeader, write_seq) == 4136);
static_assert(offsetof(QueueHeader, allocated) == 4144);
static_assert(offsetof(QueueHeader, sharable) == 4148);
static_assert(sizeof(QueueHeader) == 4152);
static_assert(alignof(QueueHeader) == 8);

// Ring arithmetic: signed 32-bit, truncating remainder, node_num added before subtracting so
// that the dividend stays non-negative while the indices are -1 or inside the ring.
inline int32_t ring_next(int32_t i, int32_t n) noexcept {
    return (i + 1) % n;
}
inline int32_t ring_prev(int32_t i, int32_t n) noexcept {
    return (i - 1 + n) % n;
}
inline int32_t ring_distance(int32_t from, int32_t to, int32_t n) noexcept {
    return (to + n - from) % n;
}
// Emptying a node leaves its ts (and reserved word) as they were.
inline void empty_node(QueueNode &n) noexcept {
    st(n.seq, -1);
    st(n.obj, kNoHandle);
    st(n.state, NODE_EMPTY);
}

// The dynamic window: tail to wr inclusive, going forward with wrap.
inline int32_t window_size(int32_t wr, int32_t tail, int32_t n) noexcept {
    return (wr + n - tail + 1) % n;
}

}  // namespace brenn::engine
