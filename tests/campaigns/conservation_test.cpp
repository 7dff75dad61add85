// Handle conservation, both families: long random sequences of every queue operation, with
// valid and invalid arguments, on a few queues, single-threaded and never blocking. A model of
// the queue (its semantics, with the choices the public header makes) predicts every result;
// after every step the library's records must equal the model's, pass the header's
// invariants, and account for every handle ever written: each is in exactly one place, still
// in a node of its ring, handed back to the writer, taken out by a peek of a consuming queue,
// in an array from resize or clean, given to olk_return, overwritten after the writer
// declined to take it back, or left in the ring when the queue was freed.
//
// BRENN_SEED replays a campaign, BRENN_STEPS (steps per sequence) and BRENN_SEQUENCES make it
// longer. A failing sequence is shrunk to a short list of operations, printed with the seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "campaigns/campaign_support.h"
#include "common/families.h"
#include "support/olk.h"

namespace brenn_campaign {
namespace {
// What olk_return received, in order.
std::vector<uint64_t> g_returned;
}  // namespace
}  // namespace brenn_campaign

// The support library's buffer return, defined by this program: it records the handles.
extern "C" void olk_return(uint64_t handle) {
    brenn_campaign::g_returned.push_back(handle);
}

namespace brenn_campaign {
namespace {

using brenn_test::FamilyApi;
using brenn_test::kLocal;
using brenn_test::kShared;

// ---- operations ---------------------------------------------------------------------------

// The operations and how often each is drawn.
// clang-format off
#define CAMPAIGN_KINDS(X)                                                                 \
    X(kWrite, "write", 20) X(kWriteNoGiveBack, "write-without-give-back", 6)                \
    X(kRead, "read", 8) X(kLook, "look", 3) X(kReady, "ready", 2)                         \
    X(kCreate, "create-session", 4) X(kDestroy, "destroy-session", 3) X(kSeek, "seek", 3)  \
    X(kReset, "reset-peek", 3) X(kPeek, "peek", 18) X(kAvailable, "data-available", 4)     \
    X(kCounters, "counters", 2) X(kSharable, "sharable", 2) X(kLookBack, "look-back", 4)   \
    X(kResize, "resize", 4) X(kClean, "clean", 2) X(kSizeByTime, "size-by-time", 2)        \
    X(kStatus, "status", 1) X(kChange, "node-count-change", 3)                             \
    X(kFreeRealloc, "free-realloc", 1) X(kLockUnlock, "lock-unlock", 1)                    \
    X(kNodeNum, "node-num", 1) X(kBadAlloc, "bad-alloc", 1)
#define CAMPAIGN_ENUM(id, name, weight) id,
#define CAMPAIGN_NAME(id, name, weight) name,
#define CAMPAIGN_WEIGHT(id, name, weight) weight,
enum Kind : uint8_t { CAMPAIGN_KINDS(CAMPAIGN_ENUM) kKinds };
const char *const kKindName[kKinds] = {CAMPAIGN_KINDS(CAMPAIGN_NAME)};
constexpr int kWeight[kKinds] = {CAMPAIGN_KINDS(CAMPAIGN_WEIGHT)};
// clang-format on

// An operation is its kind and raw random words; what they mean is decided when it runs, so
// that an operation keeps its arguments when others are removed from the list.
struct Op {
    Kind kind;
    uint32_t r[4];
};

std::vector<Op> make_ops(uint64_t seed, size_t steps) {
    Rng g(seed);
    int total = 0;
    for (int w : kWeight)
        total += w;
    std::vector<Op> ops(steps);
    for (Op &op : ops) {
        int pick = static_cast<int>(g.below(static_cast<uint32_t>(total)));
        int k = 0;
        while (pick >= kWeight[k])
            pick -= kWeight[k++];
        op.kind = static_cast<Kind>(k);
        for (uint32_t &w : op.r)
            w = g.u32();
    }
    return ops;
}

// ---- the model ----------------------------------------------------------------------------

struct MNode {
    int64_t seq = -1;
    int32_t state = NODE_EMPTY;
    uint64_t obj = kNone;
    int64_t ts = 0;
};

struct MSlot {
    bool allocated = false;
    int32_t rd = -1, wr = -1, tail = 0, dynamic = 0, max_sessions = 0, reserve = 0, no_block = 0;
    int32_t sharable = 1, node_num = 0, quarter_num = 0;
    uint64_t write_seq = 0;
    std::vector<MNode> nodes;
    std::array<QueueSession, 128> sessions{};
};

void empty(MNode &n) {
    n.seq = -1;
    n.obj = kNone;
    n.state = NODE_EMPTY;
}

struct Config {
    bool dynamic;
    uint32_t size;
    int32_t k, w, max_sessions, reserve, no_block, sharable;
};

std::string describe(const Config &c) {
    char text[160];
    if (c.dynamic) {
        std::snprintf(text, sizeof text, "dynamic k %d w %d", c.k, c.w);
    } else {
        std::snprintf(text, sizeof text, "plain of %u bytes, reserve %d no_block %d", c.size,
                      c.reserve, c.no_block);
    }
    return std::string(text) + ", sessions " + std::to_string(c.max_sessions) + ", sharable " +
           std::to_string(c.sharable);
}

Config config_from(uint32_t a, uint32_t b, bool shared) {
    static const int32_t kSessions[] = {4, 8, 2, 1, 0, 200, -3, 8};
    static const int32_t kSharable[] = {0, 1, 7};
    Config c{};
    c.dynamic = (a & 1) != 0;
    c.max_sessions = kSessions[(a >> 1) % 8];
    c.reserve = static_cast<int32_t>((a >> 4) % 3);
    c.no_block = (a >> 6) % 3 != 0 ? 1 : 0;
    c.sharable = kSharable[(a >> 8) % 3];
    int32_t nodes = 1 + static_cast<int32_t>(b % 12);
    if ((b >> 8) % 16 == 0) nodes = 20 + static_cast<int32_t>((b >> 12) % 40);
    if (shared && !c.dynamic && (b >> 20) % 24 == 0) nodes = 300;  // allocation caps at 256
    c.size = static_cast<uint32_t>(nodes) * 32 + (b >> 24) % 32;
    c.k = (b >> 28) % 8 == 0 ? 0 : 1 + static_cast<int32_t>(b % 12);
    c.w = static_cast<int32_t>((b >> 4) % 15);
    return c;
}

// Where a handle is.
enum Place : uint8_t { kRing, kWriter, kConsumer, kArray, kReturned, kDeclined, kFreed, kPlaces };
const char *const kPlaceName[kPlaces] = {
    "still in a ring",         "handed back to the writer",
    "taken by a peek",         "in a resize/clean array",
    "given to olk_return",     "overwritten after the writer declined it",
    "left in the ring at free"};

struct Entry {
    Place place;
    int32_t q;
    bool declined;  // a dynamic write without give-back let it leave the window
};

struct Figures {
    uint64_t sequences = 0, steps = 0, handles = 0;
    uint64_t done[kKinds] = {}, refused[kKinds] = {}, skipped[kKinds] = {};
    uint64_t places[kPlaces] = {};
    uint64_t returned_none = 0, largest_ring = 0;
    void add(const Figures &o) {
        sequences += o.sequences;
        steps += o.steps;
        handles += o.handles;
        for (int k = 0; k < kKinds; ++k) {
            done[k] += o.done[k];
            refused[k] += o.refused[k];
            skipped[k] += o.skipped[k];
        }
        for (int p = 0; p < kPlaces; ++p)
            places[p] += o.places[p];
        returned_none += o.returned_none;
        largest_ring = std::max(largest_ring, o.largest_ring);
    }
};

std::string show(int64_t v) {
    return std::to_string(v);
}
std::string show(uint64_t v) {
    if (v == kNone) return "none";
    char text[32];
    std::snprintf(text, sizeof text, "0x%" PRIx64, v);
    return text;
}
std::string show(int32_t v) {
    return std::to_string(v);
}
std::string show(bool v) {
    return v ? "true" : "false";
}

// Progress for the watchdog, which cannot look into a run.
std::atomic<uint64_t> g_at_seed{0};
std::atomic<uint64_t> g_at_step{0};
std::atomic<int> g_at_kind{-1};
std::atomic<bool> g_at_shared{false};
std::string where_we_are() {
    const int kind = g_at_kind.load();
    return std::string("conservation[") + (g_at_shared.load() ? "shared" : "local") +
           "] sequence seed " + show(g_at_seed.load()) + ", step " +
           std::to_string(g_at_step.load()) + " (" + (kind >= 0 ? kKindName[kind] : "set-up") +
           "): a call blocked though the model " + "said it would not";
}
Watchdog *g_watchdog = nullptr;

// One run of an operation list on a few queues of one family.
class Sequence {
  public:
    Sequence(const FamilyApi &f, uint64_t seed) : f_(f), rng_(seed ^ 0x5eed) {}

