// queue_fuzz_driver.h - the operation driver of the fuzz targets, shared by both families:
// each target hands it its family's table of C functions (tests/common/family_api.h) and the
// limits of local_queue_fuzz.cpp or shared_queue_fuzz.cpp.
//
// The driver calls the family's C interface with random operations and random, often invalid,
// arguments: queue ids that are negative, huge, free or real, sizes, windows, session ids,
// durations, dump lengths and node-count changes. The process has one thread, so a call that
// waited would wait for ever: before every call that can wait (a read, a peek, a write to a
// ring that applies back-pressure, a shrinking node-count change) the driver makes sure with
// calls that cannot wait that the wait would end at once, and skips the call otherwise.
// Refused calls cannot wait, so they are always made. A look-back is always ended in the
// operation that began it; every handle array is freed; every queue is freed at the end of
// each input.
//
// Besides the sanitizers' findings, a few things the library promises are checked after
// every operation on a queue (positions inside the ring, refusals answering what the header
// says); a broken promise aborts with a message.
#ifndef BRENN_QUEUE_FUZZ_DRIVER_H
#define BRENN_QUEUE_FUZZ_DRIVER_H

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "common/family_api.h"

namespace queue_fuzz {

// What the driver may ask of a family beyond its table of functions (family_api.h).
struct FuzzLimits {
    const char *target;         // the program's name, for the messages of a broken promise
    int32_t max_plain_nodes;    // a plain allocation's node count is capped here
    int32_t max_dynamic_count;  // a dynamic allocation refuses node counts above this
    int32_t max_change_nodes;   // a node-count change refuses counts above this
};

// What the driver knows about a queue that no call tells: the flags it was made with.
struct Known {
    int32_t reserve;
    int32_t no_block;
    bool dynamic;
};

// The program's name for the messages of a broken promise.
inline const char *g_target = "queue_fuzz";

[[noreturn]] inline void broken(const char *what, int32_t q, long long value) {
    std::fprintf(stderr, "%s: %s (queue %d, value %lld)\n", g_target, what, q, value);
    std::abort();
}

inline void require(bool ok, const char *what, int32_t q, long long value = 0) {
    if (!ok) broken(what, q, value);
}

// The largest sizes that the driver asks for: rings are zero-filled at allocation, so a
// count near the interface's limit would only measure memory.
constexpr uint32_t kMaxBytes = 1u << 16;
constexpr int32_t kMaxNodeCount = 2048;
constexpr size_t kMaxQueues = 24;
constexpr int kMaxOperations = 300;

class Driver {
  public:
    Driver(const brenn_test::FamilyApi &f, const FuzzLimits &limits, FuzzedDataProvider &in)
        : f_(f), limits_(limits), in_(in) {
        g_target = limits.target;
    }

    void run() {
        for (int n = 0; n < kMaxOperations && in_.remaining_bytes() > 0; ++n)
            step();
        for (const auto &[q, known] : queues_) {
            check(q);
            f_.free_queue(q);
            require(!open(q), "freed queue still open", q);
        }
        queues_.clear();
    }

  private:
    const brenn_test::FamilyApi &f_;
    const FuzzLimits &limits_;
    FuzzedDataProvider &in_;
    std::map<int32_t, Known> queues_;
    bool table_filled_ = false;

    // ---- arguments ----------------------------------------------------------------------

    int32_t any_int() {
        switch (in_.ConsumeIntegralInRange(0, 7)) {
            case 0:
                return -1;
            case 1:
                return INT32_MIN;
            case 2:
                return INT32_MAX;
            case 3:
                return 0;
            case 4:
                return in_.ConsumeIntegral<int32_t>();
            default:
                return in_.ConsumeIntegralInRange(-4, 40);
        }
    }

