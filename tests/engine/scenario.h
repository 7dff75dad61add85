// The scenario runner. A row of a table is "[its name]" and a script of calls on one family,
// each with the result it must give; every table runs on both families. Statements are separated
// by ';': an operation, its arguments and, after "->", the expected result; "L:" or "S:" in front
// runs it on the local or the shared family only. Handles are decimal, "-" is the all-ones
// handle, "." an out-parameter left alone, "_" one passed as NULL, "!R" a result other than 0.
//   plain N | dyn K W [r=R reserve] [b blocking] [s=S sharable] [m=M sessions] [bytes=B]
//                      allocate in a slot no earlier row used (defaults 0, no, 1, 8) -> id
//   free | use I | id Q        free the queue; make the row's I-th queue or any id current
//   w H[..H2][@T[+D]] | wn ..  write with | without give-back pointer -> given back | results
//   r [xN] | look B | ready    read, look, ready to read
//   cs | ds S | seek S | rp S | cur S | live S | sh F | sh? | da S [-c]
//   p S [xN] [-h] [-g]         peek (-h, -g: that pointer NULL) -> handle/gap
//   lb S | lk S [xN] | le S    look-back begin -> node_num,quarter_num; step -> handle/result
//   rs W [-c] | cl [-c]        resize, clean -> [handles] | null/count
//   sbt D | nc N | ncb B | nn  size by time; node-count change to N nodes or B bytes; node_num
//   st | pos S | use? S | num  rd,wr,tail; pk,cur_seq,live_count; in_use,looking_back;
//                              node_num,quarter_num,write_seq
//   seqs | objs | states       the ring's nodes (states e, w, r)
//   dump #I [LEN]              the dump must print the row's I-th text (LEN: local buffer)
//   con | dbg | ret | tim | sem  log_Console, log_Debug, olk_return, make_time_string2 calls
//                              since the last look; the shared lock's lock,unlock,wait,signal
//   lock | unlock | rdy | init | uninit | reset    (the last four: shared family only)
//   OP & ... join -> R         OP runs on a thread, must still be inside the call 100 ms
//                              later, and join takes its result
// After every statement with no call pending, the queue's records keep the header's invariants.
// A program includes this header once: it defines and records the support library's calls the
// library makes (the semaphore calls are passed on to the stand-in); make_time_string2 answers
// "t" and the timestamp, so dump texts are known in advance.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <mutex>
#include <sstream>

#include "common/family.h"
#include "common/records.h"

namespace brenn_test {

struct Recorded {
    std::mutex mutex;
    std::vector<std::string> console, debug;
    std::vector<uint64_t> returned;
    std::vector<int64_t> times;  // the timestamps make_time_string2 was asked for
    std::vector<int> semaphore;  // 0 to 3: a vos_lock, vos_unlock, vos_wait or vos_signal call
};
inline Recorded recorded;

// Takes what was recorded since the last time, and forgets it.
template <class T>
T take(T Recorded::*what) {
    std::lock_guard<std::mutex> hold(recorded.mutex);
    return std::exchange(recorded.*what, T{});
}
template <class T, class V>
void note(std::vector<T> Recorded::*to, V v) {
    std::lock_guard<std::mutex> hold(recorded.mutex);
    (recorded.*to).emplace_back(v);
}
inline void note_line(std::vector<std::string> Recorded::*to, const char *fmt, va_list args) {
    char line[1024];
    std::vsnprintf(line, sizeof line, fmt, args);
    note(to, line);
}

struct Row {
    const char *script;
    std::array<const char *, 6> texts{};  // what the row's dump statements print
};

template <class F>
class Scenario {
  public:
    explicit Scenario(const Row &row)
        : name_(std::string(row.script).substr(1, std::string(row.script).find(']') - 1)),
          row_(row) {}

