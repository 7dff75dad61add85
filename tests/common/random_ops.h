// The random-operation engine of the handle-conservation campaign, the fuzz targets and the
// kill campaign's victim. It drives one family's exports with operations drawn from a seed or
// from fuzz input, on a few queues, with mostly valid and sometimes refused arguments. It
// predicts no result. After every step it looks at the objects only: every queue's records must
// keep the header's invariants, and the handles must balance. Handles are numbered as they are
// written, and a handle enters the nodes only by its write; it leaves them only the way the
// step's call says: to the writer, to a caller's array, to a consumer (a peek on a queue that
// is not sharable), to olk_return (a node-count change), or let go by a write, which covers
// the node it takes (outside a dynamic window, or as a writer that declines handles). So every
// handle is in exactly one place, and none is lost or handed out twice. A call on another
// queue, or a refused one, changes nothing at all.
//
// The process has one thread, so a call that would wait would wait for ever: such calls are
// made only when the records show that their wait ends at once.
#pragma once

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/family.h"
#include "common/records.h"
#include "support/olk_standin.h"

namespace brenn_test {

// One operation as data, so that a sequence replays and shrinks: what to call, on which of the
// engine's queues (or, from 250 on, on an id that must be refused), and two arguments.
struct Op {
    uint8_t kind, queue;
    int16_t a, b;
};
enum Kind : uint8_t {
    kWrite,
    kWriteDeclining,
    kRead,
    kLook,
    kSessionCreate,
    kSessionDestroy,
    kSeek,
    kResetPeek,
    kPeek,
    kDataAvailable,
    kSharable,
    kLookBack,
    kResize,
    kClean,
    kSizeByTime,
    kStatus,
    kNodeCount,
    kRealloc,
    kDump,
    kKinds
};

template <class F>
class RandomOps {
  public:
    static constexpr int kQueues = 3;

    // Allocates the engine's queues; "" or why that failed. Handles given to olk_return come to
    // this engine (the stand-in's handler) until close().
    std::string open() {
        olk_set_return_handler(
            [](uint64_t h, void *self) { static_cast<RandomOps *>(self)->returned_.push_back(h); },
            this);
        for (int i = 0; i < kQueues; ++i)
            if (queues_[i] = alloc(Op{kRealloc, 0, int16_t(i * 7), int16_t(i)}); queues_[i] < 0)
                return "allocation refused";
        return "";
    }
    // Empties and frees the queues; "" when the ledger balanced to the end.
    std::string close() {
        std::string why;
        for (int32_t &q : queues_) {
            if (q < 0) continue;
            if (why.empty()) why = step(Op{kClean, uint8_t(&q - queues_), 0, 0});
            F::free_queue(q);
            q = -1;
        }
        olk_set_return_handler(nullptr, nullptr);
        return why;
    }

    // Without checks, steps only make their calls (a victim that is killed at random points
    // spends its time inside them); the records still decide which calls may be made.
    void check(bool on) { checking_ = on; }

    // Makes one operation; "" while everything holds, else what broke.
    std::string step(const Op &op) {
        const bool odd = op.queue >= 250;
        const int32_t q = odd ? odd_id(op.queue) : queues_[op.queue % kQueues];
        if (!checking_) {
            Records r{};
            Moved moved;
            bool skipped = false;
            if (!odd) records_of(F::shared, q, &r);
            returned_.clear();
            return call(op, q, r, moved, skipped);
        }
        Snapshot before[kQueues];
        for (int i = 0; i < kQueues; ++i)
            before[i] = snapshot(queues_[i]);
        std::exchange(returned_, {});
        Moved moved;
        bool skipped = false;
        if (std::string why =
                call(op, q, odd ? Records{} : before[op.queue % kQueues].r, moved, skipped);
            !why.empty())
            return why;
        ++(skipped ? skipped_ : made_)[op.kind % kKinds];
        if (odd && !std::exchange(returned_, {}).empty()) return "a refused call gave a handle";
        for (int i = 0; i < kQueues; ++i) {
            Snapshot after = snapshot(queues_[i]);
            if (!odd && i == op.queue % kQueues) {
                if (op.kind % kKinds == kRealloc) continue;  // another queue now
                if (std::string why = balance(before[i], after, moved); !why.empty()) return why;
            } else if (after.bytes != before[i].bytes) {
                return "queue " + std::to_string(queues_[i]) + " changed by a call on another";
            }
            if (after.r.hdr != nullptr && after.r.hdr->allocated != 0)
                if (std::string why = invariant_breach(after.r); !why.empty())
                    return "invariant of queue " + std::to_string(queues_[i]) + ": " + why;
        }
        return "";
    }