    // Runs the list; false with `failure` and `failed_at` set at the first discrepancy.
    bool execute(const std::vector<Op> &ops) {
        g_returned.clear();
        bool ok = set_up();
        for (size_t i = 0; ok && i < ops.size(); ++i) {
            g_at_step.store(i);
            g_at_kind.store(ops[i].kind);
            if (g_watchdog != nullptr) g_watchdog->beat();
            failed_at = i;
            op_ = &ops[i];
            ok = step(ops[i]) && check_all();
            ++fig.steps;
        }
        op_ = nullptr;
        if (ok) {
            failed_at = ops.size();
            ok = tear_down();
        }
        release_everything();
        fig.sequences = 1;
        return ok;
    }

    std::string failure;
    size_t failed_at = 0;
    Figures fig;
    // When set, one line per step tells what the step did (for a shrunk list).
    std::vector<std::string> *trace = nullptr;

  private:
    __attribute__((format(printf, 2, 3))) void note(const char *fmt, ...) {
        if (trace == nullptr) return;
        char text[200];
        va_list args;
        va_start(args, fmt);
        std::vsnprintf(text, sizeof text, fmt, args);
        va_end(args);
        note_ += text;
    }
    // ---- failures ---------------------------------------------------------------------

    bool fail(const std::string &why) {
        if (failure.empty()) {
            failure = why;
            if (op_ != nullptr) failure = std::string(kKindName[op_->kind]) + ": " + why;
        }
        return false;
    }
    template <typename A, typename B>
    bool same(A got, B want, const char *what) {
        if (got == static_cast<A>(want)) return true;
        return fail(std::string(what) + ": the library gave " + show(got) + ", the model " +
                    show(static_cast<A>(want)));
    }
#define SAME(got, want, what)                           \
    do {                                                \
        if (!same((got), (want), (what))) return false; \
    } while (0)
// As SAME, with a printf-style description formed only when the values differ.
#define SAME_AT(got, want, ...)                              \
    do {                                                     \
        if (!((got) == (want))) {                            \
            char what_[160];                                 \
            std::snprintf(what_, sizeof what_, __VA_ARGS__); \
            if (!same((got), (want), what_)) return false;   \
        }                                                    \
    } while (0)

    // ---- the model's table ------------------------------------------------------------

    bool in_table(int32_t q) const {
        return q >= 0 && q < f_.queue_count;
    }

    // The model's slot q; a slot it has not seen yet is taken from the records as they stand
    // (what an earlier queue left in it carries over).
    MSlot &slot(int32_t q) {
        auto it = slots_.find(q);
        if (it != slots_.end()) return it->second;
        MSlot &m = slots_[q];
        Records r;
        if (!records_of(f_.shared, q, &r)) return m;
        const QueueHeader &h = *r.hdr;
        m.allocated = h.allocated != 0;
        m.rd = h.rd;
        m.wr = h.wr;
        m.tail = h.tail;
        m.dynamic = h.dynamic;
        m.max_sessions = h.max_sessions;
        m.reserve = h.reserve;
        m.no_block = h.no_block;
        m.sharable = h.sharable;
        m.node_num = h.node_num;
        m.quarter_num = h.quarter_num;
        m.write_seq = h.write_seq;
        std::copy(std::begin(h.sessions), std::end(h.sessions), m.sessions.begin());
        if (m.allocated && r.nodes != nullptr) {
            m.nodes.resize(static_cast<size_t>(m.node_num));
            for (int32_t i = 0; i < m.node_num; ++i) {
                const QueueNode &n = r.nodes[i];
                m.nodes[static_cast<size_t>(i)] = MNode{n.seq, n.state, n.obj, n.ts};
            }
        }
        return m;
    }
    bool open(int32_t q) {
        return in_table(q) && slot(q).allocated;
    }
    static bool session_id(int32_t s) {
        return s >= 0 && s < 128;
    }

    int32_t lowest_free() {
        for (int32_t q = 0; q < f_.queue_count; ++q) {
            auto it = slots_.find(q);
            if (it != slots_.end()) {
                if (!it->second.allocated) return q;
                continue;
            }
            Records r;
            if (records_of(f_.shared, q, &r) && r.hdr->allocated == 0) return q;
        }
        return -1;
    }

    // Allocation as the model sees it: the id it must get, or -1.
    int32_t model_alloc(const Config &c) {
        int32_t asked, count;
        if (c.dynamic) {
            const int32_t limit = f_.shared ? 256 : INT32_MAX / 32;
            if (c.k < 0 || c.k >= limit) return -1;
            asked = c.k + 1;
        } else {
            asked = static_cast<int32_t>(c.size / 32);
        }
        if (asked < 1) return -1;
        count = f_.shared ? std::min(asked, 256) : asked;
        const int32_t q = lowest_free();
        if (q < 0) return -1;
        MSlot &m = slot(q);
        m.allocated = true;
        m.reserve = c.reserve;
        m.no_block = c.no_block;
        m.max_sessions = std::min(c.max_sessions, 128);
        m.sharable = c.sharable != 0 ? 1 : 0;
        m.node_num = count;
        m.quarter_num = (f_.shared ? asked : count) / 4;
        m.rd = m.wr = -1;
        m.dynamic = 0;
        // tail and write_seq carry over, a tail outside the new ring included.
        m.nodes.assign(static_cast<size_t>(count), MNode{});
        for (QueueSession &s : m.sessions)
            s = QueueSession{-1, 0, -1, 0, 0, 0};
        if (c.dynamic) {
            const int32_t kept = std::min(c.w, c.k);
            m.tail = kept >= 1 ? (c.k + 1) - kept : c.k;
            m.dynamic = 1;
        }
        return q;
    }

    // Nodes' timestamps that no operation defines (fresh rings) are taken from the records.
    void adopt_ts(int32_t q, int32_t from) {
        Records r;
        MSlot &m = slot(q);
        if (!records_of(f_.shared, q, &r) || r.nodes == nullptr) return;
        for (int32_t i = from; i < m.node_num; ++i)
            m.nodes[static_cast<size_t>(i)].ts = r.nodes[i].ts;
    }

    // ---- the ledger -------------------------------------------------------------------

    bool enter(uint64_t h, int32_t q) {
        if (h == kNone) return true;
        if (!ledger_.emplace(h, Entry{kRing, q, false}).second)
            return fail("handle " + show(h) + " written twice");
        ++ring_count_[q];
        ++fig.handles;
        return true;
    }
    // A handle leaves ring q for `to`; it must be in that ring now.
    bool leave(uint64_t h, int32_t q, Place to) {
        if (h == kNone) return true;
        auto it = ledger_.find(h);
        if (it == ledger_.end()) return fail("handle " + show(h) + " was never written");
        if (it->second.place != kRing || it->second.q != q)
            return fail("handle " + show(h) + " came out (" + kPlaceName[to] + ") but it was " +
                        kPlaceName[it->second.place] + " (queue " + std::to_string(it->second.q) +
                        ")");
        it->second.place = to;
        --ring_count_[q];
        ++fig.places[to];
        return true;
    }
    // A copy of a handle handed out while it stays in ring q (read, look, look-back, a peek of
    // a sharable queue).
    bool seen_in(uint64_t h, int32_t q) {
        if (h == kNone) return true;
        auto it = ledger_.find(h);
        if (it == ledger_.end()) return fail("handed out " + show(h) + ", never written");
        if (it->second.place != kRing || it->second.q != q)
            return fail("handed out " + show(h) + " while it was " + kPlaceName[it->second.place]);
        return true;
    }

    // ---- checks after every step ------------------------------------------------------

    bool check_all() {
        for (int32_t q : queues_) {
            if (!check_queue(q)) return false;
        }
        return true;
    }

