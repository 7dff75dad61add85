// The scenario runner: each row of a table is a short script of calls on one family, each call
// with the result it must give; the tables are run on both families. A script is a list of
// statements separated by ';'. A statement is an operation, its arguments and, after "->", the
// expected result as text; "L:" or "S:" in front runs it on the local or the shared family
// only. Handles are decimal, "-" is the all-ones handle (no buffer), and "." marks an
// out-parameter the call left alone.
//
//   plain N [r=R] [b] [s=S] [m=M] [bytes=B]   allocates N nodes (reserve, blocking writer,
//   dyn K W [same options]                    sharable value, max sessions; defaults 0, no,
//                                             1, 8) in a slot no earlier queue used; -> id
//   free | use I | lock | unlock              the I-th queue of the row becomes current
//   w H[..H2][@T[+D]]  | wn ...               writes with | without a give-back pointer;
//                                             -> the handles given back | the results
//   r [xN] | look B | ready                   -> handles | handle | 1 or 0
//   cs | ds S | seek S | rp S                 session create, destroy, seek, reset peek
//   p S [xN] [-h] [-g]                        peeks (-h, -g: without that pointer) -> H/G,...
//   da S [-c] | cur S | live S | sh F | sh?   data available -> R,C; counters; sharable
//   lb S | lk S [xN] | le S                   look-back begin -> N,K; steps -> H/R; end
//   rs W [-c] | cl [-c]                       resize, clean -> [h,h] | null/C | null/.
//   sbt D | st | pos S | use? S | num         size by time; status rd,wr,tail; a session's
//                                             pk,cur,live and in_use,looking_back;
//                                             node_num,quarter_num,write_seq
//   nc N | ncb B                              node-count change to N nodes | B bytes
//   id Q | nn                                 the current queue becomes id Q (any number, to
//                                             be refused); the node-count accessor
//   rdy | init | uninit | reset               shared only: gsq_c_ready, the lifecycle calls
//   seqs | objs | states                      the ring's nodes (states as e, w, r)
//   dump #I [LEN]                             prints the row's I-th text (LEN: the local
//                                             dump's buffer length)
//   con | dbg | ret | tim | sem                what went to log_Console | log_Debug |
//                                             olk_return | make_time_string2 since the last
//                                             look; the shared lock's lock,unlock,wait,signal
//                                             (rows give it to the shared family: "S: sem")
//   OP &  then  join -> R                     OP runs on a thread and must still be blocked
//                                             after 100 ms; join waits for the oldest one
//
// After every statement without a call pending, the queue's records must keep the header's
// invariants.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/family.h"
#include "common/recorded_calls.h"
#include "common/records.h"

namespace brenn_test {

struct Row {
    const char *name;
    const char *script;
    std::array<const char *, 6> texts{};  // what the row's dump statements print
};

inline std::string handle(uint64_t h) {
    return h == kNone ? "-" : std::to_string(h);
}
template <class T>
std::string joined(const std::vector<T> &items, const char *sep = ",") {
    std::string out;
    for (const T &x : items)
        out += (out.empty() ? "" : sep) + std::string(x);
    return out;
}

template <class F>
class Scenario {
  public:
    explicit Scenario(const Row &row) : row_(row) {}

    void run() {
        ASSERT_TRUE(F::up());
        take(&RecordedCalls::console), take(&RecordedCalls::debug), take(&RecordedCalls::returned);
        take(&RecordedCalls::semaphore), take(&RecordedCalls::times);
        std::stringstream script(row_.script);
        for (std::string text; std::getline(script, text, ';');) {
            const size_t arrow = text.find("->");
            std::string call = trim(text.substr(0, arrow));
            const std::string want = arrow == std::string::npos ? "" : trim(text.substr(arrow + 2));
            if (call.rfind("L:", 0) == 0 || call.rfind("S:", 0) == 0) {
                if ((call[0] == 'S') != F::shared) continue;
                call = trim(call.substr(2));
            }
            if (call.empty()) continue;
            SCOPED_TRACE(std::string(F::name) + " \"" + row_.name + "\": " + call);
            const std::string got = statement(call);
            if (arrow != std::string::npos) {
                EXPECT_EQ(got, want);
            }
            Records r;
            if (pending_.empty() && q_ >= 0 && records_of(F::shared, q_, &r) &&
                r.hdr->allocated != 0) {
                EXPECT_EQ(invariant_breach(r), "");
            }
        }
        if (!pending_.empty()) give_up(std::string(row_.name) + ": a call still blocked");
        for (int32_t q : fillers_)
            F::free_queue(q);
        for (int32_t q : queues_)
            if (!F::shared && F::node_num(q) >= 0) F::free_queue(q);
        F::down();
    }