    void run() {
        ASSERT_TRUE(F::up());
        take(&Recorded::console), take(&Recorded::debug), take(&Recorded::returned);
        take(&Recorded::semaphore), take(&Recorded::times);
        std::stringstream script(std::string(row_.script).substr(name_.size() + 2));
        for (std::string text; std::getline(script, text, ';');) {
            const size_t arrow = text.find("->");
            std::string call = trim(text.substr(0, arrow));
            if (call.size() > 1 && call[1] == ':') {
                if ((call[0] == 'S') != F::shared) continue;
                call = trim(call.substr(2));
            }
            if (call.empty()) continue;
            SCOPED_TRACE(std::string(F::name) + " \"" + name_ + "\": " + call);
            const std::string got = statement(call);
            if (arrow != std::string::npos) {
                EXPECT_EQ(got, trim(text.substr(arrow + 2)));
            }
            Records r;
            if (pending_.empty() && q_ >= 0 && records_of(F::shared, q_, &r) && r.hdr->allocated) {
                EXPECT_EQ(invariant_breach(r), "");
            }
        }
        if (!pending_.empty()) give_up(name_ + ": a call still blocked");
        for (int32_t q : fillers_)
            F::free_queue(q);
        for (int32_t q : queues_)
            if (!F::shared) F::free_queue(q);
        F::down();
    }

  private:
    struct Args {
        std::vector<std::string> words;
        int64_t at(size_t i) const { return i < words.size() ? number(words[i]) : 0; }
        bool has(const char *flag) const { return std::count(words.begin(), words.end(), flag); }
        int64_t option(const std::string &name, int64_t fallback) const {
            for (const std::string &w : words)
                if (w.rfind(name + "=", 0) == 0) return number(w.substr(name.size() + 1));
            return fallback;
        }
    };

    static std::string trim(const std::string &s) {
        const size_t a = s.find_first_not_of(" \n\t"), b = s.find_last_not_of(" \n\t");
        return a == std::string::npos ? "" : s.substr(a, b - a + 1);
    }
    static int64_t number(const std::string &s) { return std::strtoll(s.c_str(), nullptr, 0); }
    static std::string with(std::string w, int32_t r) { return r ? w + "!" + csv(r) : w; }

    std::string statement(std::string call) {
        const bool async = call.back() == '&';
        std::stringstream in(async ? call.substr(0, call.size() - 1) : call);
        std::string op;
        Args a;
        in >> op;
        for (std::string w; in >> w;)
            a.words.push_back(w[0] == 'x' && w.size() > 1 && isdigit(w[1]) ? "x=" + w.substr(1)
                                                                           : w);
        if (op == "join") {
            if (pending_.empty()) return "<nothing pending>";
            auto [call_, result] = std::move(pending_.front());
            pending_.pop_front();
            call_.finish(name_ + ": the call joined");
            return *result;
        }
        if (!async) return operation(op, a);
        auto result = std::make_shared<std::string>();
        auto called = std::make_shared<std::atomic<bool>>(false);
        Blocked b = start([this, op, a, result, called] {
            called->store(true);
            *result = operation(op, a);
        });
        for (int i = 0; i < 5000 && !called->load(); ++i)
            std::this_thread::sleep_for(1ms);
        EXPECT_TRUE(b.still_blocked(100ms)) << op << " returned " << *result;
        pending_.emplace_back(std::move(b), result);
        return "";
    }

    // Local slots keep tail and the numbering of their earlier queues: a row's first queue
    // takes a slot above every slot an earlier row used, fillers holding the free ones below.
    int32_t allocate(const std::string &op, const Args &a) {
        static int32_t first_unused = 0;
        int32_t x = -1;
        while (!F::shared && queues_.empty() && (x = F::alloc_queue(32, 1, 0, 1, 1)) >= 0 &&
               x < first_unused)
            fillers_.push_back(x);
        if (x >= 0) F::free_queue(x), take(&Recorded::console);  // and its release line
        const auto m = int32_t(a.option("m", 8)), r = int32_t(a.option("r", 0));
        const int32_t no_block = !a.has("b"), sharable = int32_t(a.option("s", 1));
        const int32_t q = op == "plain" ? F::alloc_queue(uint32_t(a.option("bytes", a.at(0) * 32)),
                                                         m, r, no_block, sharable)
                                        : F::dynamic_alloc(int32_t(a.at(0)), int32_t(a.at(1)), m, r,
                                                           no_block, sharable);
        if (q >= 0) queues_.push_back(q), q_ = q;
        if (!F::shared) first_unused = std::max(first_unused, q + 1);
        return q;
    }