    bool check_queue(int32_t q) {
        MSlot &m = slot(q);
        Records r;
        if (!records_of(f_.shared, q, &r)) return fail("cannot reach queue " + show(q));
        const QueueHeader &h = *r.hdr;
        SAME_AT(h.allocated != 0, m.allocated, "allocated of queue %d", q);
        if (!m.allocated) return true;
        const std::string breach = invariant_breach(r, true);
        if (!breach.empty()) return fail("invariant broken of queue " + show(q) + ": " + breach);
        SAME_AT(h.rd, m.rd, "rd of queue %d", q);
        SAME_AT(h.wr, m.wr, "wr of queue %d", q);
        SAME_AT(h.tail, m.tail, "tail of queue %d", q);
        SAME_AT(h.dynamic, m.dynamic, "dynamic of queue %d", q);
        SAME_AT(h.max_sessions, m.max_sessions, "max_sessions of queue %d", q);
        SAME_AT(h.reserve, m.reserve, "reserve of queue %d", q);
        SAME_AT(h.no_block, m.no_block, "no_block of queue %d", q);
        SAME_AT(h.sharable, m.sharable, "sharable of queue %d", q);
        SAME_AT(h.node_num, m.node_num, "node_num of queue %d", q);
        SAME_AT(h.quarter_num, m.quarter_num, "quarter_num of queue %d", q);
        SAME_AT(h.write_seq, m.write_seq, "write_seq of queue %d", q);
        for (int32_t s = 0; s < 128; ++s) {
            const QueueSession &a = h.sessions[s];
            const QueueSession &b = m.sessions[static_cast<size_t>(s)];
            SAME_AT(a.in_use, b.in_use, "in_use of session %d of queue %d", s, q);
            SAME_AT(a.pk, b.pk, "pk of session %d of queue %d", s, q);
            SAME_AT(a.cur_seq, b.cur_seq, "cur_seq of session %d of queue %d", s, q);
            SAME_AT(a.looking_back, b.looking_back, "looking_back of session %d of queue %d", s, q);
            SAME_AT(a.live_count, b.live_count, "live_count of session %d of queue %d", s, q);
        }
        fig.largest_ring = std::max<uint64_t>(fig.largest_ring, static_cast<uint64_t>(m.node_num));
        // Conservation: the handles in the ring are exactly those the ledger places there.
        seen_.clear();
        for (int32_t i = 0; i < m.node_num; ++i) {
            const QueueNode &a = r.nodes[i];
            const MNode &b = m.nodes[static_cast<size_t>(i)];
            SAME_AT(a.state, b.state, "state of node %d of queue %d", i, q);
            SAME_AT(a.seq, b.seq, "seq of node %d of queue %d", i, q);
            SAME_AT(a.obj, b.obj, "obj of node %d of queue %d", i, q);
            SAME_AT(a.ts, b.ts, "ts of node %d of queue %d", i, q);
            if (a.obj == kNone) continue;
            const std::string nn = " " + std::to_string(i) + " of queue " + std::to_string(q);
            auto it = ledger_.find(a.obj);
            if (it == ledger_.end()) return fail("node" + nn + " holds an unknown handle");
            if (it->second.place != kRing || it->second.q != q)
                return fail("node" + nn + " holds " + show(a.obj) + ", which is " +
                            kPlaceName[it->second.place]);
            if (!seen_.insert(a.obj).second)
                return fail("handle " + show(a.obj) + " appears twice in queue " + show(q));
        }
        if (seen_.size() != ring_count_[q])
            return fail(std::to_string(ring_count_[q] - seen_.size()) +
                        " handle(s) lost from queue " + show(q));
        return true;
    }

    // ---- argument choice --------------------------------------------------------------

    int32_t pick_queue(uint32_t r) {
        const uint32_t v = r % 100;
        const int32_t bad[] = {-1, f_.queue_count, f_.queue_count + 7, INT32_MIN};
        if (v < 3) return bad[(r >> 8) % 4];
        if (v < 5) return f_.queue_count - 1;  // a slot no queue of the campaign takes
        return queues_[(r >> 8) % queues_.size()];
    }
    int32_t pick_session(int32_t q, uint32_t r) {
        const uint32_t v = r % 100;
        const int32_t bad[] = {-1, 128, 1000, INT32_MIN};
        if (v < 3) return bad[(r >> 8) % 4];
        if (!open(q)) return static_cast<int32_t>((r >> 8) % 4);
        MSlot &m = slot(q);
        int32_t used[128];
        int32_t count = 0;
        for (int32_t s = 0; s < 128; ++s) {
            if (m.sessions[static_cast<size_t>(s)].in_use != 0) used[count++] = s;
        }
        if (v < 75 && count > 0) return used[(r >> 8) % static_cast<uint32_t>(count)];
        return static_cast<int32_t>((r >> 8) %
                                    static_cast<uint32_t>(std::max(0, m.max_sessions) + 2));
    }
    int64_t timestamp(uint32_t r) {
        const uint32_t v = r % 100;
        if (v == 0) return 0;
        if (v == 1) return clock_ - 300;
        clock_ += (r >> 8) % 2500;
        return clock_;
    }

    // ---- set-up and tear-down ---------------------------------------------------------

    bool allocate(const Config &c, int32_t *id) {
        const int32_t want = model_alloc(c);
        const int32_t got =
            c.dynamic
                ? f_.dynamic_alloc(c.k, c.w, c.max_sessions, c.reserve, c.no_block, c.sharable)
                : f_.alloc_queue(c.size, c.max_sessions, c.reserve, c.no_block, c.sharable);
        SAME(got, want, "allocation");
        *id = got;
        if (got >= 0) adopt_ts(got, 0);
        return true;
    }

    bool set_up() {
        const int count = 2 + static_cast<int>(rng_.below(3));
        for (int i = 0; i < count; ++i) {
            Config c = config_from(rng_.u32(), rng_.u32(), f_.shared);
            if (trace != nullptr) trace->push_back("set-up: " + describe(c));
            int32_t q = -1;
            if (!allocate(c, &q)) return false;
            if (q < 0) {
                c.dynamic = false;
                c.size = 8 * 32;
                if (!allocate(c, &q)) return false;
            }
            if (q < 0) return fail("cannot allocate the campaign's queues");
            queues_.push_back(q);
        }
        return check_all();
    }

    // Empties every queue (clean), frees it, and checks the ledger's totals.
    bool tear_down() {
        for (int32_t q : queues_) {
            int32_t n = 0;
            uint64_t *a = f_.clean(q, &n);
            MSlot &m = slot(q);
            std::vector<uint64_t> want;
            if (m.dynamic != 0) {
                const int32_t w = (m.wr + m.node_num - m.tail + 1) % m.node_num;
                for (int32_t k = 0, i = m.tail; k < w; ++k, i = (i + 1) % m.node_num) {
                    want.push_back(m.nodes[static_cast<size_t>(i)].obj);
                    empty(m.nodes[static_cast<size_t>(i)]);
                }
            }
            std::vector<uint64_t> got(a, a + (a != nullptr ? n : 0));
            std::free(a);
            if (got != want) return fail("the final clean of queue " + show(q) + " differs");
            for (uint64_t h : got) {
                if (!leave(h, q, kArray)) return false;
            }
            if (!check_queue(q)) return false;
            if (!free_queue(q)) return false;
        }
        queues_.clear();
        uint64_t total = 0;
        for (uint64_t c : fig.places)
            total += c;
        if (total != fig.handles)
            return fail(std::to_string(fig.handles - total) + " handle(s) unaccounted at the end");
        return true;
    }

    bool free_queue(int32_t q) {
        MSlot &m = slot(q);
        for (const MNode &n : m.nodes) {
            if (!leave(n.obj, q, kFreed)) return false;
        }
        f_.free_queue(q);
        m.allocated = false;
        m.nodes.clear();
        return true;
    }

    // After a failure: whatever the campaign allocated is freed, whatever the state.
    void release_everything() {
        for (int32_t q : queues_) {
            if (f_.node_num(q) >= 0 && (!f_.shared || gsq_c_ready(q) == 1)) f_.free_queue(q);
        }
        queues_.clear();
    }

    // ---- one step ---------------------------------------------------------------------

