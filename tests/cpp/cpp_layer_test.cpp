// What brenn.hpp adds to the C interface: owners released on every way out and moved, owned
// handle arrays, every refusal mapped to its code, chrono timestamps, the shared system's owner.
#include <stdexcept>

#include "common/family.h"

namespace brenn_test {
namespace {
[[maybe_unused]] const bool kWatchdog = arm_watchdog(45);
using brenn::Errc;
template <class T>
Errc code(const brenn::Result<T> &r) {
    return r ? Errc{} : r.error().code;
}
template <class F>
bool allocated(int32_t q) {  // a free local slot refuses the call
    return F::shared ? gsq_c_ready(q) : VSQ_IS_SHARABLE(q) >= 0;
}
template <class F>
using Q = brenn::Queue<F>;
TYPED_TEST_SUITE(FamilyTest, Families, FamilyName);

// An exception leaves a scope with a queue, a session and a look-back that a writer waits for.
TYPED_TEST(FamilyTest, OwnersReleaseOnceAndMove) {
    auto q = Q<TypeParam>::dynamic(8, 8).value(), gone = Q<TypeParam>::plain(8).value();
    const int32_t first = gone.id(), raw = Q<TypeParam>::plain(4).value().release();
    Blocked writer;
    try {
        Q<TypeParam> inner = std::move(gone);
        auto s = q.create_session().value();
        auto lb = brenn::Session<TypeParam>(std::move(s)).look_back().value();
        writer = start([&q] { (void)q.write(9, 1s); });
        EXPECT_TRUE(!gone && !s && allocated<TypeParam>(first) && writer.still_blocked(100ms));
        throw std::runtime_error("inside a look-back");
    } catch (const std::runtime_error &) {
    }
    writer.finish("a write waiting for a look-back");
    EXPECT_EQ(q.status()->sessions[0].in_use, 0);
    EXPECT_TRUE(!allocated<TypeParam>(first) && allocated<TypeParam>(raw));
    auto s = q.create_session().value();
    brenn::LookBack<TypeParam> a = s.look_back().value(), b(std::move(a));
    EXPECT_TRUE(!a && a.end() && code(s.available()) == Errc::inside_look_back);
    b = std::move(a);  // ends the look-back b held
    EXPECT_TRUE(s.available() && !b && s.close() && s.close());
    const int32_t old = q.id();
    auto &same = q = Q<TypeParam>::adopt(raw);
    q = std::move(same);
    EXPECT_TRUE(!allocated<TypeParam>(old) && allocated<TypeParam>(raw) && q.id() == raw);
}

TYPED_TEST(FamilyTest, ValuesPassThroughAndArraysAreOwned) {
    auto q = Q<TypeParam>::dynamic(6, 6, {.sharable = true}).value();
    const brenn::Timestamp t0 = brenn::from_ts(1733450205000);
    for (uint64_t h = 0; h < 8; ++h)
        EXPECT_EQ(handle(q.write(0x500 + h, t0 + h * 40ms).value()),
                  h < 6 ? "-" : std::to_string(0x4fa + h));
    auto s = q.create_session().value();
    for (uint64_t h = 8; h < 10; ++h)
        ASSERT_TRUE(q.write(0x500 + h, t0 + h * 40ms));
    const auto got = s.peek().value();
    EXPECT_EQ(csv(s.available().value(), got.handle, got.gap, s.live_count()), "1,1288,0,1");
    EXPECT_EQ(s.cur_seq(), TypeParam::cur_seq(q.id(), s.id()));
    EXPECT_EQ(q.size_by_time(std::chrono::seconds(1)), TypeParam::size_by_time(q.id(), 1000));
    brenn::HandleArray dropped = q.resize(2).value(), moved = std::move(dropped);
    EXPECT_EQ(csv(moved.size(), moved[0], moved.span()[3], dropped.size()), "4,1284,1287,0");
    auto cleaned = q.clean().value();
    std::free(cleaned.release());
    EXPECT_TRUE(cleaned.empty() && q.resize(3)->empty() &&
                q.clean().value()[0] == brenn::kNoHandle);
    using namespace std::chrono;
    EXPECT_EQ(brenn::to_ts(sys_days{2024y / December / 6} + 1h) + brenn::to_ts(2s), 1733446802000);
}

TYPED_TEST(FamilyTest, RefusalsBecomeErrors) {
    using S = brenn::Session<TypeParam>;
    using Q = Q<TypeParam>;
    Q bogus = Q::adopt(TypeParam::queue_count), plain = Q::plain(4).value();
    auto dyn = Q::dynamic(3, 3, {.max_sessions = 1, .sharable = true}).value();
    auto only = dyn.create_session().value();
    const int32_t freed = Q::plain(4).value().id();
    const std::vector<std::pair<Errc, std::vector<Errc>>> cases = {
        {Errc::queue_alloc_failed, {code(Q::plain(0)), code(Q::dynamic(-1, 1))}},
        {Errc::invalid_argument,
         {code(Q::plain(INT32_MAX)), code(plain.change_node_count(INT32_MAX))}},
        {Errc::refused,
         {code(bogus.write(1, 5ms)), code(bogus.read()), code(bogus.look(0)),
          code(bogus.ready_to_read()), code(bogus.node_num()), code(bogus.status()),
          code(bogus.sharable()), code(bogus.set_sharable(true)), code(bogus.clean()),
          code(bogus.change_node_count(8)), code(plain.resize(1)), code(dyn.resize(4))}},
        {Errc::session_alloc_failed, {code(bogus.create_session()), code(dyn.create_session())}},
        {Errc::nothing_taken, {code(S::adopt(dyn.id(), 5).peek())}},
        {Errc::bad_id, {code(S::adopt(plain.id(), 200).available())}},
        {Errc::free_slot, {code(S::adopt(freed, 0).available())}},
        {Errc::session_not_in_use, {code(S::adopt(dyn.id(), 5).available())}},
        {Errc::no_position, {code(only.look_back()->step())}}};
    for (const auto &[want, got] : cases)
        EXPECT_EQ(got, std::vector<Errc>(got.size(), want)) << brenn::describe(want);
    auto open = only.look_back();
    EXPECT_EQ(code(only.look_back()), Errc::refused);
    EXPECT_EQ(Q::plain(0).error().message(),
              std::string(TypeParam::name) + " alloc: no queue allocated (-1)");
    (void)bogus.release();
}

TEST(CppShared, SystemOwnerAndLifecycleCodes) {
    Shared::down();
    EXPECT_EQ(code(brenn::SharedSystem::attach()), Errc::no_segment);
    brenn::SharedSystem sys = brenn::SharedSystem::create().value(), moved = std::move(sys);
    EXPECT_TRUE(brenn::SharedQueue::plain(4).value().release() == 0 && !sys && moved.reset());
    EXPECT_TRUE(gsq_c_ready(0) == 0 && moved.close() && gsq_c_create() == 0 && gsq_c_uninit() == 0);
    EXPECT_EQ(code(brenn::SharedSystem::create()), Errc::set_create_failed);
    gsq_c_fast_init();  // the failed create left a set id behind
    EXPECT_EQ(brenn::SharedSystem::attach()->role(), brenn::SharedSystem::Role::attached);
    EXPECT_EQ(gsq_c_uninit(), -1) << "the attached owner detached when it went";
    auto user = brenn::SharedSystem::attach().value();
    ASSERT_EQ(gsq_c_uninit(), 0);  // behind the owner's back
    EXPECT_EQ(user.close().error().message(), "shared detach: not attached (-1)");
    gsq_c_fast_init();
    Shared::down();
}

TEST(CppDeathTest, ValueOfAnErrorAborts) {
    GTEST_FLAG_SET(death_test_style, BRENN_DEATH_TEST_STYLE);
    EXPECT_DEATH((void)brenn::LocalQueue::plain(0).value(), "failed result: local alloc: no queue");
    EXPECT_DEATH((void)brenn::Result<int>(3).error(), "of a result that holds a value");
}
}  // namespace
}  // namespace brenn_test