    // Mostly a queue this input made; else an id that is free, outside the table or odd.
    int32_t queue_id() {
        if (!queues_.empty() && in_.ConsumeIntegralInRange(0, 3) != 0) {
            auto it = queues_.begin();
            std::advance(it, in_.ConsumeIntegralInRange<size_t>(0, queues_.size() - 1));
            return it->first;
        }
        switch (in_.ConsumeIntegralInRange(0, 5)) {
            case 0:
                return -1;
            case 1:
                return INT32_MIN;
            case 2:
                return f_.queue_count;
            case 3:
                return f_.queue_count - 1;
            case 4:
                return in_.ConsumeIntegral<int32_t>();
            default:
                return in_.ConsumeIntegralInRange(0, f_.queue_count - 1);
        }
    }

    int32_t session_id() {
        switch (in_.ConsumeIntegralInRange(0, 9)) {
            case 0:
                return -1;
            case 1:
                return BRENN_MAX_SESSIONS;
            case 2:
                return BRENN_MAX_SESSIONS - 1;
            case 3:
                return in_.ConsumeIntegral<int32_t>();
            default:
                return in_.ConsumeIntegralInRange(0, 5);
        }
    }

    uint32_t byte_size() {
        switch (in_.ConsumeIntegralInRange(0, 5)) {
            case 0:
                return in_.ConsumeIntegralInRange<uint32_t>(0, 31);  // no node at all
            case 1:
                return in_.ConsumeIntegralInRange<uint32_t>(0, kMaxBytes);
            default:
                return in_.ConsumeIntegralInRange<uint32_t>(1, 40) * BRENN_NODE_SIZE;
        }
    }

    int32_t node_count() {
        switch (in_.ConsumeIntegralInRange(0, 7)) {
            case 0:
                return -1;
            case 1:
                return INT32_MIN;
            case 2:
                return INT32_MAX;  // too large for a 32-bit byte size
            case 3:
                return static_cast<int32_t>(UINT32_MAX / BRENN_NODE_SIZE);  // just too large
            case 4:
                return in_.ConsumeIntegralInRange(
                    0, std::min(kMaxNodeCount, limits_.max_dynamic_count + 1));
            default:
                return in_.ConsumeIntegralInRange(0, 40);
        }
    }

    // ---- what the calls that cannot wait tell --------------------------------------------

    bool open(int32_t q) { return f_.allocated(q); }

    QueueStatus status(int32_t q) {
        QueueStatus st;
        std::memset(&st, 0x5a, sizeof st);
        require(f_.queue_status(q, &st) == 0, "status of an open queue refused", q);
        return st;
    }

    // The positions the header promises: -1 or inside the ring.
    void check(int32_t q) {
        if (!open(q)) return;
        const int32_t n = f_.node_num(q);
        const QueueStatus st = status(q);
        const auto inside = [n](int32_t i) { return i >= -1 && i < n; };
        require(inside(st.rd), "rd outside the ring", q, st.rd);
        require(inside(st.wr), "wr outside the ring", q, st.wr);
        require(inside(st.tail), "tail outside the ring", q, st.tail);
        require(st.max_sessions <= BRENN_MAX_SESSIONS, "max_sessions above 128", q,
                st.max_sessions);
        for (const QueueSession &ss : st.sessions) {
            if (ss.in_use) require(inside(ss.pk), "a session's pk outside the ring", q, ss.pk);
            require(ss.looking_back == 0, "a look-back left open", q);
        }
    }

    const Known *known(int32_t q) {
        auto it = queues_.find(q);
        return it == queues_.end() ? nullptr : &it->second;
    }

    // A write waits while the next node is unread and the writer's lead leaves fewer than
    // `reserve` nodes, unless no_block is set.
    bool write_cannot_wait(int32_t q) {
        const Known *k = known(q);
        if (k == nullptr) return false;
        if (k->no_block != 0) return true;
        const int64_t n = f_.node_num(q);
        const QueueStatus st = status(q);
        const int64_t lead = st.rd > st.wr ? int64_t{st.wr} + n - st.rd : int64_t{st.wr} - st.rd;
        if (n - k->reserve >= lead) return true;
        // The next node is the main reader's next one: the ready test tells its state.
        return st.wr == st.rd && f_.ready_to_read(q) == 0;
    }