    bool step(const Op &op) {
        const int32_t q = pick_queue(op.r[0]);
        const bool null_pointer = op.r[3] % 40 == 0;
        skipped_ = false;
        note_.clear();
        const bool uses_pointer = op.kind == kRead || op.kind == kLook || op.kind == kPeek ||
                                  op.kind == kAvailable || op.kind == kLookBack ||
                                  op.kind == kResize || op.kind == kClean || op.kind == kStatus;
        if (op.kind != kFreeRealloc && op.kind != kBadAlloc)
            note("q %d%s: ", q, uses_pointer && null_pointer ? " (a null pointer)" : "");
        bool ok = true;
        switch (op.kind) {
            case kWrite:
            case kWriteNoGiveBack:
                ok = write(op, q);
                break;
            case kRead:
                ok = read(q, null_pointer);
                break;
            case kLook:
                ok = look(op, q, null_pointer);
                break;
            case kReady:
                ok = open(q) ? ready(q) : same(f_.ready_to_read(q), -1, "ready");
                break;
            case kCreate:
                ok = create(q);
                break;
            case kDestroy:
                ok = destroy(q, pick_session(q, op.r[1]));
                break;
            case kSeek:
                ok = seek(q, pick_session(q, op.r[1]));
                break;
            case kReset:
                ok = reset(q, pick_session(q, op.r[1]));
                break;
            case kPeek:
                ok = peek(q, pick_session(q, op.r[1]), null_pointer);
                break;
            case kAvailable:
                ok = available(q, pick_session(q, op.r[1]), null_pointer);
                break;
            case kCounters:
                ok = counters(q, pick_session(q, op.r[1]));
                break;
            case kSharable:
                ok = sharable(op, q);
                break;
            case kLookBack:
                ok = look_back(op, q, pick_session(q, op.r[1]), null_pointer);
                break;
            case kResize:
                ok = resize(op, q, null_pointer);
                break;
            case kClean:
                ok = clean(q, null_pointer);
                break;
            case kSizeByTime:
                ok = size_by_time(op, q);
                break;
            case kStatus:
                ok = status(q, null_pointer);
                break;
            case kChange:
                ok = change(op, q);
                break;
            case kFreeRealloc:
                ok = free_realloc(op);
                break;
            case kLockUnlock:
                ok = lock_unlock(q);
                break;
            case kNodeNum:
                ok = node_num(q);
                break;
            case kBadAlloc:
                ok = bad_alloc(op);
                break;
            case kKinds:
                break;
        }
        if (!skipped_) ++fig.done[op.kind];
        if (trace != nullptr) trace->push_back(std::string(kKindName[op.kind]) + " " + note_);
        return ok;
    }

    bool refused(Kind k) {
        ++fig.refused[k];
        note(" refused");
        return true;
    }
    // The operation would block in the library (single-threaded, nobody would wake it): it
    // is left out.
    bool skipped(Kind k) {
        ++fig.skipped[k];
        note("would wait, left out");
        skipped_ = true;
        return true;
    }

    static int64_t writer_lead(int32_t rd, int32_t wr, int32_t n) {
        return rd > wr ? int64_t{wr} + n - rd : int64_t{wr} - rd;
    }

    bool write(const Op &op, int32_t q) {
        const bool give_back = op.kind == kWrite;
        const uint64_t obj = op.r[1] % 100 == 0 ? kNone : next_handle_++;
        const int64_t ts = timestamp(op.r[2]);
        uint64_t back = 0x5a5a;
        if (!open(q)) {
            SAME(f_.write(q, obj, give_back ? &back : nullptr, ts), -1, "refused write");
            if (give_back) SAME(back, kNone, "refused write's give-back");
            return refused(op.kind);
        }
        MSlot &m = slot(q);
        const int32_t n = m.node_num;
        const int32_t next = (m.wr + 1) % n;
        if (m.no_block == 0 && m.nodes[static_cast<size_t>(next)].state == NODE_WRITTEN &&
            int64_t{n} - m.reserve < writer_lead(m.rd, m.wr, n))
            return skipped(op.kind);  // it would wait for the main reader

        uint64_t want_back = kNone;
        const int32_t old_tail = m.tail;
        int32_t new_tail = -1;
        uint64_t declined = kNone;
        if (m.dynamic != 0) {
            new_tail = (old_tail + 1) % n;
            MNode &leaving = m.nodes[static_cast<size_t>(old_tail)];
            if (give_back) {
                want_back = leaving.obj;
                empty(leaving);
            } else {
                declined = leaving.obj;  // leaves the window, stays in the node
            }
        } else if (give_back) {
            want_back = m.nodes[static_cast<size_t>(next)].obj;
        }
        for (QueueSession &s : m.sessions) {
            if (s.in_use != 0 && s.pk != -1 && s.pk == old_tail) s.pk = new_tail;
        }
        MNode &node = m.nodes[static_cast<size_t>(next)];
        // The node after wr lies outside a dynamic window: whatever it holds was let go when it
        // left the window (declined, or left outside by a node-count change) and is written
        // over. A plain write with give-back hands it back instead.
        const uint64_t overwritten = (m.dynamic == 0 && give_back) ? kNone : node.obj;
        m.wr = next;
        node.state = NODE_WRITTEN;
        node.obj = obj;
        node.seq = static_cast<int64_t>(m.write_seq++);
        if (m.dynamic != 0) {
            node.ts = ts;
            m.tail = new_tail;
        }

        note("obj %s ts %lld -> node %d seq %lld, gives back %s, overwrites %s", show(obj).c_str(),
             static_cast<long long>(ts), next, static_cast<long long>(node.seq),
             show(want_back).c_str(), show(overwritten).c_str());
        g_returned.clear();
        SAME(f_.write(q, obj, give_back ? &back : nullptr, ts), 0, "write");
        if (give_back) SAME(back, want_back, "the handle given back");
        if (!g_returned.empty())
            return fail("the write gave " + std::to_string(g_returned.size()) +
                        " handle(s) to olk_return; only a node-count change gives any");
        if (!leave(want_back, q, kWriter)) return false;
        if (declined != kNone) ledger_[declined].declined = true;
        if (overwritten != kNone && !leave(overwritten, q, kDeclined)) return false;
        return enter(obj, q);
    }

    bool read(int32_t q, bool null_pointer) {
        uint64_t obj = 0x5a5a;
        if (null_pointer || !open(q)) {
            SAME(f_.read(q, null_pointer ? nullptr : &obj), -1, "refused read");
            if (!null_pointer) SAME(obj, kNone, "refused read's handle");
            return refused(kRead);
        }
        MSlot &m = slot(q);
        const int32_t next = (m.rd + 1) % m.node_num;
        MNode &node = m.nodes[static_cast<size_t>(next)];
        if (node.state != NODE_WRITTEN) return skipped(kRead);  // it would wait for a write
        m.rd = next;
        node.state = NODE_READ;
        SAME(f_.read(q, &obj), 0, "read");
        SAME(obj, node.obj, "the handle read");
        return seen_in(obj, q);
    }

    bool look(const Op &op, int32_t q, bool null_pointer) {
        const int32_t backs[] = {
            0, 1, 2, -3, INT32_MIN, INT32_MAX, static_cast<int32_t>(op.r[1] % 40)};
        const int32_t back = backs[op.r[2] % 7];
        uint64_t obj = 0x5a5a;
        if (null_pointer || !open(q)) {
            SAME(f_.look(q, back, null_pointer ? nullptr : &obj), -1, "refused look");
            if (!null_pointer) SAME(obj, kNone, "refused look's handle");
            return refused(kLook);
        }
        MSlot &m = slot(q);
        const int64_t n = m.node_num;
        const int64_t i = ((int64_t{m.rd} - back) % n + n) % n;
        SAME(f_.look(q, back, &obj), 0, "look");
        SAME(obj, m.nodes[static_cast<size_t>(i)].obj, "the handle looked at");
        return seen_in(obj, q);
    }

    bool ready(int32_t q) {
        MSlot &m = slot(q);
        const int32_t next = (m.rd + 1) % m.node_num;
        SAME(f_.ready_to_read(q), m.nodes[static_cast<size_t>(next)].state == NODE_WRITTEN ? 1 : 0,
             "ready to read");
        return true;
    }

