// The random-operation engine of the conservation campaign, the fuzz targets and the kill
// campaign's victim. It predicts no result; after every step it checks the header's invariants,
// that a refused call or one on another queue changed nothing, and that each handle is in exactly
// one place: it enters the nodes only by its write and leaves them only the way the call says.
// One thread: a call that would wait is made only when the records show its wait ends at once.
#pragma once

#include <algorithm>
#include <cinttypes>
#include <string>
#include <vector>

#include "common/family.h"
#include "common/records.h"
#include "support/olk_standin.h"

namespace brenn_test {

// One operation, as data to replay and shrink: a Kind, a queue of the engine (from 250 on, an
// id that must be refused), two arguments.
struct Op {
    uint8_t kind, queue;
    int16_t a, b;
};
// clang-format off
enum Kind : uint8_t { kWrite, kWriteDeclining, kRead, kLook, kCreate, kDestroy, kSeek, kReset,
    kPeek, kAvailable, kSharable, kLookBack, kResize, kClean, kSizeByTime, kStatus, kNodeCount,
    kRealloc, kDump, kKinds };
// clang-format on

template <class F>
class RandomOps {
  public:
    static constexpr int kQueues = 3;

    std::string open() {
        olk_set_return_handler(
            [](uint64_t h, void *e) { ((RandomOps *)e)->returned_.push_back(h); }, this);
        for (int i = 0; i < kQueues; ++i)
            if ((queues_[i] = alloc(Op{kRealloc, 0, int16_t(i * 7), int16_t(i)})) < 0)
                return "allocation refused";
        return "";
    }
    std::string close() {
        std::string why;
        for (int i = 0; i < kQueues; ++i) {
            if (why.empty()) why = step(Op{kClean, uint8_t(i), 0, 0});
            F::free_queue(queues_[i]);
        }
        olk_set_return_handler(nullptr, nullptr);
        return why;
    }
    // Unchecked steps only make their calls (a victim killed at random points spends its time
    // inside them); the records still decide which calls may be made.
    void check(bool on) { checking_ = on; }

    // One operation; "" while everything holds, else what broke.
    std::string step(const Op &op) {
        const bool odd = op.queue >= 250;
        const int mine = op.queue % kQueues, kind = op.kind % kKinds;
        const int32_t q = odd ? odd_id(op.queue) : queues_[mine];
        Snapshot before[kQueues];
        for (int i = 0; checking_ && i < kQueues; ++i)
            before[i] = snapshot(queues_[i]);
        Records r{};
        if (!odd) records_of(F::shared, q, &r);
        returned_.clear(), out_.clear(), written_ = kNone;
        const std::string why = call(op, kind, q, r);
        if (!checking_ || !why.empty()) return why;
        if (odd && !returned_.empty()) return "a refused call gave a handle";
        for (int i = 0; i < kQueues; ++i) {
            const Snapshot after = snapshot(queues_[i]);
            const bool other = odd || i != mine;
            if (other && after.bytes != before[i].bytes) return "a call changed another queue";
            std::string w = other || kind == kRealloc ? "" : balance(before[i].objs, after.objs);
            if (w.empty() && after.r.hdr != nullptr && after.r.hdr->allocated != 0)
                w = invariant_breach(after.r);
            if (!w.empty()) return w;
        }
        return "";
    }

    // An operation drawn from `pick(n)`, which answers 0 .. n - 1.
    template <class Pick>
    static Op draw(Pick &&pick) {
        Op op{uint8_t(pick(kKinds)), uint8_t(pick(16) == 0 ? 250 + pick(6) : pick(kQueues)),
              int16_t(pick(40) - 4), int16_t(pick(40) - 4)};
        if (pick(8) == 0) op.a = int16_t(pick(65536) - 32768);  // now and then any value
        return op;
    }

  private:
    // A queue's records: the handle of every node, and every byte of control record and ring.
    struct Snapshot {
        Records r;
        std::vector<uint64_t> objs;
        std::string bytes;
    };
    static Snapshot snapshot(int32_t q) {
        Snapshot s;
        if (!records_of(F::shared, q, &s.r) || s.r.nodes == nullptr) return s;
        for (int32_t i = 0; i < s.r.hdr->node_num; ++i)
            s.objs.push_back(s.r.nodes[i].obj);
        s.bytes.assign((const char *)s.r.hdr, sizeof(QueueHeader))
            .append((const char *)s.r.nodes, sizeof(QueueNode) * s.objs.size());
        return s;
    }