    // A peek waits while the node it chose is empty or not newer than the session's last.
    bool peek_cannot_wait(int32_t q, int32_t s) {
        if (static_cast<uint32_t>(s) >= BRENN_MAX_SESSIONS) return true;  // refused
        const Known *k = known(q);
        if (k == nullptr) return !open(q);
        const QueueStatus st = status(q);
        const QueueSession &ss = st.sessions[s];
        if (f_.is_sharable(q) != 0 && ss.in_use == 0) return true;  // refused
        int32_t count = 0;
        const bool next_is_new = f_.data_available(q, s, &count) == 1;
        if (!k->dynamic || st.wr < 0) {
            // The node after pk; with no position node 0, which holds the first write of a
            // plain ring for as long as wr >= 0, newer than a session that never took one.
            if (ss.pk >= 0) return next_is_new;
            return k->dynamic ? false : (st.wr >= 0 && ss.cur_seq == -1);
        }
        if (ss.pk < 0) return true;  // a scan of the window: found or given up at once
        const bool inside = st.wr > st.tail ? (st.tail <= ss.pk && ss.pk <= st.wr)
                                            : !(st.wr < ss.pk && ss.pk < st.tail);
        return inside && next_is_new;
    }

    // A shrinking change waits while a session would lose its node.
    bool shrink_held_back(int32_t q, int32_t m, std::vector<int32_t> *lagging) {
        const int32_t n = f_.node_num(q);
        if (m >= n) return false;
        const QueueStatus st = status(q);
        for (int32_t s = 0; s < BRENN_MAX_SESSIONS; ++s) {
            const QueueSession &ss = st.sessions[s];
            if (ss.in_use == 0 || ss.pk == -1 || ss.pk == st.wr) continue;
            if ((n + st.wr - ss.pk) % n >= m) lagging->push_back(s);
        }
        return !lagging->empty();
    }

    // A handle array must be as long as its count says: every entry is read.
    static void touch(const uint64_t *handles, int32_t count, int32_t q) {
        require(count > 0, "a handle array with no count", q, count);
        volatile uint64_t sum = 0;
        for (int32_t i = 0; i < count; ++i)
            sum = sum + handles[i];
    }

    // ---- operations ---------------------------------------------------------------------

    void remember(int32_t q, Known k) {
        if (q < 0) return;
        require(q < f_.queue_count, "allocation gave an id outside the table", q);
        require(queues_.count(q) == 0, "allocation gave a queue that was taken", q);
        queues_[q] = k;
    }

    void step() {
        switch (in_.ConsumeIntegralInRange(0, 21)) {
            case 0:
                alloc_plain();
                break;
            case 1:
                alloc_dynamic();
                break;
            case 2:
                free_queue();
                break;
            case 3:
            case 4:
                write();
                break;
            case 5:
                read();
                break;
            case 6:
                look();
                break;
            case 7:
                sessions();
                break;
            case 8:
            case 9:
                peek();
                break;
            case 10:
                data_available();
                break;
            case 11:
                counters_and_flags();
                break;
            case 12:
                look_back();
                break;
            case 13:
                resize();
                break;
            case 14:
                clean();
                break;
            case 15:
                size_by_time();
                break;
            case 16:
                change_size();
                break;
            case 17:
                dump();
                break;
            case 18:
                lock_unlock();
                break;
            case 19:
                fill_table();
                break;
            default:
                write();
                break;
        }
    }

    void alloc_plain() {
        if (queues_.size() >= kMaxQueues) return;
        const uint32_t size = byte_size();
        const Known k{any_int(), in_.ConsumeIntegralInRange(-1, 2), false};
        const int32_t q = f_.alloc_queue(size, any_int(), k.reserve, k.no_block, any_int());
        if (size < BRENN_NODE_SIZE) require(q == -1, "a ring without nodes was made", q, size);
        remember(q, k);
        if (q >= 0) {
            require(f_.node_num(q) == std::min(static_cast<int32_t>(size / BRENN_NODE_SIZE),
                                               limits_.max_plain_nodes),
                    "plain ring of another size", q, f_.node_num(q));
            check(q);
        }
    }