    bool create(int32_t q) {
        if (!open(q)) {
            SAME(f_.create_session(q), -1, "refused create");
            return refused(kCreate);
        }
        MSlot &m = slot(q);
        int32_t want = -1;
        for (int32_t s = 0; s < std::min(m.max_sessions, 128); ++s) {
            QueueSession &ss = m.sessions[static_cast<size_t>(s)];
            if (ss.in_use != 0) continue;
            ss.in_use = 1;
            ss.live_count = 0;
            ss.pk = m.wr;
            ss.cur_seq = -1;
            if (m.wr >= 0 && m.nodes[static_cast<size_t>(m.wr)].state != NODE_EMPTY)
                ss.cur_seq = m.nodes[static_cast<size_t>(m.wr)].seq;
            want = s;
            break;
        }
        note("session %d", want);
        SAME(f_.create_session(q), want, "create session");
        return true;
    }

    bool destroy(int32_t q, int32_t s) {
        if (!open(q) || !session_id(s)) {
            SAME(f_.destroy_session(q, s), -1, "refused destroy");
            return refused(kDestroy);
        }
        MSlot &m = slot(q);
        note("session %d", s);
        int32_t want = -1;
        if (s < m.max_sessions) {
            m.sessions[static_cast<size_t>(s)].in_use = 0;
            want = 0;
        }
        SAME(f_.destroy_session(q, s), want, "destroy session");
        return true;
    }

    bool seek(int32_t q, int32_t s) {
        note("session %d", s);
        f_.seek(q, s);
        if (!open(q) || !session_id(s)) return refused(kSeek);
        MSlot &m = slot(q);
        QueueSession &ss = m.sessions[static_cast<size_t>(s)];
        const bool valid = m.wr >= 0 && m.wr < m.node_num;
        ss.pk = valid ? m.wr : -1;
        ss.cur_seq = valid ? m.nodes[static_cast<size_t>(m.wr)].seq : -1;
        return true;
    }

    bool reset(int32_t q, int32_t s) {
        if (!open(q) || !session_id(s)) {
            SAME(f_.reset_peek(q, s), -1, "refused reset");
            return refused(kReset);
        }
        note("session %d", s);
        slot(q).sessions[static_cast<size_t>(s)].pk = -1;
        SAME(f_.reset_peek(q, s), 0, "reset peek");
        return true;
    }

    // The node a peek of session s would take: its index, -1 when it answers "none" at once,
    // -2 when it would wait.
    int32_t peek_choice(MSlot &m, const QueueSession &ss) {
        const int32_t n = m.node_num;
        int32_t pk = ss.pk;
        if (pk < -1 || pk >= n) pk = -1;  // a stale position counts as none
        int32_t i = (pk + 1) % n;
        if (m.dynamic != 0 && m.wr >= 0) {
            if (pk < 0) {
                i = -1;
                for (int32_t k = 0, j = m.tail; k < n; ++k, j = (j + 1) % n) {
                    const MNode &node = m.nodes[static_cast<size_t>(j)];
                    if (node.state != NODE_EMPTY && node.seq > ss.cur_seq) {
                        i = j;
                        break;
                    }
                }
                if (i < 0) return -1;
            } else {
                const bool inside =
                    m.wr > m.tail ? (m.tail <= pk && pk <= m.wr) : !(m.wr < pk && pk < m.tail);
                if (!inside) i = m.wr;
            }
        }
        const MNode &node = m.nodes[static_cast<size_t>(i)];
        if (node.state == NODE_EMPTY || !(ss.cur_seq < node.seq)) return -2;
        return i;
    }

    bool peek(int32_t q, int32_t s, bool null_pointer) {
        uint64_t obj = 0x5a5a;
        int32_t gap = 77;
        const bool null_gap = null_pointer && (s & 1) != 0;
        bool refuse = null_pointer || !open(q) || !session_id(s);
        if (!refuse) {
            MSlot &m = slot(q);
            refuse = m.sharable != 0 && m.sessions[static_cast<size_t>(s)].in_use == 0;
        }
        if (refuse) {
            SAME(f_.peek(q, s, null_pointer && !null_gap ? nullptr : &obj,
                         null_gap ? nullptr : &gap),
                 0, "refused peek");
            if (!null_pointer || null_gap) SAME(obj, kNone, "refused peek's handle");
            SAME(gap, 77, "refused peek's gap flag");
            return refused(kPeek);
        }
        MSlot &m = slot(q);
        QueueSession &ss = m.sessions[static_cast<size_t>(s)];
        const int32_t i = peek_choice(m, ss);
        note("session %d (pk %d cur %lld) takes node %d", s, ss.pk,
             static_cast<long long>(ss.cur_seq), i);
        if (i == -2) return skipped(kPeek);  // it would wait for a newer node
        if (i == -1) {
            SAME(f_.peek(q, s, &obj, &gap), 0, "peek that finds nothing");
            SAME(obj, kNone, "handle of a peek that finds nothing");
            SAME(gap, 77, "gap of a peek that finds nothing");
            return true;
        }
        MNode &node = m.nodes[static_cast<size_t>(i)];
        const int64_t old = ss.cur_seq;
        const int32_t want_gap = (old < 1 || old + 1 == node.seq) ? 0 : 1;
        const uint64_t want = node.obj;
        ss.pk = i;
        ss.cur_seq = node.seq;
        ss.live_count += 1;
        if (m.sharable == 0) node.obj = kNone;
        SAME(f_.peek(q, s, &obj, &gap), 0, "peek");
        SAME(obj, want, "the handle peeked");
        SAME(gap, want_gap, "the gap flag");
        return m.sharable == 0 ? leave(obj, q, kConsumer) : seen_in(obj, q);
    }

    // The data-available answer of session s: result and code.
    std::pair<int32_t, int32_t> availability(int32_t q, int32_t s) {
        if (!session_id(s) || !in_table(q)) return {0, -1};
        MSlot &m = slot(q);
        if (!m.allocated) return {0, -2};
        const QueueSession &ss = m.sessions[static_cast<size_t>(s)];
        if (m.sharable != 0 && ss.in_use == 0) return {0, -3};
        if (ss.looking_back != 0) return {0, -4};
        if (m.wr == -1) return {0, 0};
        if (ss.pk == -1) return {1, 1};
        const int32_t n = m.node_num;
        if (ss.pk < -1 || ss.pk >= n) return {0, 0};
        const int32_t i = (ss.pk + 1) % n;
        const MNode &node = m.nodes[static_cast<size_t>(i)];
        if (node.state == NODE_EMPTY || node.seq <= ss.cur_seq) return {0, 0};
        return {1, (m.wr - i + n + 1) % n};
    }

    bool available(int32_t q, int32_t s, bool null_pointer) {
        if (null_pointer) {
            SAME(f_.data_available(q, s, nullptr), 0, "data available without a count");
            return refused(kAvailable);
        }
        int32_t count = 77;
        const auto want = availability(q, s);
        SAME(f_.data_available(q, s, &count), want.first, "data available");
        SAME(count, want.second, "data available's count");
        if (want.second < 0) return refused(kAvailable);
        return true;
    }

    bool counters(int32_t q, int32_t s) {
        if (!open(q) || !session_id(s)) {
            SAME(f_.cur_seq(q, s), int64_t{-1}, "refused cur_seq");
            SAME(f_.live_count(q, s), uint64_t{0}, "refused live count");
            return refused(kCounters);
        }
        const QueueSession &ss = slot(q).sessions[static_cast<size_t>(s)];
        SAME(f_.cur_seq(q, s), ss.cur_seq, "cur_seq");
        SAME(f_.live_count(q, s), ss.live_count, "live count");
        return true;
    }

    bool sharable(const Op &op, int32_t q) {
        const int32_t flags[] = {0, 1, 5, -1};
        const int32_t flag = flags[op.r[1] % 4];
        if (!open(q)) {
            SAME(f_.set_sharable(q, flag), -1, "refused set sharable");
            SAME(f_.is_sharable(q), -1, "refused is sharable");
            return refused(kSharable);
        }
        MSlot &m = slot(q);
        SAME(f_.is_sharable(q), m.sharable, "is sharable");
        if (op.r[2] % 4 == 0) return true;  // a look only
        m.sharable = flag;
        SAME(f_.set_sharable(q, flag), 0, "set sharable");
        SAME(f_.is_sharable(q), flag, "is sharable after set");
        return true;
    }

