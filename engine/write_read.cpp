// The producer's write and the main reader's read, look and ready test.
#include <cstdint>

#include "engine/engine.h"
#include "engine/trace.h"

namespace brenn::engine {

namespace {

// Writer back-pressure: the writer's lead over the main reader, in nodes.
int32_t writer_lead(int32_t rd, int32_t wr, int32_t n) noexcept {
    return rd > wr ? wr + n - rd : wr - rd;
}
// node_num - reserve in signed 32-bit arithmetic that wraps, as the platform computes it: a
// reserve far below zero makes the difference negative and the writer waits.
int32_t room(int32_t n, int32_t reserve) noexcept {
    return static_cast<int32_t>(static_cast<uint32_t>(n) - static_cast<uint32_t>(reserve));
}

}  // namespace

int32_t write(const Slot &s, uint64_t obj, uint64_t *given_back, int64_t ts) noexcept {
    QueueHeader &h = *s.hdr;
    s.lock();
    QueueNode *nodes = s.nodes();
    int32_t n = ld(h.node_num);
    int32_t next = ring_next(ld(h.wr), n);

    // A plain queue without no_block waits while the next node is unread and the writer's
    // lead leaves fewer than `reserve` nodes. Only a read (or no_block set meanwhile) ends
    // the wait early; the lead is tested again after every wake.
    if (ld(h.no_block) == 0 && ld(nodes[next].state) == NODE_WRITTEN) {
        Backoff backoff;
        for (;;) {
            if (room(n, ld(h.reserve)) >= writer_lead(ld(h.rd), ld(h.wr), n)) break;
            BRENN_TRACE(wait_begin, s, trace::kWriter);
            s.wait(backoff);
            BRENN_TRACE(wait_end, s, trace::kWriter);
            nodes = s.nodes();
            // The node stays the one chosen before the wait, unless a node-count change left
            // it outside the ring.
            n = ld(h.node_num);
            if (next >= n) next = ring_next(ld(h.wr), n);
            if (ld(h.no_block) != 0 || ld(nodes[next].state) != NODE_WRITTEN) break;
        }
    }

    st(h.wr, next);

    // A dynamic write slides the window: the node at the old tail leaves it and its handle
    // goes back to the writer (the node is emptied only when someone takes the handle; a
    // writer without a give-back pointer declines it, and the node keeps it until it is
    // written over). A plain write hands back the handle it is about to overwrite.
    const int32_t tail = ld(h.tail);
    const bool dynamic = ld(h.dynamic) != 0;
    int32_t new_tail = -1;
    if (dynamic) {
        new_tail = ring_next(tail, n);
        if (given_back != nullptr) {
            *given_back = ld(nodes[tail].obj);
            empty_node(nodes[tail]);
        }
    } else if (given_back != nullptr) {
        *given_back = ld(nodes[next].obj);
    }

    // Sessions sitting on the node that leaves the window move with the tail. Every slot that
    // may be in use is looked at, whatever max_sessions says: all 128 unless the binding knows
    // which ones creation has used. This pass is most of a write's time under the lock, so it
    // reads positions only, which rarely match, with one compare and branch per slot (a pair
    // the CPU predicts and, on x86, fuses); in_use is read only on a match, and with no tail
    // (-1) no position can match.
    const int32_t scan_end = s.sessions_seen != nullptr
                                 ? s.sessions_seen->load(std::memory_order_relaxed)
                                 : kMaxSessions;
    QueueSession *ss = h.sessions;
    if (tail != -1) {
#pragma GCC unroll 16
        for (int32_t j = 0; j < scan_end; ++j) {
            if (ld(ss[j].pk) == tail && ld(ss[j].in_use) != 0) st(ss[j].pk, new_tail);
        }
    }

    QueueNode &node = nodes[next];
    st(node.state, NODE_WRITTEN);
    st(node.obj, obj);
    const uint64_t seq = ld(h.write_seq);
    st(node.seq, static_cast<int64_t>(seq));
    st(h.write_seq, seq + 1);
    if (dynamic) {
        st(node.ts, ts);
        st(h.tail, new_tail);
    }
    BRENN_TRACE(write, s, obj, seq, given_back != nullptr ? *given_back : kNoHandle);

    return s.unlock_and_wake();
}

int32_t read(const Slot &s, uint64_t *obj) noexcept {
    QueueHeader &h = *s.hdr;
    s.lock();
    QueueNode *nodes = s.nodes();
    int32_t n = ld(h.node_num);
    int32_t next = ring_next(ld(h.rd), n);
    Backoff backoff;
    while (ld(nodes[next].state) != NODE_WRITTEN) {
        BRENN_TRACE(wait_begin, s, trace::kReader);
        s.wait(backoff);
        BRENN_TRACE(wait_end, s, trace::kReader);
        nodes = s.nodes();
        n = ld(h.node_num);
        if (next >= n) next = ring_next(ld(h.rd), n);  // outside a ring that shrank meanwhile
    }
    st(h.rd, next);
    *obj = ld(nodes[next].obj);  // the handle stays in the node
    st(nodes[next].state, NODE_READ);
    BRENN_TRACE(read, s, *obj, ld(nodes[next].seq));
    return s.unlock_and_wake();
}

int32_t look(const Slot &s, int32_t back, uint64_t *obj) noexcept {
    QueueHeader &h = *s.hdr;
    s.lock();
    const int64_t n = ld(h.node_num);
    // (rd + node_num - back) mod node_num, taken as a true modulo so that any back count
    // lands inside the ring.
    const int64_t i = ((int64_t{ld(h.rd)} - back) % n + n) % n;
    *obj = ld(s.nodes()[i].obj);
    return s.unlock();
}

int32_t ready_to_read(const Slot &s) noexcept {
    QueueHeader &h = *s.hdr;
    s.lock();
    const int32_t next = ring_next(ld(h.rd), ld(h.node_num));
    const int32_t ready = ld(s.nodes()[next].state) == NODE_WRITTEN ? 1 : 0;
    s.unlock();
    return ready;
}

}  // namespace brenn::engine