    void alloc_dynamic() {
        if (queues_.size() >= kMaxQueues) return;
        const int32_t count = node_count();
        const Known k{any_int(), in_.ConsumeIntegralInRange(-1, 2), true};
        const int32_t q =
            f_.dynamic_alloc(count, any_int(), any_int(), k.reserve, k.no_block, any_int());
        if (count < 0 || count > limits_.max_dynamic_count)
            require(q == -1, "bad node count taken", q, count);
        remember(q, k);
        if (q >= 0) {
            require(f_.node_num(q) == count + 1, "dynamic ring of another size", q, f_.node_num(q));
            check(q);
        }
    }

    void free_queue() {
        const int32_t q = queue_id();
        f_.free_queue(q);
        queues_.erase(q);
        require(!open(q), "a freed queue still answers", q);
    }

    void write() {
        const int32_t q = queue_id();
        if (open(q) && !write_cannot_wait(q)) return;
        uint64_t back = 0x1234;
        const bool give = in_.ConsumeBool();
        const uint64_t obj = in_.ConsumeBool() ? in_.ConsumeIntegral<uint64_t>()
                                               : in_.ConsumeIntegralInRange<uint64_t>(0, 99);
        int64_t ts = in_.ConsumeIntegral<int64_t>();
        if (in_.ConsumeBool()) ts = 1000 + in_.ConsumeIntegralInRange<int64_t>(0, 4000);
        const int32_t rc = f_.write(q, obj, give ? &back : nullptr, ts);
        if (!open(q)) {
            require(rc == -1 && (!give || back == BRENN_NO_HANDLE), "refused write", q, rc);
        } else {
            require(rc == 0, "write failed", q, rc);
        }
        check(q);
    }

    void read() {
        const int32_t q = queue_id();
        const bool null_obj = in_.ConsumeIntegralInRange(0, 7) == 0;
        uint64_t obj = 0x1234;
        if (open(q) && !null_obj) {
            if (f_.ready_to_read(q) != 1) return;
            require(f_.read(q, &obj) == 0, "read failed", q);
        } else {
            const int32_t rc = f_.read(q, null_obj ? nullptr : &obj);
            require(rc == -1 && (null_obj || obj == BRENN_NO_HANDLE), "refused read", q, rc);
        }
        check(q);
    }

    void look() {
        const int32_t q = queue_id();
        uint64_t obj = 0x1234;
        const bool null_obj = in_.ConsumeIntegralInRange(0, 7) == 0;
        const int32_t rc = f_.look(q, any_int(), null_obj ? nullptr : &obj);
        require(rc == (open(q) && !null_obj ? 0 : -1), "look", q, rc);
        const int32_t ready = f_.ready_to_read(q);
        require(open(q) ? ready == 0 || ready == 1 : ready == -1, "ready test", q, ready);
    }

    void sessions() {
        const int32_t q = queue_id();
        const int32_t s = session_id();
        switch (in_.ConsumeIntegralInRange(0, 3)) {
            case 0: {
                const int32_t made = f_.create_session(q);
                require(made >= -1 && made < BRENN_MAX_SESSIONS, "session id", q, made);
                break;
            }
            case 1:
                f_.destroy_session(q, s);
                break;
            case 2:
                f_.seek(q, s);
                break;
            default:
                f_.reset_peek(q, s);
                break;
        }
        check(q);
    }

    void peek() {
        const int32_t q = queue_id();
        const int32_t s = session_id();
        // A session without a position never waits on a dynamic queue: sometimes take that
        // road on purpose.
        if (known(q) != nullptr && known(q)->dynamic && in_.ConsumeBool()) f_.reset_peek(q, s);
        const int nulls = in_.ConsumeIntegralInRange(0, 9);
        uint64_t obj = 0x1234;
        int32_t gap = -7;
        if (nulls >= 2 && !peek_cannot_wait(q, s)) return;
        const int32_t rc = f_.peek(q, s, nulls == 0 ? nullptr : &obj, nulls == 1 ? nullptr : &gap);
        require(rc == 0, "peek answered other than 0", q, rc);
        if (nulls == 1) require(obj == BRENN_NO_HANDLE, "peek without a gap pointer", q);
        if (!open(q) || static_cast<uint32_t>(s) >= BRENN_MAX_SESSIONS) {
            require(nulls == 0 || (obj == BRENN_NO_HANDLE && gap == -7), "refused peek", q);
        }
        require(gap == -7 || gap == 0 || gap == 1, "gap flag", q, gap);
        check(q);
    }