    bool look_back(const Op &op, int32_t q, int32_t s, bool null_pointer) {
        int32_t nn = 77, qn = 77;
        // An end without a begin releases nothing.
        if (op.r[2] % 5 == 0) SAME(f_.end_look_back(q, s), -1, "end without begin");
        const bool refuse = null_pointer || !open(q) || !session_id(s) ||
                            slot(q).sessions[static_cast<size_t>(s)].looking_back != 0;
        if (refuse) {
            SAME(f_.begin_look_back(q, s, null_pointer ? nullptr : &nn, &qn), -1,
                 "refused begin look-back");
            SAME(qn, 77, "refused begin's quarter_num");
            uint64_t obj = 0;
            if (!open(q) || !session_id(s)) {
                SAME(f_.look_back(q, s, &obj), -1, "refused look-back step");
                SAME(obj, kNone, "refused look-back step's handle");
            }
            return refused(kLookBack);
        }
        MSlot &m = slot(q);
        QueueSession &ss = m.sessions[static_cast<size_t>(s)];
        ss.looking_back = 1;
        ss.pk = m.wr;
        ss.cur_seq = m.wr >= 0 ? m.nodes[static_cast<size_t>(m.wr)].seq : -1;
        SAME(f_.begin_look_back(q, s, &nn, &qn), 0, "begin look-back");
        // From here the queue's lock is held: only operations without the lock may run, and
        // the bracket is always closed, also when a check fails.
        struct Closer {
            const FamilyApi &f;
            int32_t q, s;
            bool open = true;
            ~Closer() {
                if (open) f.end_look_back(q, s);
            }
        } closer{f_, q, s};
        SAME(nn, m.node_num, "begin's node_num");
        SAME(qn, m.quarter_num, "begin's quarter_num");
        SAME(f_.begin_look_back(q, s, &nn, &qn), -1, "a second begin of the same session");
        int32_t count = 77;
        const auto want = availability(q, s);
        SAME(f_.data_available(q, s, &count), want.first, "data available in a look-back");
        SAME(count, want.second, "data available's code in a look-back");
        const int32_t n = m.node_num;
        const uint32_t steps = op.r[1] % static_cast<uint32_t>(n + 3);
        for (uint32_t k = 0; k < steps; ++k) {
            int32_t want_rc;
            uint64_t want_obj = kNone;
            if (ss.pk < 0 || ss.pk >= n) {
                want_rc = -1;
            } else {
                const int32_t i = (ss.pk + n - 1) % n;
                const MNode &node = m.nodes[static_cast<size_t>(i)];
                if (node.state == NODE_EMPTY) {
                    want_rc = 1;
                } else {
                    want_obj = node.obj;
                    ss.pk = i;
                    ss.cur_seq = node.seq;
                    want_rc = i == m.tail ? 1 : 0;
                }
            }
            uint64_t obj = 0x5a5a;
            SAME(f_.look_back(q, s, &obj), want_rc, "look-back step");
            SAME(obj, want_obj, "look-back step's handle");
            if (!seen_in(obj, q)) return false;
        }
        closer.open = false;
        ss.looking_back = 0;
        SAME(f_.end_look_back(q, s), 0, "end look-back");
        SAME(f_.end_look_back(q, s), -1, "a second end");
        return true;
    }

    bool resize(const Op &op, int32_t q, bool null_pointer) {
        int32_t count = 77;
        const int32_t n = open(q) ? slot(q).node_num : 8;
        const int32_t sizes[] = {
            -1, 0, 1, 2, n - 1, n, n + 3, static_cast<int32_t>(op.r[1] % static_cast<uint32_t>(n))};
        const int32_t nw = sizes[op.r[2] % 8];
        if (null_pointer || !open(q) || nw < 0 || n <= nw || slot(q).dynamic == 0) {
            uint64_t *a = f_.resize(q, nw, null_pointer ? nullptr : &count);
            const bool none = a == nullptr;
            std::free(a);
            SAME(none, true, "refused resize gives no array");
            SAME(count, 77, "refused resize's count");
            return refused(kResize);
        }
        MSlot &m = slot(q);
        const int32_t window = (m.wr + n - m.tail + 1) % n;
        note("window %d -> %d", window, nw);
        std::vector<uint64_t> want;
        int32_t want_count = 0;
        if (nw < window) {
            want_count = window - nw;
            int32_t i = m.tail;
            for (int32_t k = 0; k < want_count; ++k, i = (i + 1) % n) {
                want.push_back(m.nodes[static_cast<size_t>(i)].obj);
                empty(m.nodes[static_cast<size_t>(i)]);
            }
            m.tail = i;
        } else {
            m.tail = (m.tail + n - nw + window) % n;
        }
        uint64_t *a = f_.resize(q, nw, &count);
        const bool none = a == nullptr;
        std::vector<uint64_t> got(a, a + (a != nullptr ? count : 0));
        std::free(a);
        SAME(count, want_count, "resize's count");
        SAME(none, want.empty(), "resize gives an array exactly when handles drop out");
        if (got != want) return fail("resize handed back other handles than the model's");
        for (uint64_t h : got) {
            if (!leave(h, q, kArray)) return false;
        }
        return true;
    }

    bool clean(int32_t q, bool null_pointer) {
        int32_t count = 77;
        if (null_pointer || !open(q)) {
            uint64_t *a = f_.clean(q, null_pointer ? nullptr : &count);
            const bool none = a == nullptr;
            std::free(a);
            SAME(none, true, "refused clean gives no array");
            SAME(count, 77, "refused clean's count");
            return refused(kClean);
        }
        MSlot &m = slot(q);
        const int32_t n = m.node_num;
        const int32_t window = m.dynamic != 0 ? (m.wr + n - m.tail + 1) % n : 0;
        std::vector<uint64_t> want;
        for (int32_t k = 0, i = m.tail; k < window; ++k, i = (i + 1) % n) {
            want.push_back(m.nodes[static_cast<size_t>(i)].obj);
            empty(m.nodes[static_cast<size_t>(i)]);
        }
        uint64_t *a = f_.clean(q, &count);
        std::vector<uint64_t> got(a, a + (a != nullptr ? count : 0));
        std::free(a);
        SAME(count, window, "clean's count");
        if (got != want) return fail("clean handed back other handles than the model's");
        for (uint64_t h : got) {
            if (!leave(h, q, kArray)) return false;
        }
        return true;
    }

    bool size_by_time(const Op &op, int32_t q) {
        const int32_t durations[] = {-5, 0, 1, 150, 1000, static_cast<int32_t>(op.r[1] % 3000)};
        const int32_t d = durations[op.r[2] % 6];
        if (!open(q)) {
            SAME(f_.size_by_time(q, d), 0, "refused size by time");
            return refused(kSizeByTime);
        }
        MSlot &m = slot(q);
        const int32_t n = m.node_num, w = m.wr;
        int32_t want = 0;
        if (d >= 1 && w >= 0) {
            int32_t i = (w - 1 + n) % n;
            const int64_t t_start = m.nodes[static_cast<size_t>(i)].ts;
            if (i != w && t_start != 0) {
                int32_t count = 0;
                int64_t prev = t_start;
                for (;;) {
                    ++count;
                    i = (i - 1 + n) % n;
                    if (i == w) break;
                    const int64_t t = m.nodes[static_cast<size_t>(i)].ts;
                    if (t == 0 || t > prev || t > t_start || prev - t > 2000) break;
                    prev = t;
                }
                if (prev < t_start) {
                    const int64_t e = int64_t{count} * d / (t_start - prev);
                    want = static_cast<int32_t>(std::min<int64_t>(e, n - 1));
                }
            }
        }
        SAME(f_.size_by_time(q, d), want, "size by time");
        return true;
    }

    bool status(int32_t q, bool null_pointer) {
        QueueStatus st, before;
        std::memset(&st, 0x5a, sizeof st);
        before = st;
        if (null_pointer || !open(q)) {
            SAME(f_.queue_status(q, null_pointer ? nullptr : &st), -1, "refused status");
            if (std::memcmp(&st, &before, sizeof st) != 0)
                return fail("a refused status wrote its record");
            return refused(kStatus);
        }
        MSlot &m = slot(q);
        SAME(f_.queue_status(q, &st), 0, "status");
        SAME(st.rd, m.rd, "status rd");
        SAME(st.wr, m.wr, "status wr");
        SAME(st.tail, m.tail, "status tail");
        SAME(st.max_sessions, m.max_sessions, "status max_sessions");
        if (std::memcmp(st.sessions, m.sessions.data(), sizeof st.sessions) != 0)
            return fail("status sessions differ from the model's");
        return true;
    }

