// Dynamic window upkeep (resize, clean) and the queue statistics (size by time, status).
#include <cstdlib>

#include "engine/engine.h"
#include "engine/trace.h"

namespace brenn::engine {

namespace {

// Empties `count` nodes from `from` going forward, handing their handles out oldest first.
// Returns the index after the last node emptied.
int32_t take_out(QueueNode *nodes, int32_t n, int32_t from, int32_t count,
                 uint64_t *handles) noexcept {
    int32_t i = from;
    for (int32_t k = 0; k < count; ++k) {
        handles[k] = ld(nodes[i].obj);
        empty_node(nodes[i]);
        i = ring_next(i, n);
    }
    return i;
}

int64_t wrapped_difference(int64_t a, int64_t b) noexcept {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

uint64_t *handle_array(int32_t count) noexcept {
    return static_cast<uint64_t *>(std::malloc(sizeof(uint64_t) * static_cast<size_t>(count)));
}

}  // namespace

uint64_t *resize(const Slot &s, int32_t new_window, int32_t *out_count) noexcept {
    QueueHeader &h = *s.hdr;
    if (ld(h.node_num) <= new_window) return nullptr;
    s.lock();
    const int32_t n = ld(h.node_num);
    if (ld(h.dynamic) == 0 || n <= new_window) {
        s.unlock();
        return nullptr;
    }
    // Every way out below stores a count: without out_count the call is refused here, with
    // nothing changed.
    if (out_count == nullptr) {
        s.unlock();
        return nullptr;
    }
    const int32_t tail = ld(h.tail);
    const int32_t window = window_size(ld(h.wr), tail, n);
    BRENN_TRACE(resize, s, window, new_window);

    if (new_window < window) {
        // The oldest nodes leave the window; the count is stored before the array is
        // allocated so that a caller learns it even when memory is short.
        const int32_t drop = window - new_window;
        *out_count = drop;
        uint64_t *handles = handle_array(drop);
        if (handles != nullptr) st(h.tail, take_out(s.nodes(), n, tail, drop, handles));
        s.unlock();
        return handles;
    }
    // The window grows backwards from wr; the nodes it gains keep whatever they hold.
    *out_count = 0;
    st(h.tail, (tail + n - new_window + window) % n);
    s.unlock();
    return nullptr;
}

uint64_t *clean(const Slot &s, int32_t *out_count) noexcept {
    QueueHeader &h = *s.hdr;
    *out_count = 0;
    s.lock();
    const int32_t n = ld(h.node_num);
    const int32_t tail = ld(h.tail);
    const int32_t window = ld(h.dynamic) != 0 ? window_size(ld(h.wr), tail, n) : 0;
    BRENN_TRACE(clean, s, window);
    if (window <= 0) {
        s.unlock();
        return nullptr;
    }
    // tail and wr stay: the window keeps its size and now holds empty nodes only.
    *out_count = window;
    uint64_t *handles = handle_array(window);
    if (handles != nullptr) take_out(s.nodes(), n, tail, window, handles);
    s.unlock();
    return handles;
}

int32_t size_by_time(const Slot &s, int32_t duration) noexcept {
    QueueHeader &h = *s.hdr;
    if (duration < 1) return 0;
    s.lock();
    const int32_t n = ld(h.node_num);
    const int32_t w = ld(h.wr);
    if (w < 0) {
        s.unlock();
        return 0;
    }
    const QueueNode *nodes = s.nodes();
    // The node at wr takes no part: the run starts at the node written before it.
    int32_t i = ring_prev(w, n);
    const int64_t t_start = ld(nodes[i].ts);
    if (i == w || t_start == 0) {
        s.unlock();
        return 0;
    }
    // Walk back while the timestamps keep falling by at most 2000 units a step. Differences,
    // the product and the quotient are those of signed two's-complement arithmetic that wraps,
    // as the platform computes them (every caller that keeps duration x (node_num - 1) below
    // 2^31 and its timestamps within 2^63 of each other sees plain arithmetic).
    int32_t count = 0;
    int64_t prev = t_start;
    for (;;) {
        ++count;
        i = ring_prev(i, n);
        if (i == w) break;
        const int64_t t = ld(nodes[i].ts);
        if (t == 0 || t > prev || t > t_start || wrapped_difference(prev, t) > 2000) break;
        prev = t;
    }
    s.unlock();

    if (prev >= t_start) return 0;  // one node alone, or equal timestamps only
    const auto product =
        static_cast<int32_t>(static_cast<uint32_t>(count) * static_cast<uint32_t>(duration));
    const auto estimate =
        static_cast<int32_t>(int64_t{product} / wrapped_difference(t_start, prev));
    const int32_t cap = ld(h.node_num) - 1;
    return estimate < cap ? estimate : cap;
}

int32_t queue_status(const Slot &s, QueueStatus *status) noexcept {
    QueueHeader &h = *s.hdr;
    s.lock();
    status->rd = ld(h.rd);
    status->wr = ld(h.wr);
    status->tail = ld(h.tail);
    status->max_sessions = ld(h.max_sessions);
    // All 128 records, in use or not. Field by field: seek and create write them without
    // the lock.
    for (int32_t k = 0; k < kMaxSessions; ++k) {
        const QueueSession &from = h.sessions[k];
        QueueSession &to = status->sessions[k];
        to.in_use = ld_acquire(from.in_use);  // pairs with create_session's release
        to.pk = ld(from.pk);
        to.reserved = ld(from.reserved);
        to.cur_seq = ld(from.cur_seq);
        to.looking_back = ld(from.looking_back);
        to.live_count = ld(from.live_count);
    }
    return s.unlock();
}

}  // namespace brenn::engine
