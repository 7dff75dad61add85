// Changing a running queue's node count: the newest nodes that hold something are packed at
// the start of the new ring, handles that no longer fit go back through olk_return, and every
// position (sessions, main reader, window) keeps its place relative to the writer.
#include <cstdlib>

#include "engine/engine.h"
#include "engine/trace.h"
#include "support/olk.h"

namespace brenn::engine {

namespace {

// A session holds a shrink back while its node lies among those the shrink would drop.
bool shrink_held_back(const QueueHeader &h, int32_t m) noexcept {
    const int32_t wr = ld(h.wr);
    const int32_t n = ld(h.node_num);
    for (const QueueSession &ss : h.sessions) {
        const int32_t pk = ld(ss.pk);
        if (ld(ss.in_use) == 0 || pk == -1 || pk == wr) continue;
        if ((n + wr - pk) % n >= m) return true;
    }
    return false;
}

void copy_node(QueueNode &to, const QueueNode &from) noexcept {
    st(to.seq, ld(from.seq));
    st(to.state, ld(from.state));
    st(to.obj, ld(from.obj));
    st(to.ts, ld(from.ts));
}

// Where an old position lands: the new index of the last kept node at or before it in the
// walk, -1 when it lies outside the walk or before every kept node. kept_before[k] is the
// number of kept nodes among the first k + 1 positions of the walk.
int32_t map_position(int32_t pos, int32_t first, int32_t scanned, int32_t old_n,
                     const int32_t *kept_upto) noexcept {
    if (pos < 0 || pos >= old_n) return -1;
    const int32_t along = ring_distance(first, pos, old_n);
    if (along >= scanned) return -1;
    return kept_upto[along] - 1;
}

}  // namespace

int32_t change_node_count(const Slot &s, int32_t m) noexcept {
    QueueHeader &h = *s.hdr;
    s.lock();
    if (m == ld(h.node_num)) {
        s.unlock();
        return 0;
    }
    // Before a shrink, wait until no session would lose its node. Only writes and reads
    // wake us: a session that catches up by peeking lets the change go on at the next one.
    if (m < ld(h.node_num)) {
        Backoff backoff;
        while (shrink_held_back(h, m)) {
            BRENN_TRACE(wait_begin, s, trace::kNodeCount);
            s.wait(backoff);
            BRENN_TRACE(wait_end, s, trace::kNodeCount);
            if (m > ld(h.node_num)) break;  // another change left a smaller ring: grow it
        }
    }

    const int32_t n = ld(h.node_num);
    const int32_t w = ld(h.wr);
    const bool shrink = m < n;
    const int32_t first = shrink ? (n + w - m + 1) % n : ring_next(w, n);
    const int32_t scanned = shrink ? m : n;

    // Everything that can fail is obtained before the queue is touched.
    auto *kept = static_cast<QueueNode *>(
        std::calloc(static_cast<size_t>(scanned), sizeof(QueueNode) + sizeof(int32_t)));
    QueueNode *ring = kept != nullptr ? s.binding->obtain_ring(s, m) : nullptr;
    if (ring == nullptr) {
        std::free(kept);
        s.unlock();
        return -1;
    }
    auto *kept_upto = reinterpret_cast<int32_t *>(kept + scanned);

    QueueNode *old = s.nodes();
    int32_t k = 0;
    int32_t i = first;
    for (int32_t step = 0; step < scanned; ++step) {
        if (ld(old[i].state) != NODE_EMPTY) copy_node(kept[k++], old[i]);
        kept_upto[step] = k;
        i = ring_next(i, n);
    }
    // The positions that no longer fit, oldest first, give their buffers back.
    if (shrink) {
        for (int32_t step = 0; step < n - m; ++step) {
            if (ld(old[i].state) != NODE_EMPTY) olk_return(ld(old[i].obj));
            i = ring_next(i, n);
        }
    }

    const int32_t old_rd = ld(h.rd);
    const int32_t old_tail = ld(h.tail);
    const int32_t window = window_size(w, old_tail, n);

    s.binding->adopt_ring(s, ring, m);
    for (int32_t j = 0; j < k; ++j)
        copy_node(ring[j], kept[j]);
    for (int32_t j = k; j < m; ++j)
        empty_node(ring[j]);

    // Every session keeps its distance behind the writer, counted in the old ring. One whose
    // distance the kept nodes cannot give (empty nodes were squeezed out) loses its position.
    for (int32_t sid = 0; sid < kMaxSessions; ++sid) {
        QueueSession &ss = h.sessions[sid];
        const int32_t pk = ld(ss.pk);
        if (ld(ss.in_use) == 0) {
            // A free slot keeps its record until it is created again, but never a position
            // outside the ring.
            if (pk >= m) st(ss.pk, -1);
            continue;
        }
        if (pk == -1) continue;
        const int32_t offset = (w + n - pk) % n;
        int32_t moved = k - 1 - offset;
        log_Console("peek %d map to %d(offset=%d)", pk, moved, offset);
        if (moved < 0 || pk < 0 || pk >= n) moved = -1;
        st(ss.pk, moved);
        const uint64_t obj = moved >= 0 ? ld(ring[moved].obj) : kNoHandle;
        log_Console("%d new peek %d obj=%X", sid, moved, static_cast<unsigned>(obj));
    }

    // The main reader stays behind the same node, so it neither reads a kept node twice nor
    // skips one it had not read. A dynamic window keeps its size where the new ring allows;
    // a plain queue's tail only has to stay inside the ring.
    st(h.rd, map_position(old_rd, first, scanned, n, kept_upto));
    if (ld(h.dynamic) != 0) {
        const int32_t kept_window = window < m - 1 ? window : m - 1;
        st(h.tail, (k - 1 + 1 - kept_window + m) % m);
    } else if (old_tail < 0 || old_tail >= m) {
        st(h.tail, 0);
    }
    st(h.wr, k - 1);
    st(h.node_num, m);
    st(h.quarter_num, m / 4);
    BRENN_TRACE(node_count, s, n, m);
    log_Console("end resize..");

    std::free(kept);
    s.unlock();
    return 0;
}

}  // namespace brenn::engine