    bool change(const Op &op, int32_t q) {
        const uint32_t v = op.r[1] % 100;
        int32_t m_nodes = 1 + static_cast<int32_t>(op.r[2] % 40);
        if (v < 5) m_nodes = 0;                            // below 32 bytes: refused
        if (f_.shared && v >= 5 && v < 8) m_nodes = 1025;  // beyond a shared slot: refused
        if (f_.shared && v >= 8 && v < 10) m_nodes = 1024;
        const uint32_t size = static_cast<uint32_t>(m_nodes) * 32 + (op.r[3] >> 8) % 32;
        if (!open(q) || m_nodes == 0 || (f_.shared && m_nodes > 1024)) {
            SAME(f_.change_queue_size(q, size), -1, "refused node-count change");
            return refused(kChange);
        }
        MSlot &m = slot(q);
        const int32_t n = m.node_num, w = m.wr, M = m_nodes;
        if (M == n) {
            SAME(f_.change_queue_size(q, size), 0, "node-count change to the same count");
            return true;
        }
        const bool shrink = M < n;
        if (shrink) {
            for (const QueueSession &s : m.sessions) {
                if (s.in_use != 0 && s.pk != -1 && s.pk != w && (n + w - s.pk) % n >= M)
                    return skipped(kChange);  // it would wait for that session
            }
        }
        const int32_t first = shrink ? (n + w - M + 1) % n : (w + 1) % n;
        const int32_t scanned = shrink ? M : n;
        std::vector<MNode> kept;
        std::vector<int32_t> kept_upto(static_cast<size_t>(scanned));
        int32_t i = first;
        for (int32_t k = 0; k < scanned; ++k, i = (i + 1) % n) {
            if (m.nodes[static_cast<size_t>(i)].state != NODE_EMPTY)
                kept.push_back(m.nodes[static_cast<size_t>(i)]);
            kept_upto[static_cast<size_t>(k)] = static_cast<int32_t>(kept.size());
        }
        std::vector<uint64_t> want_returned;
        if (shrink) {
            for (int32_t k = 0; k < n - M; ++k, i = (i + 1) % n) {
                if (m.nodes[static_cast<size_t>(i)].state != NODE_EMPTY)
                    want_returned.push_back(m.nodes[static_cast<size_t>(i)].obj);
            }
        }
        const auto K = static_cast<int32_t>(kept.size());
        const int32_t window = (w + n - m.tail + 1) % n;
        note("%d -> %d nodes (wr %d tail %d rd %d), keeps %d from %d", n, M, w, m.tail, m.rd, K,
             first);
        for (int32_t s = 0; s < 128; ++s) {
            if (m.sessions[static_cast<size_t>(s)].in_use != 0)
                note(", session %d pk %d", s, m.sessions[static_cast<size_t>(s)].pk);
        }
        for (QueueSession &s : m.sessions) {
            if (s.in_use == 0) {
                if (s.pk >= M) s.pk = -1;  // a free slot never names a node beyond the ring
                continue;
            }
            if (s.pk == -1) continue;
            const int32_t moved = K - 1 - (w + n - s.pk) % n;
            s.pk = moved < 0 ? -1 : moved;
        }
        // The main reader stays behind the same node; a dynamic window keeps its size as far
        // as the new ring allows.
        if (m.rd >= 0 && m.rd < n) {
            const int32_t along = (m.rd + n - first) % n;
            m.rd = along >= scanned ? -1 : kept_upto[static_cast<size_t>(along)] - 1;
        } else {
            m.rd = -1;
        }
        if (m.dynamic != 0) {
            const int32_t kept_window = std::min(window, M - 1);
            m.tail = (K - kept_window + M) % M;
        } else if (m.tail < 0 || m.tail >= M) {
            m.tail = 0;
        }
        std::vector<MNode> ring(static_cast<size_t>(M));
        for (int32_t j = 0; j < K; ++j)
            ring[static_cast<size_t>(j)] = kept[static_cast<size_t>(j)];
        m.nodes = ring;
        m.wr = K - 1;
        m.node_num = M;
        m.quarter_num = M / 4;

        g_returned.clear();
        SAME(f_.change_queue_size(q, size), 0, "node-count change");
        adopt_ts(q, K);  // the new places keep whatever time they held
        if (g_returned != want_returned)
            return fail("olk_return received " + std::to_string(g_returned.size()) +
                        " handle(s), the model expected " + std::to_string(want_returned.size()));
        for (uint64_t h : g_returned) {
            if (h == kNone) ++fig.returned_none;
            if (!leave(h, q, kReturned)) return false;
        }
        g_returned.clear();
        return true;
    }

    bool free_realloc(const Op &op) {
        const size_t index = op.r[0] % queues_.size();
        const int32_t q = queues_[index];
        const int32_t old_nodes = slot(q).node_num;
        if (!free_queue(q)) return false;
        // A freed slot refuses everything; the shared one still tells its node count.
        uint64_t back = 5, obj = 5;
        int32_t gap = 77, count = 77;
        SAME(f_.write(q, 1, &back, 1), -1, "write to a freed queue");
        SAME(back, kNone, "give-back of a write to a freed queue");
        SAME(f_.peek(q, 0, &obj, &gap), 0, "peek of a freed queue");
        SAME(obj, kNone, "handle of a peek of a freed queue");
        SAME(gap, 77, "gap flag of a peek of a freed queue");
        SAME(f_.data_available(q, 0, &count), 0, "data available of a freed queue");
        SAME(count, -2, "data available's code of a freed queue");
        SAME(f_.node_num(q), f_.shared ? old_nodes : -1, "node count of a freed queue");
        if (f_.shared) SAME(gsq_c_ready(q), 0, "a freed slot's ready test");
        Config c = config_from(op.r[1], op.r[2], f_.shared);
        note("frees queue %d, allocates %s", q, describe(c).c_str());
        int32_t id = -1;
        if (!allocate(c, &id)) return false;
        if (id < 0) {
            c.dynamic = false;
            c.size = 8 * 32;
            if (!allocate(c, &id)) return false;
        }
        if (id < 0) return fail("cannot allocate again");
        queues_[index] = id;
        if (f_.shared) SAME(gsq_c_ready(id), 1, "a new queue's ready test");
        return true;
    }

    bool lock_unlock(int32_t q) {
        const int32_t want = open(q) ? 0 : -1;
        SAME(f_.lock(q), want, "lock");
        SAME(f_.unlock(q), want, "unlock");
        return want == 0 ? true : refused(kLockUnlock);
    }

    bool node_num(int32_t q) {
        int32_t want = -1;
        if (f_.shared) {
            if (in_table(q)) want = slot(q).node_num;
        } else if (open(q)) {
            want = slot(q).node_num;
        }
        SAME(f_.node_num(q), want, "node count");
        if (f_.shared) SAME(gsq_c_ready(q), open(q) ? 1 : 0, "ready test of a slot");
        return true;
    }

    bool bad_alloc(const Op &op) {
        const int32_t lowest = lowest_free();
        switch (op.r[1] % 4) {
            case 0:
                SAME(f_.alloc_queue(op.r[2] % 32, 4, 0, 1, 1), -1, "allocation below one node");
                break;
            case 1:
                SAME(f_.dynamic_alloc(-1, 3, 4, 0, 1, 1), -1, "dynamic allocation of -1");
                break;
            case 2:
                SAME(f_.dynamic_alloc(f_.shared ? 256 : INT32_MAX, 3, 4, 0, 1, 1), -1,
                     "dynamic allocation too large");
                break;
            default:
                f_.free_queue(-1);
                f_.free_queue(f_.queue_count);
                break;
        }
        SAME(lowest_free(), lowest, "the lowest free slot after a refused allocation");
        Records r;
        if (lowest >= 0 && records_of(f_.shared, lowest, &r))
            SAME(r.hdr->allocated, 0, "a refused allocation took a slot");
        return refused(kBadAlloc);
    }

