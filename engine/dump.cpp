// Diagnostic dumps. Neither takes the queue's lock: they read the records as they stand, so
// a dump taken under traffic can mix states, and the node count is read again before each
// node line.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "support/olk.h"

namespace brenn::engine {

namespace {

constexpr int kLineMax = 1024;

// Appends whole lines to the caller's buffer: a line of L characters goes in only when L is
// less than the room left, with its terminating zero (which the next line overwrites). A line
// that does not fit is dropped and the next, shorter one may still go in.
class BufferText {
  public:
    BufferText(char *buf, int32_t len) : end_(buf), room_(len) {}

    void line(const char *fmt, ...) noexcept __attribute__((format(printf, 2, 3))) {
        char text[kLineMax];
        va_list args;
        va_start(args, fmt);
        int length = std::vsnprintf(text, sizeof text, fmt, args);
        va_end(args);
        if (length < 0) return;
        if (length > kLineMax - 2) length = kLineMax - 2;
        if (length >= room_) return;
        std::memcpy(end_, text, static_cast<size_t>(length));
        end_[length] = '\0';
        end_ += length;
        room_ -= length;
    }

  private:
    char *end_;
    int32_t room_;
};

// Session lines of every session in use.
template <typename Out>
void session_lines(const QueueHeader &h, Out &out) noexcept {
    for (int32_t i = 0; i < kMaxSessions; ++i) {
        if (ld(h.sessions[i].in_use) != 0) out.line("pk[%d]=%d\n", i, ld(h.sessions[i].pk));
    }
}

template <typename Out>
void node_line(Out &out, char marker, int32_t i, const QueueNode &node) noexcept {
    char when[32];
    make_time_string2(when, ld(node.ts));
    when[sizeof when - 1] = '\0';
    out.line("%c %3d-%016" PRIX64 "(%d)[ts=%s]\n", marker, i, ld(node.obj),
             static_cast<int32_t>(ld(node.seq)), when);
}

struct StdoutText {
    void line(const char *fmt, ...) noexcept __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, fmt);
        std::vprintf(fmt, args);
        va_end(args);
    }
};

// The node count as the dump may use it: never beyond the storage the slot has.
int32_t usable_count(const Slot &s) noexcept {
    const int32_t n = ld(s.hdr->node_num);
    return n < s.binding->max_nodes ? n : s.binding->max_nodes;
}

}  // namespace

void dump_into(const Slot &s, char *buf, int32_t len) noexcept {
    const QueueHeader &h = *s.hdr;
    BufferText out(buf, len);
    if (ld(h.allocated) == 0) {
        out.line("queue %d not allocated!\n", s.q);
        return;
    }
    session_lines(h, out);
    const int32_t n = usable_count(s);
    const int32_t wr = ld(h.wr);
    const int32_t tail = ld(h.tail);
    out.line("total node num=%d,wr=%d, pk[0]=%d,pk[1]=%d,pk[2]=%d\n", n, wr, ld(h.sessions[0].pk),
             ld(h.sessions[1].pk), ld(h.sessions[2].pk));
    out.line("\tdynamic=%s, tail=%d, size=%d\n", ld(h.dynamic) != 0 ? "YES" : "NO", tail,
             n > 0 ? (wr + n - tail + 1) % n : 0);
    for (int32_t i = 0; i < usable_count(s); ++i) {
        const QueueNode &node = s.nodes()[i];
        if (ld(node.obj) == kNoHandle) continue;
        const char marker = i == tail ? '$' : (i == wr ? '^' : ' ');
        node_line(out, marker, i, node);
    }
}

void dump_to_stdout(const Slot &s) noexcept {
    const QueueHeader &h = *s.hdr;
    StdoutText out;
    if (ld(h.allocated) == 0) {
        out.line("queue %d not allocated!\n", s.q);
        std::fflush(stdout);
        return;
    }
    session_lines(h, out);
    const int32_t n = usable_count(s);
    const int32_t wr = ld(h.wr);
    const int32_t tail = ld(h.tail);
    out.line("total node num=%d,wr=%d\n", n, wr);
    // This size counts the nodes after tail up to wr.
    out.line("\tdynamic=%s, tail=%d, size=%d\n", ld(h.dynamic) != 0 ? "YES" : "NO", tail,
             n > 0 ? (wr + n - tail) % n : 0);
    for (int32_t i = 0; i < usable_count(s); ++i) {
        const bool after_tail = wr > tail ? (tail < i && i <= wr) : (i > tail || i <= wr);
        node_line(out, after_tail ? '*' : ' ', i, s.nodes()[i]);
    }
    std::fflush(stdout);
}

}  // namespace brenn::engine