    int32_t odd_id(uint8_t which) const {
        // A slot this engine freed, as long as none of its queues took it again.
        const bool reused = std::count(queues_, queues_ + kQueues, freed_) != 0;
        const int32_t ids[] = {-1, F::queue_count, INT32_MIN, INT32_MAX, reused ? -1 : freed_, -7};
        return ids[(which - 250) % 6];
    }
    static int32_t alloc(const Op &op) {
        const int32_t nodes = 2 + std::abs(op.a) % 12, sessions = 1 + std::abs(op.b) % 6;
        const int32_t no_block = op.a % 3 != 0 ? 1 : 0, sharable = op.b % 4 == 1 ? 0 : 1;
        return op.b % 2 == 0 ? F::dynamic_alloc(nodes, 1 + std::abs(op.b) % nodes, sessions, 0,
                                                no_block, sharable)
                             : F::alloc_queue(uint32_t(nodes * 32 + std::abs(op.b) % 32), sessions,
                                              std::abs(op.b) % 3, no_block, sharable);
    }

    // A peek whose wait ends at once: one the refusal turns away, one without a position on a
    // dynamic queue that holds data (it scans), or one whose next node is new to it and, on a
    // dynamic queue, whose newest node holds something (a session outside the window takes
    // the newest); a plain queue's session without a position looks at node 0.
    static bool peek_returns(const Records &r, int32_t q, int32_t s) {
        const QueueHeader &h = *r.hdr;
        const QueueSession &ss = h.sessions[s];
        int32_t c = 0;
        if ((h.sharable != 0 && ss.in_use == 0) || (h.dynamic != 0 && h.wr >= 0 && ss.pk == -1))
            return true;
        if (F::data_available(q, s, &c) != 1) return false;
        if (h.dynamic == 0 && ss.pk == -1)
            return r.nodes[0].state != NODE_EMPTY && r.nodes[0].seq > ss.cur_seq;
        return h.dynamic == 0 || r.nodes[h.wr].state != NODE_EMPTY;
    }
    // A shrink to m nodes waits while a session lags so far that its node would be dropped.
    static bool shrink_waits(const Records &r, int32_t m) {
        const QueueHeader &h = *r.hdr;
        return std::any_of(h.sessions, h.sessions + 128, [&](const QueueSession &ss) {
            return ss.in_use != 0 && ss.pk != -1 && ss.pk != h.wr &&
                   (h.node_num + h.wr - ss.pk) % h.node_num >= m;
        });
    }

    std::string call(const Op &op, int kind, int32_t q, const Records &r) {
        const int32_t s = std::abs(op.a) % 9 == 8 ? op.a : std::abs(op.a) % 8;
        const bool known = r.hdr != nullptr;
        uint64_t h = 0, *a = nullptr;
        int32_t c = 0, x = 0;
        QueueStatus st;
        switch (kind) {
            case kWrite:
            case kWriteDeclining:
                // A blocking queue's write may wait for the main reader.
                if (known && r.hdr->no_block == 0 &&
                    r.nodes[(r.hdr->wr + 1) % r.hdr->node_num].state == NODE_WRITTEN)
                    return "";
                F::write(q, next_handle_, kind == kWrite ? &h : nullptr, op.b * 100);
                if (known) written_ = next_handle_, out_.push_back(kind == kWrite ? h : kNone);
                return ++next_handle_, "";
            case kRead:
                return F::ready_to_read(q) != 1 ? "" : (F::read(q, &h), "");
            case kLook:
                return F::look(q, op.a, &h), "";
            case kCreate:
                return F::create_session(q), "";
            case kDestroy:
                return F::destroy_session(q, s), "";
            case kSeek:
                return F::seek(q, s), "";
            case kReset:
                return F::reset_peek(q, s), "";
            case kPeek:
                if (known && (s < 0 || s > 127 || !peek_returns(r, q, s))) return "";
                if (F::peek(q, s, &h, &x) != 0) return "a peek answered other than 0";
                if (known && r.hdr->sharable == 0) out_.push_back(h);
                return "";
            case kAvailable:
                return F::data_available(q, s, &c), F::cur_seq(q, s), F::live_count(q, s), "";
            case kSharable:
                return F::set_sharable(q, F::is_sharable(q) == 0 ? op.b : 0), "";
            case kLookBack:
                if (F::begin_look_back(q, s, &c, &x) != 0) return "";
                for (int i = 0; i < std::abs(op.b) % 6; ++i)
                    F::look_back(q, s, &h);
                return F::end_look_back(q, s), "";
            case kResize:
            case kClean:
                a = kind == kResize ? F::resize(q, op.b, &c) : F::clean(q, &c);
                out_.assign(a, a + (a != nullptr ? c : 0));
                return std::free(a), "";
            case kSizeByTime:
                return F::size_by_time(q, op.a * 97), "";
            case kStatus:
                return F::queue_status(q, &st), F::ready_to_read(q), F::node_num(q), "";
            case kNodeCount:
                c = 1 + std::abs(op.b) % 40;
                if (known && c < r.hdr->node_num && shrink_waits(r, c)) return "";
                // Now and then a size that gives no node, which is refused.
                F::change_queue_size(q, op.b < -2 ? uint32_t(-op.b) % 32 : uint32_t(c * 32));
                return out_ = returned_, "";
            case kRealloc:
                if (!known) return "";
                F::free_queue(q);
                freed_ = q;
                return (queues_[op.queue % kQueues] = alloc(op)) < 0 ? "allocation refused" : "";
            case kDump:
                // Checked steps read the text back; unchecked ones print (a victim's standard
                // output goes nowhere), which keeps their time inside the calls.
                return checking_ || !F::shared ? (void)F::dump(q, op.b * 8) : gsq_c_dump(q), "";
        }
        return "";
    }