  private:
    struct Pending {
        Blocked call;
        std::shared_ptr<std::string> result;
    };

    static std::string trim(const std::string &s) {
        const size_t a = s.find_first_not_of(" \n\t"), b = s.find_last_not_of(" \n\t");
        return a == std::string::npos ? "" : s.substr(a, b - a + 1);
    }
    static int64_t number(const std::string &s) { return std::strtoll(s.c_str(), nullptr, 0); }

    // The arguments after the operation, and the options of the form "name=value" or "name".
    struct Args {
        std::vector<std::string> words;
        int64_t at(size_t i) const { return i < words.size() ? number(words[i]) : 0; }
        bool has(const std::string &flag) const {
            for (const std::string &w : words)
                if (w == flag) return true;
            return false;
        }
        int64_t option(const std::string &name, int64_t fallback) const {
            for (const std::string &w : words)
                if (w.rfind(name + "=", 0) == 0) return number(w.substr(name.size() + 1));
            return fallback;
        }
        int repeat() const { return static_cast<int>(option("x", 1)); }
    };

    std::string statement(std::string call) {
        const bool async = call.back() == '&';
        if (async) call = trim(call.substr(0, call.size() - 1));
        std::stringstream in(call);
        std::string op;
        in >> op;
        Args a;
        for (std::string w; in >> w;)
            a.words.push_back(w[0] == 'x' && w.size() > 1 && isdigit(w[1]) ? "x=" + w.substr(1)
                                                                           : w);
        if (op == "join") {
            if (pending_.empty()) return "<nothing pending>";
            Pending p = std::move(pending_.front());
            pending_.pop_front();
            p.call.finish(std::string(row_.name) + ": the call joined");
            return *p.result;
        }
        if (!async) return operation(op, a);
        // Blocked means: on its thread, inside the call, and still there 100 ms later.
        auto result = std::make_shared<std::string>();
        auto called = std::make_shared<std::atomic<bool>>(false);
        Blocked b = start([this, op, a, result, called] {
            called->store(true);
            *result = operation(op, a);
        });
        for (int i = 0; i < 5000 && !called->load(); ++i)
            std::this_thread::sleep_for(1ms);
        EXPECT_TRUE(b.still_blocked(100ms)) << op << " returned " << *result;
        pending_.push_back({std::move(b), result});
        return "";
    }

    int32_t allocate(const std::string &op, const Args &a) {
        const int32_t max = static_cast<int32_t>(a.option("m", 8));
        const int32_t reserve = static_cast<int32_t>(a.option("r", 0));
        const int32_t no_block = a.has("b") ? 0 : 1,
                      sharable = static_cast<int32_t>(a.option("s", 1));
        if (!F::shared && queues_.empty()) fill_used_slots();
        const int32_t q =
            op == "plain"
                ? F::alloc_queue(static_cast<uint32_t>(a.option("bytes", a.at(0) * 32)), max,
                                 reserve, no_block, sharable)
                : F::dynamic_alloc(static_cast<int32_t>(a.at(0)), static_cast<int32_t>(a.at(1)),
                                   max, reserve, no_block, sharable);
        if (q >= 0) queues_.push_back(q), q_ = q;
        if (!F::shared) first_unused() = std::max(first_unused(), q + 1);
        return q;
    }
    // Local slots keep tail and the numbering of their earlier queues: a row starts above
    // every slot an earlier row used, with fillers holding the free slots below.
    static int32_t &first_unused() {
        static int32_t first = 0;
        return first;
    }
    void fill_used_slots() {
        for (int32_t x; (x = F::alloc_queue(32, 1, 0, 1, 1)) >= 0;) {
            if (x >= first_unused()) {
                F::free_queue(x);
                take(&RecordedCalls::console);  // its release line
                break;
            }
            fillers_.push_back(x);
        }
    }