    // Draws an operation from `pick(n)`, which answers 0 .. n - 1.
    template <class Pick>
    static Op draw(Pick &&pick) {
        Op op{uint8_t(pick(kKinds)), uint8_t(pick(16) == 0 ? 250 + pick(6) : pick(kQueues)),
              int16_t(pick(40) - 4), int16_t(pick(40) - 4)};
        if (pick(8) == 0) op.a = int16_t(pick(65536) - 32768);  // now and then any value
        return op;
    }

    uint64_t handles_written() const { return next_handle_ - 1; }
    // How many operations of each kind were made, and how many skipped because they would wait.
    std::string figures() const {
        std::string out;
        for (int k = 0; k < kKinds; ++k)
            out += std::to_string(made_[k]) + "/" + std::to_string(skipped_[k]) + " ";
        return out;
    }

  private:
    // Where the step's call says handles may go when they leave the nodes.
    struct Moved {
        std::vector<uint64_t> out;  // handed out: writer, array, consumer, olk_return
        uint64_t written = kNone;   // the new handle
        bool let_go = false;        // the node the new handle took may have held one
    };

    // A queue's records as they stand: the handle of every node (kNone too), and the bytes of
    // the control record and the ring, to tell whether a call changed anything.
    struct Snapshot {
        Records r;
        std::vector<uint64_t> objs;
        std::string bytes;
    };
    static Snapshot snapshot(int32_t q) {
        Snapshot s;
        if (q < 0 || !records_of(F::shared, q, &s.r) || s.r.nodes == nullptr) return s;
        const QueueHeader &h = *s.r.hdr;
        for (int32_t i = 0; i < h.node_num; ++i)
            s.objs.push_back(s.r.nodes[i].obj);
        s.bytes.assign(reinterpret_cast<const char *>(&h), sizeof h);
        s.bytes.append(reinterpret_cast<const char *>(s.r.nodes),
                       sizeof(QueueNode) * size_t(h.node_num));
        return s;
    }

    int32_t odd_id(uint8_t which) {
        // A slot this engine freed, as long as no queue of it took the slot again.
        const bool reused = std::find(queues_, queues_ + kQueues, freed_) != queues_ + kQueues;
        const int32_t ids[] = {-1, F::queue_count, INT32_MIN, INT32_MAX, reused ? -1 : freed_, -7};
        return ids[(which - 250) % 6];
    }

    int32_t alloc(const Op &op) {
        const bool dynamic = op.b % 2 == 0;
        const int32_t nodes = 2 + std::abs(op.a) % 12, sessions = 1 + std::abs(op.b) % 6;
        const int32_t no_block = op.a % 3 != 0 ? 1 : 0, sharable = op.b % 4 == 1 ? 0 : 1;
        return dynamic ? F::dynamic_alloc(nodes, 1 + std::abs(op.b) % nodes, sessions, 0, no_block,
                                          sharable)
                       : F::alloc_queue(uint32_t(nodes * 32 + std::abs(op.b) % 32), sessions,
                                        std::abs(op.b) % 3, no_block, sharable);
    }

    // A peek whose wait ends at once: a session the refusal turns away, one without a position
    // on a dynamic queue that holds data (it scans), or one whose next node is new to it and,
    // on a dynamic queue, whose newest node holds something (a session outside the window
    // takes the newest one); a plain queue's session without a position looks at node 0.
    static bool peek_returns(const Records &r, int32_t q, int32_t s) {
        const QueueHeader &h = *r.hdr;
        const QueueSession &ss = h.sessions[s];
        if (h.sharable != 0 && ss.in_use == 0) return true;
        if (h.dynamic != 0 && h.wr >= 0 && ss.pk == -1) return true;
        int32_t c = 0;
        if (F::data_available(q, s, &c) != 1) return false;
        if (h.dynamic == 0 && ss.pk == -1)
            return r.nodes[0].state != NODE_EMPTY && r.nodes[0].seq > ss.cur_seq;
        return h.dynamic == 0 || r.nodes[h.wr].state != NODE_EMPTY;
    }
    // A shrink waits while a session lags so far that its node would be dropped.
    static bool shrink_waits(const Records &r, int32_t m) {
        const QueueHeader &h = *r.hdr;
        for (const QueueSession &ss : h.sessions)
            if (ss.in_use != 0 && ss.pk != -1 && ss.pk != h.wr &&
                (h.node_num + h.wr - ss.pk) % h.node_num >= m)
                return true;
        return false;
    }