    void data_available() {
        const int32_t q = queue_id();
        const int32_t s = session_id();
        int32_t count = 99;
        const int32_t rc = f_.data_available(q, s, in_.ConsumeBool() ? &count : nullptr);
        require(rc == 0 || rc == 1, "data available result", q, rc);
        if (count != 99) {
            require(count >= -4 && count <= std::max(f_.node_num(q), 1), "data available count", q,
                    count);
            require(rc == 0 || count >= 0, "data available with an error code", q, count);
        }
        if (!open(q) && count != 99) require(rc == 0 && count < 0, "refused data available", q);
    }

    void counters_and_flags() {
        const int32_t q = queue_id();
        const int32_t s = session_id();
        const int64_t seq = f_.cur_seq(q, s);
        const uint64_t live = f_.live_count(q, s);
        if (!open(q) || static_cast<uint32_t>(s) >= BRENN_MAX_SESSIONS) {
            require(seq == -1 && live == 0, "refused counters", q);
        }
        if (in_.ConsumeBool()) {
            const int32_t flag = any_int();
            const int32_t rc = f_.set_sharable(q, flag);
            if (open(q)) require(rc == 0 && f_.is_sharable(q) == flag, "sharable kept", q, flag);
        }
        require(f_.gnode_size() == BRENN_NODE_SIZE, "node size", q);
    }

    // begin, some steps, end: all in this operation, so the queue's lock never outlives it.
    void look_back() {
        const int32_t q = queue_id();
        const int32_t s = session_id();
        int32_t node_num = -7, quarter = -7;
        const bool nulls = in_.ConsumeIntegralInRange(0, 9) == 0;
        if (f_.begin_look_back(q, s, nulls ? nullptr : &node_num, &quarter) != 0) {
            require(f_.end_look_back(q, s) == -1, "end without a begin", q);
            return;
        }
        require(node_num >= 1 && quarter >= 0, "begin look-back sizes", q, node_num);
        const int steps = in_.ConsumeIntegralInRange(0, 2 * node_num + 2);
        for (int i = 0; i < steps && in_.remaining_bytes() > 0; ++i) {
            uint64_t obj = 0x1234;
            const int32_t r =
                f_.look_back(q, in_.ConsumeIntegralInRange(0, 15) == 0 ? session_id() : s, &obj);
            require(r >= -1 && r <= 1, "look-back step result", q, r);
            // -3 comes first for a session not in use on a sharable queue.
            int32_t count = 0;
            require(f_.data_available(q, s, &count) == 0 &&
                        (count == -4 || (count == -3 && f_.is_sharable(q) != 0)),
                    "data available inside a look-back", q, count);
        }
        require(f_.end_look_back(q, s) == 0, "end look-back", q);
        check(q);
    }

    void resize() {
        const int32_t q = queue_id();
        const int32_t window = any_int();
        int32_t count = -99;
        uint64_t *handles = f_.resize(q, window, &count);
        if (handles != nullptr) touch(handles, count, q);
        const Known *k = known(q);
        if (k == nullptr || !k->dynamic || window < 0) {
            require(handles == nullptr && count == -99, "resize of what it refuses", q, count);
        }
        std::free(handles);
        check(q);
    }

    void clean() {
        const int32_t q = queue_id();
        int32_t count = -99;
        uint64_t *handles = f_.clean(q, &count);
        if (handles != nullptr) touch(handles, count, q);
        const Known *k = known(q);
        if (k != nullptr && !k->dynamic)
            require(handles == nullptr && count == 0, "plain clean", q);
        std::free(handles);
        check(q);
    }

