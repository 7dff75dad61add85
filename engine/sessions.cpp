// Peek sessions: extra consumers that follow the ring at their own pace.
#include <algorithm>

#include "engine/engine.h"
#include "engine/trace.h"
#include "support/olk.h"

namespace brenn::engine {

namespace {

// A session sits on the node it took last. In a dynamic queue that holds data, a session
// without a position scans the window from tail for the first node newer than its last one,
// and a session that fell out of the window jumps to the newest node. Returns -1 when the
// scan finds nothing.
int32_t choose_node(const QueueHeader &h, const QueueNode *nodes, const QueueSession &ss,
                    int32_t n) noexcept {
    int32_t pk = ld(ss.pk);
    if (pk < -1 || pk >= n) pk = -1;  // never index outside the ring, whatever the record says
    const int32_t next = ring_next(pk, n);
    const int32_t wr = ld(h.wr);
    if (ld(h.dynamic) == 0 || wr < 0) return next;

    const int32_t tail = ld(h.tail);
    if (pk < 0) {
        const int64_t cur = ld(ss.cur_seq);
        int32_t j = tail;
        for (int32_t tried = 0; tried < n; ++tried) {
            if (ld(nodes[j].state) != NODE_EMPTY && ld(nodes[j].seq) > cur) return j;
            j = ring_next(j, n);
        }
        return -1;
    }
    // With wr == tail every position counts as inside the window.
    const bool inside = wr > tail ? (tail <= pk && pk <= wr) : !(wr < pk && pk < tail);
    return inside ? next : wr;
}

void raise_to(std::atomic<int32_t> &bound, int32_t value) noexcept {
    int32_t seen = bound.load(std::memory_order_relaxed);
    while (seen < value && !bound.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

}  // namespace

int32_t create_session(const Slot &s) noexcept {
    QueueHeader &h = *s.hdr;
    const int32_t limit = std::min(ld(h.max_sessions), kMaxSessions);
    if (limit < 1) return -1;
    for (int32_t i = 0; i < limit; ++i) {
        QueueSession &ss = h.sessions[i];
        if (ld(ss.in_use) != 0) continue;
        st(ss.live_count, 0);
        // A new session starts on the newest node: its first peek takes the next one written.
        const int32_t wr = ld(h.wr);
        int64_t cur = -1;
        if (wr >= 0 && wr < ld(h.node_num)) {
            const QueueNode &node = s.nodes()[wr];
            if (ld(node.state) != NODE_EMPTY) cur = ld(node.seq);
        }
        st(ss.pk, wr);
        st(ss.cur_seq, cur);
        // Before in_use: a write that comes after this creation in any order the program
        // establishes also finds the slot below sessions_seen.
        if (s.sessions_seen != nullptr) raise_to(*s.sessions_seen, i + 1);
        // In use last, with release: whoever sees the session in use (a status copy in another
        // process, say) also sees where it starts.
        st_release(ss.in_use, 1);
        return i;
    }
    return -1;
}

int32_t destroy_session(const Slot &s, int32_t sid) noexcept {
    // pk, cur_seq, live_count and looking_back stay until the slot is created again.
    if (sid >= ld(s.hdr->max_sessions)) return -1;
    st(s.hdr->sessions[sid].in_use, 0);
    return 0;
}

void seek(const Slot &s, int32_t sid) noexcept {
    QueueHeader &h = *s.hdr;
    QueueSession &ss = h.sessions[sid];
    const int32_t wr = ld(h.wr);
    const bool valid = wr >= 0 && wr < ld(h.node_num);
    st(ss.pk, valid ? wr : -1);
    st(ss.cur_seq, valid ? ld(s.nodes()[wr].seq) : int64_t{-1});
}

int32_t reset_peek(const Slot &s, int32_t sid) noexcept {
    s.lock();
    st(s.hdr->sessions[sid].pk, -1);
    s.unlock();
    return 0;
}

int32_t peek(const Slot &s, int32_t sid, uint64_t *obj, int32_t *gap) noexcept {
    QueueHeader &h = *s.hdr;
    QueueSession &ss = h.sessions[sid];
    // On a sharable queue only sessions in use may peek; on a consuming queue any id may.
    if (ld(h.sharable) != 0 && ld(ss.in_use) == 0) {
        if (obj != nullptr) *obj = kNoHandle;
        return 0;
    }

    s.lock();
    QueueNode *nodes = s.nodes();
    int32_t n = ld(h.node_num);
    int32_t i = choose_node(h, nodes, ss, n);
    Backoff backoff;
    for (;;) {
        if (i < 0) {
            log_Debug(
                "peek queue [%d] session=%d can not find data_available seek_cnt=[%d], NEVER "
                "EVER OCCUR",
                s.q, sid, n);
            if (obj != nullptr) *obj = kNoHandle;
            s.unlock();
            return 0;
        }
        // Every other way out takes a node and writes through both pointers; without them the
        // peek is refused here, before it waits, and the session stays as it was.
        if (obj == nullptr || gap == nullptr) {
            s.unlock();
            if (obj != nullptr) *obj = kNoHandle;
            return 0;
        }
        const QueueNode &node = nodes[i];
        if (ld(node.state) != NODE_EMPTY && ld(ss.cur_seq) < ld(node.seq)) break;
        log_Debug("peek queue [%d] session =%d wait for %d(%d)", s.q, sid, i, n);
        BRENN_TRACE(wait_begin, s, trace::kPeek);
        s.wait(backoff);
        BRENN_TRACE(wait_end, s, trace::kPeek);
        // Only writes and reads wake us; the node stays the one chosen before the wait
        // unless the ring was replaced meanwhile.
        nodes = s.nodes();
        if (ld(h.node_num) != n) {
            n = ld(h.node_num);
            i = choose_node(h, nodes, ss, n);
        }
    }

    QueueNode &node = nodes[i];
    const int64_t old = ld(ss.cur_seq);
    const int64_t seq = ld(node.seq);
    st(ss.pk, i);
    // A session that has taken nothing numbered 1 or more yet never reports a gap.
    *gap = (old < 1 || old + 1 == seq) ? 0 : 1;
    *obj = ld(node.obj);
    // The flag is read again here: a change made while the peek waited applies to its take.
    if (ld(h.sharable) == 0) st(node.obj, kNoHandle);
    st(ss.cur_seq, seq);
    st(ss.live_count, ld(ss.live_count) + 1);
    BRENN_TRACE(peek, s, sid, *obj, seq, *gap);
    s.unlock();
    return 0;
}

int32_t data_available(const Slot &s, int32_t sid, int32_t *count) noexcept {
    const QueueHeader &h = *s.hdr;
    const QueueSession &ss = h.sessions[sid];
    *count = 0;
    if (ld(h.sharable) != 0 && ld(ss.in_use) == 0) {
        *count = -3;
        return 0;
    }
    if (ld(ss.looking_back) != 0) {
        *count = -4;
        return 0;
    }
    const int32_t wr = ld(h.wr);
    if (wr == -1) return 0;
    const int32_t pk = ld(ss.pk);
    if (pk == -1) {
        *count = 1;
        return 1;
    }
    // Only the plain next index is looked at: neither the window test nor the scan of peek.
    const int32_t n = ld(h.node_num);
    if (pk < -1 || pk >= n || wr >= n) return 0;
    const int32_t i = ring_next(pk, n);
    const QueueNode &node = s.nodes()[i];
    if (ld(node.state) == NODE_EMPTY || ld(node.seq) <= ld(ss.cur_seq)) return 0;
    *count = (wr - i + n + 1) % n;
    return 1;
}

int64_t cur_seq(const Slot &s, int32_t sid) noexcept {
    return ld(s.hdr->sessions[sid].cur_seq);
}

uint64_t live_count(const Slot &s, int32_t sid) noexcept {
    return ld(s.hdr->sessions[sid].live_count);
}

int32_t set_sharable(const Slot &s, int32_t flag) noexcept {
    st(s.hdr->sharable, flag);
    return 0;
}

int32_t is_sharable(const Slot &s) noexcept {
    return ld(s.hdr->sharable);
}

}  // namespace brenn::engine
