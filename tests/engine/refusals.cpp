// Every export refuses what it cannot serve: a queue id outside the table, a free slot, a session
// id outside 0..127, and, for the shared family, a process that is not attached. A refused call
// answers as brenn.h says and touches nothing: no record, no lock, no line, no handle given
// back.
#include <cstring>
#include <map>

#include "common/family.h"
#include "common/recorded_calls.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_watchdog(60);

using Answers = std::map<std::string, std::string>;
constexpr int32_t kUntouched = 77;

std::string h(uint64_t v) {
    return v == kNone ? "-" : std::to_string(v);
}

// Every export that takes a queue id, called on (q, s), and what each answered; out-parameters
// start at 5 (handles) and 77 (counts) so that one left alone shows.
template <class F>
Answers call_everything(int32_t q, int32_t s, bool queue_calls) {
    Answers a;
    uint64_t obj = 5;
    int32_t x = kUntouched, y = kUntouched, r = 0;
    auto n = [](auto v) { return std::to_string(v); };
    // Each call is made before its out-parameters are read.
    auto with = [&](const char *name, int32_t result, std::string rest) {
        a[name] = n(result) + rest;
    };
    if (queue_calls) {
        a["lock"] = n(F::lock(q));
        a["unlock"] = n(F::unlock(q));
        r = F::write(q, 11, &obj, 3), with("write", r, " " + h(obj));
        obj = 5, r = F::read(q, &obj), with("read", r, " " + h(obj));
        obj = 5, r = F::look(q, 0, &obj), with("look", r, " " + h(obj));
        a["ready"] = n(F::ready_to_read(q));
        a["create session"] = n(F::create_session(q));
        a["set sharable"] = n(F::set_sharable(q, 0));
        a["is sharable"] = n(F::is_sharable(q));
        uint64_t *arr = F::resize(q, 1, &x);
        a["resize"] = (arr == nullptr ? "null " : "array ") + n(x);
        arr = F::clean(q, &x);
        a["clean"] = (arr == nullptr ? "null " : "array ") + n(x);
        a["size by time"] = n(F::size_by_time(q, 1000));
        QueueStatus st, before;
        std::memset(&st, 0x5a, sizeof st);
        before = st;
        r = F::queue_status(q, &st);
        with("status", r, std::memcmp(&st, &before, sizeof st) != 0 ? " written" : "");
        a["node count change"] = n(F::change_queue_size(q, 640));
        a["node num"] = n(F::node_num(q));
        a["dump"] = F::dump(q, 200);
    }
    a["destroy session"] = n(F::destroy_session(q, s));
    F::seek(q, s);
    a["reset peek"] = n(F::reset_peek(q, s));
    obj = 5, r = F::peek(q, s, &obj, &x), with("peek", r, " " + h(obj) + "/" + n(x));
    r = F::data_available(q, s, &x), with("data available", r, " " + n(x));
    a["cur seq"] = n(F::cur_seq(q, s));
    a["live count"] = n(F::live_count(q, s));
    x = kUntouched, r = F::begin_look_back(q, s, &x, &y);
    with("begin look-back", r, " " + n(x) + " " + n(y));
    obj = 5, r = F::look_back(q, s, &obj), with("look-back", r, " " + h(obj));
    a["end look-back"] = n(F::end_look_back(q, s));
    return a;
}

// What a refused call answers (brenn.h, "Refusals"), with the answers that depend on the cause.
Answers refused(bool queue_calls, const std::string &data_available, const std::string &node_num) {
    Answers a = {{"destroy session", "-1"},
                 {"reset peek", "-1"},
                 {"peek", "0 -/77"},
                 {"data available", "0 " + data_available},
                 {"cur seq", "-1"},
                 {"live count", "0"},
                 {"begin look-back", "-1 77 77"},
                 {"look-back", "-1 -"},
                 {"end look-back", "-1"}};
    if (!queue_calls) return a;
    a.insert({{"lock", "-1"},
              {"unlock", "-1"},
              {"write", "-1 -"},
              {"read", "-1 -"},
              {"look", "-1 -"},
              {"ready", "-1"},
              {"create session", "-1"},
              {"set sharable", "-1"},
              {"is sharable", "-1"},
              {"resize", "null 77"},
              {"clean", "null 77"},
              {"size by time", "0"},
              {"status", "-1"},
              {"node count change", "-1"},
              {"node num", node_num}});
    return a;
}