    // Callers keep duration x (node_num - 1) below 2^31: a larger product is outside the
    // interface.
    void size_by_time() {
        const int32_t q = queue_id();
        int32_t duration = any_int();
        if (open(q) && duration > 0) {
            duration = std::min(duration, INT32_MAX / std::max(f_.node_num(q) - 1, 1));
        }
        const int32_t e = f_.size_by_time(q, duration);
        if (!open(q)) require(e == 0, "estimate of a refused queue", q, e);
        require(e >= 0 && e <= std::max(f_.node_num(q) - 1, 0), "estimate range", q, e);
    }

    void change_size() {
        const int32_t q = queue_id();
        const uint32_t size = byte_size();
        const auto m = static_cast<int32_t>(size / BRENN_NODE_SIZE);
        if (open(q)) {
            std::vector<int32_t> lagging;
            if (shrink_held_back(q, m, &lagging)) {
                if (in_.ConsumeBool()) return;
                for (int32_t s : lagging)
                    f_.reset_peek(q, s);
            }
        }
        const int32_t before = f_.node_num(q);
        const int32_t rc = f_.change_queue_size(q, size);
        if (before < 1 || m == 0 || m > limits_.max_change_nodes)
            require(rc == -1, "change refused", q, rc);
        if (rc == 0) require(f_.node_num(q) == m, "node count after a change", q, m);
        if (rc != 0) require(f_.node_num(q) == before, "count after a refusal", q);
        check(q);
    }

    void dump() {
        const int32_t q = queue_id();
        int32_t len = in_.ConsumeIntegralInRange(-2, 4096);
        if (in_.ConsumeIntegralInRange(0, 15) == 0) len = INT32_MIN;
        std::vector<char> buf(static_cast<size_t>(std::max(len, 1)), 'Z');
        f_.dump(q, in_.ConsumeIntegralInRange(0, 15) == 0 ? nullptr : buf.data(), len);
        if (len < 1) {
            require(buf[0] == 'Z', "a dump wrote into a buffer of no room", q, len);
        } else if (buf[0] != 'Z') {
            require(std::memchr(buf.data(), '\0', buf.size()) != nullptr, "dump text unterminated",
                    q, len);
        }
    }

    void lock_unlock() {
        const int32_t q = queue_id();
        if (open(q)) {
            require(f_.lock(q) == 0, "lock", q);
            require(f_.unlock(q) == 0, "unlock", q);
        } else {
            require(f_.lock(q) == -1 && f_.unlock(q) == -1, "refused lock", q);
        }
    }

    // Every free slot taken with one-node rings, then given back: the table's end.
    // Fills every free slot, once per input at most: filling a table of a thousand slots
    // costs as much as the rest of an input, and a second fill finds nothing the first did
    // not.
    void fill_table() {
        if (in_.ConsumeIntegralInRange(0, 7) != 0 || table_filled_) return;
        table_filled_ = true;
        std::vector<int32_t> taken;
        for (;;) {
            const int32_t q = f_.alloc_queue(BRENN_NODE_SIZE, 1, 0, 1, 0);
            if (q < 0) break;
            require(queues_.count(q) == 0, "a taken slot allocated again", q);
            taken.push_back(q);
            require(taken.size() <= static_cast<size_t>(f_.queue_count), "more queues than slots",
                    q);
        }
        require(taken.size() + queues_.size() == static_cast<size_t>(f_.queue_count),
                "free slots left", -1, static_cast<long long>(taken.size()));
        require(f_.dynamic_alloc(1, 1, 1, 0, 1, 0) == -1, "allocation in a full table", -1);
        for (int32_t q : taken)
            f_.free_queue(q);
    }
};

// Runs one input's operations and frees every queue it made.
inline void run_input(const brenn_test::FamilyApi &family, const FuzzLimits &limits,
                      const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    Driver(family, limits, in).run();
}

}  // namespace queue_fuzz

#endif  // BRENN_QUEUE_FUZZ_DRIVER_H