    std::string operation(const std::string &op, const Args &a) {
        const auto s = int32_t(a.at(0));
        const auto shown = [](int32_t v) { return v == -7 ? std::string(".") : csv(v); };
        std::vector<std::string> out;
        uint64_t h = 0xbad;
        int32_t c = -7, k = -7, r = 0, gap = -7, *c_out = a.has("-c") ? nullptr : &c;
        QueueStatus st{};
        Records rec;
        records_of(F::shared, q_, &rec);
        if (op == "plain" || op == "dyn") return csv(allocate(op, a));
        if (op == "free") return (F::free_queue(q_), "0");
        if (op == "use") return csv(q_ = queues_.at(size_t(s)));
        if (op == "id") return csv(q_ = s);
        if (op == "lock") return csv(F::lock(q_));
        if (op == "unlock") return csv(F::unlock(q_));
        if (op == "ready") return csv(F::ready_to_read(q_));
        if (op == "cs") return csv(F::create_session(q_));
        if (op == "ds") return csv(F::destroy_session(q_, s));
        if (op == "seek") return (F::seek(q_, s), "0");
        if (op == "rp") return csv(F::reset_peek(q_, s));
        if (op == "cur") return csv(F::cur_seq(q_, s));
        if (op == "live") return csv(int64_t(F::live_count(q_, s)));
        if (op == "sh") return csv(F::set_sharable(q_, s));
        if (op == "sh?") return csv(F::is_sharable(q_));
        if (op == "le") return csv(F::end_look_back(q_, s));
        if (op == "sbt") return csv(F::size_by_time(q_, s));
        if (op == "nc" || op == "ncb")
            return csv(F::change_queue_size(q_, uint32_t(a.at(0) * (op == "nc" ? 32 : 1))));
        if (op == "nn") return csv(F::node_num(q_));
        if (op == "rdy") return csv(gsq_c_ready(q_));
        if (op == "init") return csv(gsq_c_init());
        if (op == "uninit") return csv(gsq_c_uninit());
        if (op == "reset") return csv(gsq_c_reset());
        if (op == "w" || op == "wn") {
            const std::string &range = a.words.at(0);
            const auto after = [&range](const char *mark, int64_t otherwise) {
                const size_t at = range.find(mark);
                return at == std::string::npos ? otherwise
                                               : number(range.substr(at + strlen(mark)));
            };
            const int64_t first = number(range), last = after("..", first), step = after("+", 0);
            for (int64_t i = first, t = after("@", 0); i <= last; ++i, t += step) {
                r = F::write(q_, uint64_t(i), op == "w" ? &h : nullptr, t);
                out.push_back(op == "w" ? with(handle(h), r) : csv(r));
            }
        }
        for (int i = 0; i < a.option("x", 1) && (op == "r" || op == "lk" || op == "p"); ++i) {
            if (op == "r") r = F::read(q_, &h), out.push_back(with(handle(h), r));
            if (op == "lk") r = F::look_back(q_, s, &h), out.push_back(handle(h) + "/" + csv(r));
            if (op != "p") continue;
            gap = -7, r = F::peek(q_, s, a.has("-h") ? nullptr : &h, a.has("-g") ? nullptr : &gap);
            out.push_back(
                with((a.has("-h") ? "_" : handle(h)) + "/" + (a.has("-g") ? "_" : shown(gap)), r));
        }
        if (op == "look") return r = F::look(q_, s, &h), with(handle(h), r);
        if (op == "lb") return r = F::begin_look_back(q_, s, &c, &k), with(csv(c, k), r);
        if (op == "da") return r = F::data_available(q_, s, c_out), csv(r) + "," + shown(c);
        if (op == "rs" || op == "cl") {
            uint64_t *arr = op == "rs" ? F::resize(q_, s, c_out) : F::clean(q_, c_out);
            for (int32_t i = 0; arr != nullptr && i < c; ++i)
                out.push_back(handle(arr[i]));
            const std::string got = arr == nullptr ? "null/" + shown(c) : "[" + joined(out) + "]";
            return std::free(arr), got;
        }
        const auto ss = [&] { return st.sessions[s]; };  // only where s names a session
        if (op == "st") return F::queue_status(q_, &st), csv(st.rd, st.wr, st.tail);
        if (op == "pos")
            return F::queue_status(q_, &st), csv(ss().pk, ss().cur_seq, ss().live_count);
        if (op == "use?") return F::queue_status(q_, &st), csv(ss().in_use, ss().looking_back);
        if (op == "num") return csv(rec.hdr->node_num, rec.hdr->quarter_num, rec.hdr->write_seq);
        std::string states;
        for (int32_t i = 0;
             (op == "seqs" || op == "objs" || op == "states") && i < rec.hdr->node_num; ++i) {
            out.push_back(op == "seqs" ? csv(rec.nodes[i].seq) : handle(rec.nodes[i].obj));
            states += "ewr"[rec.nodes[i].state];
        }
        if (op == "states") return states;
        if (op == "dump") {
            const char *want = row_.texts.at(size_t(number(a.words.at(0).substr(1))));
            EXPECT_EQ(F::dump(q_, int32_t(a.words.size() > 1 ? a.at(1) : 8192)), want ? want : "");
        }
        if (op == "con" || op == "dbg")
            return joined(take(op == "con" ? &Recorded::console : &Recorded::debug), "|");
        for (uint64_t x : op == "ret" ? take(&Recorded::returned) : std::vector<uint64_t>{})
            out.push_back(handle(x));
        for (int64_t t : op == "tim" ? take(&Recorded::times) : std::vector<int64_t>{})
            out.push_back(csv(t));
        std::array<int, 4> calls{};
        for (int which : op == "sem" ? take(&Recorded::semaphore) : std::vector<int>{})
            ++calls[size_t(which)];
        if (op == "sem") return csv(calls[0], calls[1], calls[2], calls[3]);
        if (std::string(" w wn r lk p seqs objs dump ret tim ").find(" " + op + " ") ==
            std::string::npos)
            ADD_FAILURE() << "unknown operation " << op;
        return joined(out);
    }