void forget_support_calls() {
    take(&RecordedCalls::console), take(&RecordedCalls::debug), take(&RecordedCalls::returned);
    take(&RecordedCalls::semaphore);
}

// Nothing reached the support library: no line, no handle, no semaphore call.
void expect_no_support_calls() {
    EXPECT_TRUE(take(&RecordedCalls::console).empty());
    EXPECT_TRUE(take(&RecordedCalls::debug).empty());
    EXPECT_TRUE(take(&RecordedCalls::returned).empty());
    EXPECT_TRUE(take(&RecordedCalls::semaphore).empty());
}

template <class F>
class Refusals : public FamilyTest<F> {};
TYPED_TEST_SUITE(Refusals, Families, FamilyName);

TYPED_TEST(Refusals, BadQueueIdsAndFreeSlots) {
    using F = TypeParam;
    const int32_t q = this->alloc(8);
    ASSERT_GE(q, 0);
    uint64_t back;
    ASSERT_EQ(F::write(q, 1, &back, 0), 0);
    F::free_queue(q);
    forget_support_calls();
    for (const int32_t bad : {-1, F::queue_count, INT32_MIN}) {
        SCOPED_TRACE("queue " + std::to_string(bad));
        Answers want = refused(true, "-1", "-1");
        want["dump"] = F::shared ? "" : "<untouched>";
        EXPECT_EQ(call_everything<F>(bad, 0, true), want);
    }
    SCOPED_TRACE("the free slot");
    Answers free_slot = refused(true, "-2", F::shared ? "8" : "-1");
    free_slot["dump"] = "queue " + std::to_string(q) + " not allocated!\n";
    EXPECT_EQ(call_everything<F>(q, 0, true), free_slot);
    expect_no_support_calls();
    // The slot's numbering went on untouched: the next queue there writes seq 1.
    ASSERT_EQ(this->alloc(8), q);
    ASSERT_EQ(F::write(q, 2, &back, 0), 0);
    const int32_t s = F::create_session(q);
    EXPECT_EQ(F::cur_seq(q, s), 1);
}

TYPED_TEST(Refusals, BadSessionIdsTouchNeitherTheQueueNorItsLock) {
    using F = TypeParam;
    const int32_t q = this->alloc(8, 4);
    uint64_t back;
    ASSERT_EQ(F::write(q, 1, &back, 0), 0);
    QueueStatus before{}, after{};
    ASSERT_EQ(F::queue_status(q, &before), 0);
    forget_support_calls();
    ASSERT_EQ(F::lock(q), 0);  // held here: a refused call must neither wait for it nor free it
    Blocked calls = start([q] {
        for (const int32_t bad : {-1, 128, INT32_MAX}) {
            SCOPED_TRACE("session " + std::to_string(bad));
            EXPECT_EQ(call_everything<F>(q, bad, false), refused(false, "-1", ""));
        }
    });
    calls.finish("refused calls while the queue is locked", 2s);
    if (F::shared) {
        const auto sem = take(&RecordedCalls::semaphore);
        ASSERT_EQ(sem.size(), 1u);
        EXPECT_EQ(sem.begin()->second, (std::array<int, 4>{1, 0, 0, 0})) << "only this lock";
    }
    expect_no_support_calls();
    ASSERT_EQ(F::unlock(q), 0);
    ASSERT_EQ(F::queue_status(q, &after), 0);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "a refused call changed the queue";
}

// A process that has not attached the shared segment (or left it) is refused everything, even
// the ids of queues that other processes use.
TEST(SharedRefusals, AProcessNotAttached) {
    ASSERT_TRUE(Shared::up());
    ASSERT_EQ(gsq_c_alloc_queue(8 * 32, 4, 0, 1, 1), 0);
    ASSERT_EQ(gsq_c_uninit(), 0);
    forget_support_calls();
    Answers want = refused(true, "-1", "-1");
    want["dump"] = "";
    EXPECT_EQ(call_everything<Shared>(0, 0, true), want);
    EXPECT_EQ(gsq_c_ready(0), 0);
    EXPECT_EQ(gsq_c_alloc_queue(8 * 32, 4, 0, 1, 1), -1);
    EXPECT_EQ(gsq_c_dynamic_alloc(4, 2, 4, 0, 1, 1), -1);
    gsq_c_free_queue(0);
    expect_no_support_calls();
    ASSERT_EQ(gsq_c_init(), 0);
    EXPECT_EQ(gsq_c_ready(0), 1) << "the queue outlived this process's attachment";
    Shared::down();
}

}  // namespace
}  // namespace brenn_test