    std::string call(const Op &op, int32_t q, const Records &r, Moved &moved, bool &skipped) {
        const int32_t s = std::abs(op.a) % 9 == 8 ? op.a : std::abs(op.a) % 8;
        uint64_t h = 0;
        int32_t c = 0, x = 0;
        const bool known = r.hdr != nullptr;
        switch (op.kind % kKinds) {
            case kWrite:
            case kWriteDeclining: {
                if (known && r.hdr->no_block == 0 &&
                    r.nodes[(r.hdr->wr + 1) % r.hdr->node_num].state == NODE_WRITTEN)
                    return skipped = true, "";  // it may wait for the main reader
                moved.written = next_handle_++;
                moved.let_go = true;
                uint64_t *back = op.kind % kKinds == kWrite ? &h : nullptr;
                F::write(q, moved.written, back, int64_t{op.b} * 100);
                if (back != nullptr) moved.out.push_back(h);
                if (!known) moved.written = kNone, moved.out.clear();
                break;
            }
            case kRead:
                if (F::ready_to_read(q) != 1) return skipped = true, "";
                F::read(q, &h);
                break;
            case kLook:
                F::look(q, op.a, &h);
                break;
            case kSessionCreate:
                F::create_session(q);
                break;
            case kSessionDestroy:
                F::destroy_session(q, s);
                break;
            case kSeek:
                F::seek(q, s);
                break;
            case kResetPeek:
                F::reset_peek(q, s);
                break;
            case kPeek:
                if (known && (s < 0 || s > 127 || !peek_returns(r, q, s)))
                    return skipped = true, "";
                if (F::peek(q, s, &h, &x) != 0) return "a peek answered other than 0";
                if (known && r.hdr->sharable == 0) moved.out.push_back(h);
                break;
            case kDataAvailable:
                F::data_available(q, s, &c);
                F::cur_seq(q, s), F::live_count(q, s);
                break;
            case kSharable:
                F::set_sharable(q, F::is_sharable(q) == 0 ? op.b : 0);
                break;
            case kLookBack:
                if (F::begin_look_back(q, s, &c, &x) != 0) break;
                for (int i = 0; i < std::abs(op.b) % 6; ++i)
                    F::look_back(q, s, &h);
                F::end_look_back(q, s);
                break;
            case kResize:
            case kClean: {
                uint64_t *a =
                    op.kind % kKinds == kResize ? F::resize(q, op.b, &c) : F::clean(q, &c);
                for (int32_t i = 0; a != nullptr && i < c; ++i)
                    moved.out.push_back(a[i]);
                std::free(a);
                break;
            }
            case kSizeByTime:
                F::size_by_time(q, op.a * 97);
                break;
            case kStatus: {
                QueueStatus st;
                F::queue_status(q, &st);
                F::ready_to_read(q), F::node_num(q);
                break;
            }
            case kNodeCount: {
                const int32_t m = 1 + std::abs(op.b) % 40;
                if (known && m < r.hdr->node_num && shrink_waits(r, m)) return skipped = true, "";
                // Now and then a size that gives no node, which is refused.
                F::change_queue_size(q, op.b < -2 ? uint32_t(-op.b) % 32 : uint32_t(m * 32));
                for (uint64_t given : std::exchange(returned_, {}))
                    moved.out.push_back(given);
                break;
            }
            case kRealloc:
                if (!known) return "";
                F::free_queue(q);
                freed_ = q;
                queues_[op.queue % kQueues] = alloc(op);
                if (queues_[op.queue % kQueues] < 0) return "allocation refused";
                break;
            case kDump:
                // Checked steps read the text back; unchecked ones print (a victim's standard
                // output goes nowhere), which keeps their time inside the calls.
                if (checking_ || !F::shared)
                    F::dump(q, op.b * 8);
                else
                    gsq_c_dump(q);
                break;
        }
        return "";
    }