    QueueStatus status() {
        QueueStatus s{};
        F::queue_status(q_, &s);
        return s;
    }
    Records records() {
        Records r;
        records_of(F::shared, q_, &r);
        return r;
    }
    static std::string array(uint64_t *a, int32_t count) {
        if (a == nullptr) return count == -7 ? "null/." : "null/" + std::to_string(count);
        std::vector<std::string> hs;
        for (int32_t i = 0; i < count; ++i)
            hs.push_back(handle(a[i]));
        std::free(a);
        return "[" + joined(hs) + "]";
    }
    static std::string with_result(std::string what, int32_t r) {
        return r == 0 ? what : what + "!" + std::to_string(r);
    }

    std::string operation(const std::string &op, const Args &a) {
        const auto s = static_cast<int32_t>(a.at(0));
        std::vector<std::string> out;
        if (op == "plain" || op == "dyn") return std::to_string(allocate(op, a));
        if (op == "free") return F::free_queue(q_), "";
        if (op == "use") return q_ = queues_.at(static_cast<size_t>(a.at(0))), "";
        if (op == "lock") return std::to_string(F::lock(q_));
        if (op == "unlock") return std::to_string(F::unlock(q_));
        if (op == "w" || op == "wn") {
            const std::string &range = a.words.at(0);
            const size_t at = range.find('@'), dots = range.find("..");
            const uint64_t first = number(range.substr(0, std::min(at, dots)));
            const uint64_t last =
                dots == std::string::npos ? first : number(range.substr(dots + 2, at - dots - 2));
            const std::string ts = at == std::string::npos ? "0" : range.substr(at + 1);
            const size_t plus = ts.find('+');
            int64_t t = number(ts.substr(0, plus));
            const int64_t step = plus == std::string::npos ? 0 : number(ts.substr(plus + 1));
            for (uint64_t h = first; h <= last; ++h, t += step) {
                uint64_t back = 0xbad;
                const int32_t r = F::write(q_, h, op == "w" ? &back : nullptr, t);
                out.push_back(op == "w" ? with_result(handle(back), r) : std::to_string(r));
            }
        } else if (op == "r") {
            for (int i = 0; i < a.repeat(); ++i) {
                uint64_t h = 0xbad;
                const int32_t r = F::read(q_, &h);
                out.push_back(with_result(handle(h), r));
            }
        } else if (op == "look") {
            uint64_t h = 0xbad;
            const int32_t r = F::look(q_, s, &h);
            return with_result(handle(h), r);
        } else if (op == "p") {
            for (int i = 0; i < a.repeat(); ++i) {
                uint64_t h = 0xbad;
                int32_t gap = -7;
                const int32_t r =
                    F::peek(q_, s, a.has("-h") ? nullptr : &h, a.has("-g") ? nullptr : &gap);
                const std::string g = a.has("-g") ? "_" : gap == -7 ? "." : std::to_string(gap);
                out.push_back(with_result((a.has("-h") ? "_" : handle(h)) + "/" + g, r));
            }
        } else if (op == "lk") {
            for (int i = 0; i < a.repeat(); ++i) {
                uint64_t h = 0xbad;
                const int32_t r = F::look_back(q_, s, &h);
                out.push_back(handle(h) + "/" + std::to_string(r));
            }
        } else if (op == "lb") {
            int32_t n = -7, k = -7;
            const int32_t r = F::begin_look_back(q_, s, &n, &k);
            return with_result(std::to_string(n) + "," + std::to_string(k), r);
        } else if (op == "da") {
            int32_t c = -7;
            const int32_t r = F::data_available(q_, s, a.has("-c") ? nullptr : &c);
            return std::to_string(r) + "," + (c == -7 ? "." : std::to_string(c));
        } else if (op == "rs" || op == "cl") {
            int32_t c = -7;
            uint64_t *arr = op == "rs" ? F::resize(q_, s, a.has("-c") ? nullptr : &c)
                                       : F::clean(q_, a.has("-c") ? nullptr : &c);
            return array(arr, c);
        } else if (op == "st") {
            const QueueStatus st = status();
            return std::to_string(st.rd) + "," + std::to_string(st.wr) + "," +
                   std::to_string(st.tail);
        } else if (op == "pos" || op == "use?") {
            const QueueSession ss = status().sessions[s];
            return op == "pos" ? std::to_string(ss.pk) + "," + std::to_string(ss.cur_seq) + "," +
                                     std::to_string(ss.live_count)
                               : std::to_string(ss.in_use) + "," + std::to_string(ss.looking_back);
        } else if (op == "num") {
            const QueueHeader &h = *records().hdr;
            return std::to_string(h.node_num) + "," + std::to_string(h.quarter_num) + "," +
                   std::to_string(h.write_seq);
        } else if (op == "seqs" || op == "objs" || op == "states") {
            const Records r = records();
            std::string states;
            for (int32_t i = 0; i < r.hdr->node_num; ++i) {
                const QueueNode &n = r.nodes[i];
                out.push_back(op == "seqs" ? std::to_string(n.seq) : handle(n.obj));
                states += "ewr"[n.state];
            }
            if (op == "states") return states;
        } else if (op == "dump") {
            const char *want = row_.texts.at(static_cast<size_t>(number(a.words.at(0).substr(1))));
            const auto len = static_cast<int32_t>(a.words.size() > 1 ? a.at(1) : 8192);
            EXPECT_EQ(F::dump(q_, len), want != nullptr ? want : "<no text>");
            return "";
        } else if (op == "con" || op == "dbg") {
            return joined(take(op == "con" ? &RecordedCalls::console : &RecordedCalls::debug), "|");
        } else if (op == "ret") {
            for (uint64_t h : take(&RecordedCalls::returned))
                out.push_back(handle(h));
        } else if (op == "tim") {
            for (int64_t t : take(&RecordedCalls::times))
                out.push_back(std::to_string(t));
        } else if (op == "sem") {
            const auto calls = take(&RecordedCalls::semaphore);
            int n[4] = {};
            for (const auto &[where, counts] : calls)
                for (int i = 0; i < 4; ++i)
                    n[i] += counts[static_cast<size_t>(i)];
            return std::to_string(n[0]) + "," + std::to_string(n[1]) + "," + std::to_string(n[2]) +
                   "," + std::to_string(n[3]);
        } else {
            return std::to_string(simple(op, a, s));
        }
        return joined(out);
    }