    const std::string name_;
    const Row &row_;
    int32_t q_ = -1;
    std::vector<int32_t> queues_, fillers_;
    std::deque<std::pair<Blocked, std::shared_ptr<std::string>>> pending_;
};

template <class F, size_t N>
void run_rows(const Row (&rows)[N]) {
    for (const Row &row : rows)
        Scenario<F>(row).run();
}

}  // namespace brenn_test

#define BRENN_RECORD_LINE(fn, to)                                    \
    void fn(const char *fmt, ...) {                                  \
        va_list args;                                                \
        va_start(args, fmt);                                         \
        brenn_test::note_line(&brenn_test::Recorded::to, fmt, args); \
        va_end(args);                                                \
    }
#define BRENN_PASS_ON(fn, which)                                                            \
    int32_t fn(int32_t set, int32_t index) {                                                \
        static const auto real = reinterpret_cast<decltype(&fn)>(dlsym(RTLD_NEXT, #fn));    \
        return brenn_test::note(&brenn_test::Recorded::semaphore, which), real(set, index); \
    }
extern "C" {
void olk_return(uint64_t handle) {
    brenn_test::note(&brenn_test::Recorded::returned, handle);
}
void make_time_string2(char *buf, int64_t ts) {
    brenn_test::note(&brenn_test::Recorded::times, ts);
    std::snprintf(buf, 32, "t%lld", static_cast<long long>(ts));
}
BRENN_RECORD_LINE(log_Console, console)
BRENN_RECORD_LINE(log_Debug, debug)
BRENN_PASS_ON(vos_lock, 0)
BRENN_PASS_ON(vos_unlock, 1)
BRENN_PASS_ON(vos_wait, 2)
BRENN_PASS_ON(vos_signal, 3)
}

// A table's program: a watchdog, and its rows run as a typed test on both families.
#define SCENARIO_TABLE(Suite, rows)                                              \
    [[maybe_unused]] static const bool kWatchdog = brenn_test::arm_watchdog(60); \
    template <class F>                                                           \
    class Suite : public brenn_test::FamilyTest<F> {};                           \
    TYPED_TEST_SUITE(Suite, brenn_test::Families, brenn_test::FamilyName);       \
    TYPED_TEST(Suite, Scenarios) {                                               \
        brenn_test::run_rows<TypeParam>(rows);                                   \
    }
