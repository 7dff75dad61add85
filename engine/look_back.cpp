// Look-back: one session steps from the newest node towards older ones while the queue is
// frozen. begin takes the queue's lock and end releases it, across calls.
#include "engine/engine.h"
#include "engine/trace.h"

namespace brenn::engine {

int32_t begin_look_back(const Slot &s, int32_t sid, int32_t *node_num,
                        int32_t *quarter_num) noexcept {
    QueueHeader &h = *s.hdr;
    QueueSession &ss = h.sessions[sid];
    // Marked before the lock is taken, so the data-available test reports the look-back
    // while begin still waits for the lock.
    st(ss.looking_back, 1);
    s.lock();
    const int32_t wr = ld(h.wr);
    st(ss.pk, wr);
    st(ss.cur_seq, wr >= 0 ? ld(s.nodes()[wr].seq) : int64_t{-1});
    *node_num = ld(h.node_num);
    *quarter_num = ld(h.quarter_num);
    BRENN_TRACE(look_back_begin, s, sid);
    return 0;
}

int32_t look_back(const Slot &s, int32_t sid, uint64_t *obj) noexcept {
    QueueHeader &h = *s.hdr;
    QueueSession &ss = h.sessions[sid];
    const int32_t n = ld(h.node_num);
    const int32_t pk = ld(ss.pk);
    if (pk < 0 || pk >= n) {
        *obj = kNoHandle;
        return -1;
    }
    // No sequence numbers are compared: the step stops only at an empty node or at tail.
    const int32_t i = ring_prev(pk, n);
    const QueueNode &node = s.nodes()[i];
    if (ld(node.state) == NODE_EMPTY) {
        *obj = kNoHandle;
        return 1;
    }
    *obj = ld(node.obj);  // stays in the node, whatever sharable says
    st(ss.pk, i);
    st(ss.cur_seq, ld(node.seq));
    return i == ld(h.tail) ? 1 : 0;
}

int32_t end_look_back(const Slot &s, int32_t sid) noexcept {
    BRENN_TRACE(look_back_end, s, sid);
    s.unlock();
    st(s.hdr->sessions[sid].looking_back, 0);
    return 0;
}

}  // namespace brenn::engine