    // The nodes' handles before and after the call, against where the call says handles went:
    // out of the nodes (out_), in by the write (written_), or covered by that write.
    std::string balance(std::vector<uint64_t> was, std::vector<uint64_t> now) const {
        const size_t at = size_t(std::find(now.begin(), now.end(), written_) - now.begin());
        const uint64_t covered = written_ != kNone && at < was.size() ? was[at] : kNone;
        for (auto *v : {&was, &now})
            std::erase(*v, kNone), std::sort(v->begin(), v->end());
        if (std::adjacent_find(now.begin(), now.end()) != now.end()) return "a handle in two nodes";
        for (uint64_t h : out_) {
            if (h == kNone) continue;
            const auto it = std::find(was.begin(), was.end(), h);
            if (it == was.end() || std::binary_search(now.begin(), now.end(), h))
                return "handed out, not taken from a node: " + std::to_string(h);
            was.erase(it);
        }
        std::vector<uint64_t> odd;
        std::set_symmetric_difference(was.begin(), was.end(), now.begin(), now.end(),
                                      std::back_inserter(odd));
        for (uint64_t h : odd)
            if (h != covered && h != written_) return "lost or not written: " + std::to_string(h);
        return "";
    }

    int32_t queues_[kQueues] = {-1, -1, -1}, freed_ = -1;
    uint64_t next_handle_ = 1, written_ = kNone;
    std::vector<uint64_t> returned_, out_;  // given to olk_return; taken out by the call
    bool checking_ = true;
};

// Runs `ops` on a fresh family: the index of the first step that broke something and why, or
// -1 and "". `keep_up`: a shared system this process made is reset rather than made anew, and
// left up (a fuzz target runs many inputs).
template <class F>
std::pair<int, std::string> run_ops(const std::vector<Op> &ops, bool keep_up = false) {
    static bool up = false;
    if (!(keep_up && up && (!F::shared || gsq_c_reset() == 0)) && !(up = F::up()))
        return {0, "the family cannot be brought up"};
    RandomOps<F> engine;
    std::pair<int, std::string> result{-1, engine.open()};
    for (size_t i = 0; result.second.empty() && i < ops.size(); ++i)
        if (std::string why = engine.step(ops[i]); !why.empty()) result = {int(i), why};
    if (std::string why = engine.close(); result.second.empty() && !why.empty())
        result = {int(ops.size()), why};
    if (!keep_up) F::down(), up = false;
    return result;
}

// The shortest sequence found that still breaks something: chunks are taken out while the rest
// keeps failing.
template <class F>
std::vector<Op> shrink(std::vector<Op> ops) {
    for (size_t chunk = ops.size() / 2; chunk >= 1; chunk /= 2)
        for (size_t at = 0; at + chunk <= ops.size();) {
            std::vector<Op> fewer = ops;
            fewer.erase(fewer.begin() + long(at), fewer.begin() + long(at + chunk));
            at = run_ops<F>(fewer).second.empty() ? at + chunk : (ops = fewer, at);
        }
    return ops;
}

inline std::string describe(const std::vector<Op> &ops) {
    static const char *names[] = {"write",      "write-declining", "read",         "look",
                                  "create",     "destroy",         "seek",         "reset-peek",
                                  "peek",       "available",       "sharable",     "look-back",
                                  "resize",     "clean",           "size-by-time", "status",
                                  "node-count", "realloc",         "dump"};
    std::string out;
    for (const Op &op : ops)
        out += std::string("  ") + names[op.kind % kKinds] + " " + csv(op.queue, op.a, op.b) + "\n";
    return out;
}

}  // namespace brenn_test
