// What allocation does to a slot's records in both tables.
#include <algorithm>

#include "engine/engine.h"

namespace brenn::engine {

void init_queue(QueueHeader &h, QueueNode *nodes, int32_t node_num, int32_t max_sessions,
                int32_t reserve, int32_t no_block, int32_t sharable, bool clear_ts) noexcept {
    st(h.reserve, reserve);
    st(h.no_block, no_block);
    st(h.max_sessions, std::min(max_sessions, kMaxSessions));
    st(h.sharable, sharable != 0 ? 1 : 0);
    st(h.rd, -1);
    st(h.wr, -1);
    st(h.dynamic, 0);
    // tail and write_seq carry over from the slot's previous queue. A plain queue only compares
    // and reports tail, never uses it as an index, so a tail that a larger earlier ring left
    // behind (naming no node of this one) stays as it is.
    for (int32_t i = 0; i < node_num; ++i) {
        empty_node(nodes[i]);
        if (clear_ts) st(nodes[i].ts, 0);
    }
    for (QueueSession &ss : h.sessions) {
        st(ss.pk, -1);
        st(ss.reserved, 0);
        st(ss.cur_seq, -1);
        st(ss.in_use, 0);
        st(ss.looking_back, 0);
        st(ss.live_count, 0);
    }
}

void make_dynamic(QueueHeader &h, int32_t k, int32_t w) noexcept {
    const int32_t kept = std::min(w, k);
    st(h.tail, kept >= 1 ? (k + 1) - kept : k);
    st(h.dynamic, 1);
}

}  // namespace brenn::engine