    const FamilyApi &f_;
    Rng rng_;
    bool skipped_ = false;
    std::map<int32_t, MSlot> slots_;
    std::vector<int32_t> queues_;
    std::unordered_map<uint64_t, Entry> ledger_;
    std::map<int32_t, size_t> ring_count_;
    std::unordered_set<uint64_t> seen_;
    uint64_t next_handle_ = 0x1000;
    int64_t clock_ = 100000;
    const Op *op_ = nullptr;
    std::string note_;
#undef SAME
#undef SAME_AT
};

// ---- the campaign -------------------------------------------------------------------------

class Conservation : public brenn_test::FamilyTest {
  protected:
    // A clean start for each run: the shared system is made anew (numbering from 0); local
    // queues were all freed by the run before.
    void fresh() {
        if (!f().shared) return;
        gsq_c_destroy();
        brenn_test::remove_shared_objects();
        ASSERT_EQ(gsq_c_create(), 0);
    }

    bool run(uint64_t seed, const std::vector<Op> &ops, Sequence **keep = nullptr,
             std::vector<std::string> *trace = nullptr) {
        fresh();
        g_at_seed.store(seed);
        auto *r = new Sequence(f(), seed);
        r->trace = trace;
        const bool ok = r->execute(ops);
        if (keep != nullptr) {
            *keep = r;
        } else {
            delete r;
        }
        return ok;
    }

    // Shrinks a failing list: drops chunks of operations while the run still fails, and cuts
    // the list after the failing step.
    std::vector<Op> shrink(uint64_t seed, std::vector<Op> ops, size_t failed_at) {
        ops.resize(std::min(ops.size(), failed_at + 1));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (size_t chunk = ops.size() / 2; chunk >= 1;) {
            bool removed = false;
            for (size_t start = 0; start < ops.size();) {
                if (std::chrono::steady_clock::now() > deadline) return ops;
                std::vector<Op> candidate(ops.begin(), ops.begin() + static_cast<long>(start));
                const size_t end = std::min(ops.size(), start + chunk);
                candidate.insert(candidate.end(), ops.begin() + static_cast<long>(end), ops.end());
                Sequence *r = nullptr;
                if (!run(seed, candidate, &r)) {
                    candidate.resize(std::min(candidate.size(), r->failed_at + 1));
                    ops = candidate;
                    removed = true;
                } else {
                    start += chunk;
                }
                delete r;
            }
            if (!removed) chunk /= 2;
        }
        return ops;
    }
};

TEST_P(Conservation, EveryHandleInExactlyOnePlace) {
    setenv("OLK_LOG_QUIET", "1", 1);
    static Watchdog dog(10, 86400, where_we_are, brenn_test::remove_shared_objects);
    g_watchdog = &dog;
    g_at_shared.store(f().shared);
    const uint64_t base = campaign_seed();
    const auto steps = static_cast<size_t>(env_u64("BRENN_STEPS", 2000));
    const uint64_t sequences = env_u64("BRENN_SEQUENCES", 6);
    std::printf("conservation[%s]: seed 0x%" PRIx64 " (replay with BRENN_SEED=0x%" PRIx64
                "), %" PRIu64 " sequences of %zu steps\n",
                f().name, base, base, sequences, steps);
    Figures total;
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < sequences; ++i) {
        const uint64_t seed = Rng(base + i).next();
        const std::vector<Op> ops = make_ops(seed, steps);
        Sequence *r = nullptr;
        const bool ok = run(seed, ops, &r);
        total.add(r->fig);
        const std::string why = r->failure;
        const size_t at = r->failed_at;
        delete r;
        if (ok) continue;
        std::printf("sequence %" PRIu64 " (seed 0x%" PRIx64 ") failed at step %zu: %s\n", i, seed,
                    at, why.c_str());
        const std::vector<Op> small = shrink(seed, ops, at);
        Sequence *again = nullptr;
        std::vector<std::string> trace;
        run(seed, small, &again, &trace);
        std::string listing;
        for (const std::string &line : trace)
            listing += "  " + line + "\n";
        ADD_FAILURE() << "conservation[" << f().name << "] sequence seed 0x" << std::hex << seed
                      << std::dec << " fails at step " << at << ": " << why << "\nshrunk to "
                      << small.size() << " operations, failing at step " << again->failed_at << ": "
                      << again->failure << "\n"
                      << listing;
        delete again;
        break;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("conservation[%s]: %" PRIu64 " sequences, %" PRIu64 " steps, %" PRIu64
                " handles tracked in %.1f s (largest ring %" PRIu64 " nodes)\n",
                f().name, total.sequences, total.steps, total.handles, seconds, total.largest_ring);
    std::printf("  where the handles went:");
    for (int p = 0; p < kPlaces; ++p)
        std::printf(" %s %" PRIu64 ";", kPlaceName[p], total.places[p]);
    std::printf(" (all-ones given to olk_return: %" PRIu64 ")\n", total.returned_none);
    std::printf("  operations (done/refused/would wait):");
    for (int k = 0; k < kKinds; ++k)
        std::printf(" %s %" PRIu64 "/%" PRIu64 "/%" PRIu64 ";", kKindName[k], total.done[k],
                    total.refused[k], total.skipped[k]);
    std::printf("\n");
    EXPECT_GT(total.handles, 0u);
}

BRENN_BOTH_FAMILIES(Conservation);

// The two shortest sequences that lose a handle of a dynamic ring whose writer always takes its
// handles back. Every handle must come back once: to olk_return, to the writer, or from a
// clean.
class LostHandles : public brenn_test::FamilyTest {};

// A node-count change that shrinks a dynamic ring whose window is full keeps the newest nodes
// that fit the ring; the window of the new ring holds one node less than the ring, so the
// oldest node kept lies outside it, and the next write writes over its handle: only the change
// gives handles to olk_return.
TEST_P(LostHandles, ShrinkingAFullDynamicRingLeavesTheOldestKeptHandleToBeWrittenOver) {
    setenv("OLK_LOG_QUIET", "1", 1);
    const int32_t q = dyn(3, 3);  // four nodes, a window of three
    ASSERT_GE(q, 0);
    std::vector<uint64_t> back;
    for (uint64_t h = 1; h <= 3; ++h) {
        uint64_t b = 0;
        ASSERT_EQ(f().write(q, h, &b, 0), 0);
        back.push_back(b);
    }
    g_returned.clear();
    ASSERT_EQ(f().change_queue_size(q, 2 * 32), 0);
    back.insert(back.end(), g_returned.begin(), g_returned.end());
    g_returned.clear();
    uint64_t b = 0;
    ASSERT_EQ(f().write(q, 4, &b, 0), 0);
    back.push_back(b);
    back.insert(back.end(), g_returned.begin(), g_returned.end());
    int32_t n = 0;
    uint64_t *a = f().clean(q, &n);
    back.insert(back.end(), a, a + (a != nullptr ? n : 0));
    std::free(a);
    std::vector<uint64_t> handles;
    for (uint64_t h : back)
        if (h != kNone) handles.push_back(h);
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(handles, (std::vector<uint64_t>{1, 3, 4})) << "handle 2 is written over";
}

// A window of 0: every write hands back what the node it overwrites held. A window that grows
// again leaves the node after wr outside it, and the next write writes over its handle.
TEST_P(LostHandles, GrowingAWindowOfZeroLeavesTheNodeAfterWrToBeWrittenOver) {
    const int32_t q = dyn(3, 3);  // four nodes, a window of three
    ASSERT_GE(q, 0);
    std::vector<uint64_t> back;
    int32_t n = 0;
    std::free(f().resize(q, 0, &n));  // three empty nodes
    g_returned.clear();
    for (uint64_t h = 1; h <= 5; ++h) {
        if (h == 5) {
            EXPECT_EQ(f().resize(q, 3, &n), nullptr);  // the window grows back to three
        }
        uint64_t b = 0;
        ASSERT_EQ(f().write(q, h, &b, 0), 0);
        back.push_back(b);
    }
    back.insert(back.end(), g_returned.begin(), g_returned.end());
    uint64_t *a = f().clean(q, &n);
    back.insert(back.end(), a, a + (a != nullptr ? n : 0));
    std::free(a);
    std::vector<uint64_t> handles;
    for (uint64_t h : back)
        if (h != kNone) handles.push_back(h);
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(handles, (std::vector<uint64_t>{2, 3, 4, 5})) << "handle 1 is written over";
    EXPECT_TRUE(g_returned.empty()) << "a write gives nothing to olk_return";
}

BRENN_BOTH_FAMILIES(LostHandles);

}  // namespace
}  // namespace brenn_campaign