    // The calls that answer one number.
    int64_t simple(const std::string &op, const Args &a, int32_t s) {
        if (op == "ready") return F::ready_to_read(q_);
        if (op == "cs") return F::create_session(q_);
        if (op == "ds") return F::destroy_session(q_, s);
        if (op == "seek") return F::seek(q_, s), 0;
        if (op == "rp") return F::reset_peek(q_, s);
        if (op == "cur") return F::cur_seq(q_, s);
        if (op == "live") return static_cast<int64_t>(F::live_count(q_, s));
        if (op == "sh") return F::set_sharable(q_, s);
        if (op == "sh?") return F::is_sharable(q_);
        if (op == "le") return F::end_look_back(q_, s);
        if (op == "sbt") return F::size_by_time(q_, s);
        if (op == "nc") return F::change_queue_size(q_, static_cast<uint32_t>(a.at(0) * 32));
        if (op == "ncb") return F::change_queue_size(q_, static_cast<uint32_t>(a.at(0)));
        if (op == "id") return q_ = s;
        if (op == "nn") return F::node_num(q_);
        if (op == "rdy") return gsq_c_ready(q_);
        if (op == "init") return gsq_c_init();
        if (op == "uninit") return gsq_c_uninit();
        if (op == "reset") return gsq_c_reset();
        ADD_FAILURE() << "unknown operation " << op;
        return -999;
    }

    const Row &row_;
    int32_t q_ = -1;
    std::vector<int32_t> queues_, fillers_;
    std::deque<Pending> pending_;
};

template <class F, size_t N>
void run_rows(const Row (&rows)[N]) {
    for (const Row &row : rows)
        Scenario<F>(row).run();
}

}  // namespace brenn_test