    // The ledger: what left the queue's nodes and what arrived, against what the call says.
    std::string balance(const Snapshot &before, const Snapshot &after, const Moved &moved) {
        auto sorted = [](const std::vector<uint64_t> &v) {
            std::vector<uint64_t> out;
            std::copy_if(v.begin(), v.end(), std::back_inserter(out),
                         [](uint64_t h) { return h != kNone; });
            std::sort(out.begin(), out.end());
            return out;
        };
        const std::vector<uint64_t> was = sorted(before.objs), now = sorted(after.objs);
        std::vector<uint64_t> left, arrived;
        std::set_difference(was.begin(), was.end(), now.begin(), now.end(),
                            std::back_inserter(left));
        std::set_difference(now.begin(), now.end(), was.begin(), was.end(),
                            std::back_inserter(arrived));
        if (std::adjacent_find(now.begin(), now.end()) != now.end()) return "a handle in two nodes";
        if (!arrived.empty() && (arrived.size() > 1 || arrived[0] != moved.written))
            return "a handle appeared that was not written: " + std::to_string(arrived[0]);
        for (uint64_t h : moved.out) {
            if (h == kNone) continue;
            auto it = std::find(left.begin(), left.end(), h);
            if (it == left.end())
                return "handed out but not taken from a node: " + std::to_string(h);
            left.erase(it);
        }
        // A write may let go of what the node it took held: written over outside a dynamic
        // window, or by a writer that does not take handles back.
        const auto at = std::find(after.objs.begin(), after.objs.end(), moved.written);
        const size_t i = size_t(at - after.objs.begin());
        if (!left.empty() && (left.size() > 1 || at == after.objs.end() ||
                              i >= before.objs.size() || before.objs[i] != left[0]))
            return "lost: " + std::to_string(left[0]);
        return "";
    }
    int32_t queues_[kQueues] = {-1, -1, -1};
    uint64_t made_[kKinds] = {}, skipped_[kKinds] = {};
    std::vector<uint64_t> returned_;
    bool checking_ = true;
    int32_t freed_ = -1;
    uint64_t next_handle_ = 1;
};

// Runs `ops` on a fresh family; the index of the first step that broke something and why, or
// -1 and "" when none did.
// `keep_up`: a shared system that this process already made is reset rather than made anew,
// and left up (a fuzz target runs many inputs).
template <class F>
std::pair<int, std::string> run_ops(const std::vector<Op> &ops, std::string *figures = nullptr,
                                    bool keep_up = false) {
    static bool up = false;
    if (!(keep_up && up && (!F::shared || gsq_c_reset() == 0)) && !(up = F::up()))
        return {0, "the family cannot be brought up"};
    RandomOps<F> engine;
    std::pair<int, std::string> result{-1, engine.open()};
    for (size_t i = 0; result.second.empty() && i < ops.size(); ++i)
        if (std::string why = engine.step(ops[i]); !why.empty()) result = {int(i), why};
    if (std::string why = engine.close(); result.second.empty() && !why.empty())
        result = {int(ops.size()), why};
    if (figures != nullptr)
        *figures = std::to_string(engine.handles_written()) +
                   " handles; made/skipped per kind: " + engine.figures();
    if (!keep_up) F::down(), up = false;
    return result;
}

// The shortest sequence found that still breaks something: chunks are taken out while the
// rest keeps failing.
template <class F>
std::vector<Op> shrink(std::vector<Op> ops) {
    for (size_t chunk = ops.size() / 2; chunk >= 1; chunk /= 2)
        for (size_t at = 0; at + chunk <= ops.size();) {
            std::vector<Op> fewer = ops;
            fewer.erase(fewer.begin() + long(at), fewer.begin() + long(at + chunk));
            if (!run_ops<F>(fewer).second.empty())
                ops = fewer;
            else
                at += chunk;
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
        out += std::string("  ") + names[op.kind % kKinds] + " q" + std::to_string(op.queue) + " " +
               std::to_string(op.a) + " " + std::to_string(op.b) + "\n";
    return out;
}

}  // namespace brenn_test
