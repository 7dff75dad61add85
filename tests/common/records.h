// A queue's records read without its lock (programs linked with the engine's objects), and the
// invariants the public header promises for every allocated queue.
#pragma once

#include <cinttypes>  // for the programs that print records
#include <string>

#include "common/harness.h"
#include "engine/api.h"
#include "engine/records.h"
#include "local/local_table.h"
#include "shared/shared_table.h"

namespace brenn_test {

using brenn::engine::NODE_EMPTY;
using brenn::engine::NODE_READ;
using brenn::engine::NODE_WRITTEN;
using brenn::engine::QueueHeader;
using brenn::engine::QueueNode;

struct Records {
    QueueHeader *hdr = nullptr;
    QueueNode *nodes = nullptr;  // the current ring; null for a free local slot
};

// False when the id is outside the table or the shared segment is not attached.
inline bool records_of(bool shared, int32_t q, Records *r) {
    brenn::engine::Slot s;
    const bool in = brenn::api::reach(shared ? brenn::shared::family : brenn::local::family, q, &s);
    if (in) *r = Records{s.hdr, s.nodes()};
    return in;
}

// "" while the invariants hold, else what is wrong. Positions: rd, wr, a dynamic queue's tail
// and the pk of every session in use are -1 or inside the ring (a plain queue's tail is what
// its slot held). Nodes: empty exactly when seq is -1, and then without a handle; written
// nodes carry numbers below write_seq, falling from wr backwards (the ring holds its nodes in
// write order), and nothing is held while wr is -1.
inline std::string invariant_breach(const Records &r) {
    const QueueHeader &h = *r.hdr;
    const int32_t n = h.node_num;
    if (h.allocated == 0) return "the slot holds no queue";
    if (n < 1 || r.nodes == nullptr) return "no ring";
    auto outside = [n](int32_t x) { return x < -1 || x >= n; };
    if (outside(h.rd) || outside(h.wr) || (h.dynamic != 0 && (h.tail < 0 || h.tail >= n)))
        return "rd, wr, tail, ring size " + csv(h.rd, h.wr, h.tail, n);
    for (int32_t s = 0; s < brenn::engine::kMaxSessions; ++s)
        if (h.sessions[s].in_use != 0 && outside(h.sessions[s].pk))
            return "session " + std::to_string(s) + " at " + std::to_string(h.sessions[s].pk);
    int64_t above = INT64_MAX;
    for (int32_t k = 0, i = h.wr < 0 ? 0 : h.wr; k < n; ++k, i = (i - 1 + n) % n) {
        const QueueNode &node = r.nodes[i];
        const bool empty = node.state == NODE_EMPTY;
        const bool known = empty || node.state == NODE_WRITTEN || node.state == NODE_READ;
        const bool order = empty || (h.wr >= 0 && node.seq >= 0 && node.seq < above &&
                                     static_cast<uint64_t>(node.seq) < h.write_seq);
        if (!known || empty != (node.seq == -1) || (empty && node.obj != UINT64_MAX) || !order)
            return "node " + std::to_string(i) + ": state, seq, obj, wr, write_seq " +
                   csv(node.state, node.seq, node.obj, h.wr, h.write_seq);
        if (!empty) above = node.seq;
    }
    return "";
}

}  // namespace brenn_test
