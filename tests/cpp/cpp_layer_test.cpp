// The C++ layer (brenn.hpp) over both families: owners that release their queue, session and
// look-back on every way out of a scope (an exception inside a look-back included, after which
// another thread takes the queue's lock at once), moves that leave the source owning nothing,
// handle arrays owned and freed, results that carry every refusal, timestamps as chrono types,
// and the shared system's owner.
#include <brenn.hpp>

#include <optional>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "common/engine_fixture.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_engine_watchdog(45);

#define ASSERT_OK(name, expr)                                      \
    auto name##_result = (expr);                                   \
    ASSERT_TRUE(name##_result) << name##_result.error().message(); \
    auto name = std::move(name##_result).value()

template <class F>
constexpr bool kShared = std::is_same_v<F, brenn::SharedFamily>;

template <class F>
bool allocated(int32_t q) {
    if constexpr (kShared<F>) return gsq_c_ready(q) == 1;
    return VSQ_IS_SHARABLE(q) >= 0;  // refused on a free slot
}

template <class F>
QueueSession record(const brenn::Queue<F> &q, int32_t s) {
    const auto st = q.status();
    return st ? st->sessions[s] : QueueSession{-9, 0, -9, -9, -9, 0};
}

// Another thread takes and releases the queue's lock: it must get it at once.
template <class F>
void expect_lock_free(int32_t q, const char *after) {
    if (!finishes_within(2000ms, [q] {
            F::lock(q);
            F::unlock(q);
        })) {
        ADD_FAILURE() << "the queue's lock is still held after " << after;
        give_up("a thread waits for a lock that is never released");
    }
}

template <class T>
std::optional<brenn::Error> error_of(const brenn::Result<T> &r) {
    if (r) return std::nullopt;
    return r.error();
}
template <class T>
std::optional<brenn::Errc> code_of(const brenn::Result<T> &r) {
    if (r) return std::nullopt;
    return r.error().code;
}

template <class F>
class CppLayer : public ::testing::Test {
  protected:
    using Q = brenn::Queue<F>;
    using S = brenn::Session<F>;

    void SetUp() override {
        if constexpr (kShared<F>) {
            gsq_c_destroy();
            remove_shared_objects();
            ASSERT_OK(sys, brenn::SharedSystem::create());
            system_ = std::move(sys);
        }
    }
    void TearDown() override {
        if constexpr (kShared<F>) {
            EXPECT_TRUE(system_.close());
            remove_shared_objects();
        }
    }
    brenn::SharedSystem system_;
};

using Families = ::testing::Types<brenn::LocalFamily, brenn::SharedFamily>;
struct FamilyNames {
    template <class F>
    static std::string GetName(int) {
        return F::name;
    }
};
TYPED_TEST_SUITE(CppLayer, Families, FamilyNames);

TYPED_TEST(CppLayer, QueueOwnerFreesOnceAndMovesOwnership) {
    using Q = typename TestFixture::Q;
    Q target;
    int32_t id = -1;
    {
        ASSERT_OK(a, Q::plain(8));
        id = a.id();
        EXPECT_EQ(a.node_num().value_or(-1), 8);
        Q b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_EQ(a.id(), -1);
        target = std::move(b);
        EXPECT_EQ(b.id(), -1);
    }
    EXPECT_TRUE(allocated<TypeParam>(id)) << "a moved-from owner freed the queue";
    EXPECT_EQ(target.id(), id);

    ASSERT_OK(other, Q::dynamic(3, 2));
    const int32_t other_id = other.id();
    target = std::move(other);
    EXPECT_FALSE(allocated<TypeParam>(id)) << "assignment frees the queue owned before";
    EXPECT_TRUE(allocated<TypeParam>(other_id));
    Q &same = target;
    target = std::move(same);
    EXPECT_TRUE(allocated<TypeParam>(other_id)) << "self-assignment keeps the queue";
    target.reset();
    EXPECT_FALSE(allocated<TypeParam>(other_id));

    const int32_t kept = Q::plain(4).value().release();
    EXPECT_TRUE(allocated<TypeParam>(kept)) << "release() gives the id up unfreed";
    TypeParam::free_queue(kept);
}

TYPED_TEST(CppLayer, SessionOwnerDestroysOnceAndMovesOwnership) {
    using S = typename TestFixture::S;
    ASSERT_OK(q, TestFixture::Q::plain(8));
    S kept;
    int32_t s = -1;
    {
        ASSERT_OK(a, q.create_session());
        s = a.id();
        EXPECT_EQ(record(q, s).in_use, 1);
        S b(std::move(a));
        EXPECT_FALSE(a);
        kept = std::move(b);
        EXPECT_EQ(b.id(), -1);
    }
    EXPECT_EQ(record(q, s).in_use, 1) << "a moved-from owner destroyed the session";
    EXPECT_EQ(kept.queue_id(), q.id());
    EXPECT_TRUE(kept.close());
    EXPECT_EQ(record(q, s).in_use, 0);
    EXPECT_TRUE(kept.close()) << "an empty owner has nothing to destroy";
    {
        ASSERT_OK(c, q.create_session());
        s = c.id();
    }
    EXPECT_EQ(record(q, s).in_use, 0) << "the owner destroys its session at scope end";
}

// Every way out of a scope that holds a queue, a session and an open look-back releases all
// three; the outer queue's lock is free again at once.
TYPED_TEST(CppLayer, LookBackEndsOnEveryWayOut) {
    using F = TypeParam;
    enum class Exit { scope_end, early_return, exception };
    for (Exit how : {Exit::scope_end, Exit::early_return, Exit::exception}) {
        SCOPED_TRACE(testing::Message() << "exit " << int(how));
        ASSERT_OK(q, TestFixture::Q::dynamic(8, 8));
        for (uint64_t h = 1; h <= 5; ++h)
            ASSERT_TRUE(q.write(0x300 + h, brenn::from_ts(0)));
        int32_t inner_id = -1, s = -1;
        bool thrown = false;
        const auto body = [&]() -> int {
            auto inner = TestFixture::Q::plain(4);
            auto session = q.create_session();
            if (!inner || !session) return -1;
            inner_id = inner->id();
            s = session->id();
            auto lb = session->look_back();
            if (!lb) return -2;
            const auto step = lb->step();
            if (!step || step->handle != 0x304 || step->last) return -3;
            if (how == Exit::early_return) return 1;
            if (how == Exit::exception) throw std::runtime_error("inside a look-back");
            return 0;
        };
        int outcome = -9;
        try {
            outcome = body();
        } catch (const std::runtime_error &) {
            thrown = true;
        }
        EXPECT_EQ(thrown, how == Exit::exception);
        if (!thrown) {
            EXPECT_EQ(outcome, how == Exit::early_return ? 1 : 0);
        }
        expect_lock_free<F>(q.id(), "the look-back's scope");
        EXPECT_FALSE(allocated<F>(inner_id));
        const QueueSession rec = record(q, s);
        EXPECT_EQ(rec.in_use, 0);
        EXPECT_EQ(rec.looking_back, 0);
    }
}

// A writer that waits for the lock of a queue inside a look-back goes on when an exception
// leaves the look-back's scope.
TYPED_TEST(CppLayer, ExceptionInLookBackLetsAWaitingWriterThrough) {
    ASSERT_OK(q, TestFixture::Q::dynamic(8, 8));
    for (uint64_t h = 0x401; h <= 0x403; ++h)
        ASSERT_TRUE(q.write(h, 1000ms + h * 1ms));
    ASSERT_OK(s, q.create_session());
    Blocked writer;
    try {
        ASSERT_OK(lb, s.look_back());
        EXPECT_EQ(lb.node_num(), 9);
        writer = start([&q] { (void)q.write(0x404, 2000ms); });
        EXPECT_TRUE(writer.still_blocked(150ms)) << "the look-back holds the lock";
        throw std::runtime_error("consumer gave up");
    } catch (const std::runtime_error &) {
    }
    require_finish(writer, "the write waiting for the look-back");
    EXPECT_EQ(s.available().value_or(-1), 1);
    const auto got = s.peek();
    ASSERT_TRUE(got) << got.error().message();
    EXPECT_EQ(got->handle, 0x404u) << "the look-back left the session on the newest node";
}

TYPED_TEST(CppLayer, LookBackGuardMoves) {
    using F = TypeParam;
    using Q = typename TestFixture::Q;
    ASSERT_OK(q1, Q::plain(8));
    ASSERT_OK(q2, Q::plain(8));
    ASSERT_OK(s1, q1.create_session());
    ASSERT_OK(s2, q2.create_session());
    ASSERT_OK(a, s1.look_back());
    brenn::LookBack<F> b(std::move(a));
    EXPECT_FALSE(a.active());
    EXPECT_TRUE(b.active());
    EXPECT_TRUE(a.end()) << "an empty guard has nothing to end";
    EXPECT_EQ(code_of(s1.available()), brenn::Errc::inside_look_back)
        << "the moved-from guard ended the look-back";

    ASSERT_OK(c, s2.look_back());
    b = std::move(c);  // ends the look-back on q1, takes over the one on q2
    expect_lock_free<F>(q1.id(), "a guard was assigned over");
    EXPECT_TRUE(s1.available());
    EXPECT_EQ(code_of(s2.available()), brenn::Errc::inside_look_back);
    EXPECT_TRUE(b.end());
    expect_lock_free<F>(q2.id(), "end()");
    EXPECT_FALSE(b.active());
}

// Resize and clean give their handles in owned arrays (freed by the owner: ASan checks it).
TYPED_TEST(CppLayer, HandleArraysCarryTheDroppedHandles) {
    using Q = typename TestFixture::Q;
    ASSERT_OK(q, Q::dynamic(6, 6));
    for (uint64_t h = 0; h < 10; ++h)
        ASSERT_TRUE(q.write(0x500 + h, 1000ms + h * 40ms));
    ASSERT_OK(dropped, q.resize(2));
    EXPECT_EQ(std::vector<uint64_t>(dropped.begin(), dropped.end()),
              (std::vector<uint64_t>{0x504, 0x505, 0x506, 0x507}));
    brenn::HandleArray moved = std::move(dropped);
    EXPECT_TRUE(dropped.empty());
    EXPECT_EQ(dropped.span().data(), nullptr);
    EXPECT_EQ(moved.size(), 4u);
    EXPECT_EQ(moved.span()[3], 0x507u);

    ASSERT_OK(grown, q.resize(3));
    EXPECT_TRUE(grown.empty()) << "growing drops nothing";
    ASSERT_OK(cleaned, q.clean());
    ASSERT_EQ(cleaned.size(), 3u);
    EXPECT_EQ(cleaned[1], 0x508u);
    EXPECT_EQ(cleaned[2], 0x509u);
    uint64_t *raw = cleaned.release();
    EXPECT_TRUE(cleaned.empty());
    std::free(raw);
    ASSERT_OK(again, q.clean());
    EXPECT_EQ(again.size(), 3u) << "the window keeps its size, now of empty nodes";
    EXPECT_EQ(again[0], brenn::kNoHandle);
}

// Every refusal comes back as an Error with its code; none looks like a value.
TYPED_TEST(CppLayer, RefusalsSurfaceAsErrors) {
    using F = TypeParam;
    using Q = typename TestFixture::Q;
    using S = typename TestFixture::S;
    using brenn::Errc;
    Q bogus = Q::adopt(F::queue_count);  // outside the table
    ASSERT_OK(plain, Q::plain(4));
    ASSERT_OK(dyn, Q::dynamic(3, 3, {.max_sessions = 1, .sharable = true}));
    ASSERT_OK(only, dyn.create_session());
    int32_t freed = -1;
    {
        ASSERT_OK(gone, Q::plain(4));
        freed = gone.id();
    }
    struct Case {
        const char *what;
        Errc code;
        std::function<std::optional<brenn::Error>()> call;
    };
    const Case cases[] = {
        {"plain of 0 nodes", Errc::queue_alloc_failed, [] { return error_of(Q::plain(0)); }},
        {"dynamic of -1 nodes", Errc::queue_alloc_failed,
         [] { return error_of(Q::dynamic(-1, 1)); }},
        {"nodes beyond a 32-bit size", Errc::invalid_argument,
         [] { return error_of(Q::plain(INT32_MAX)); }},
        {"write", Errc::refused, [&] { return error_of(bogus.write(1, 5ms)); }},
        {"read", Errc::refused, [&] { return error_of(bogus.read()); }},
        {"look", Errc::refused, [&] { return error_of(bogus.look(0)); }},
        {"ready to read", Errc::refused, [&] { return error_of(bogus.ready_to_read()); }},
        {"node count", Errc::refused, [&] { return error_of(bogus.node_num()); }},
        {"status", Errc::refused, [&] { return error_of(bogus.status()); }},
        {"clean", Errc::refused, [&] { return error_of(bogus.clean()); }},
        {"change node count", Errc::refused, [&] { return error_of(bogus.change_node_count(8)); }},
        {"create session", Errc::session_alloc_failed,
         [&] { return error_of(bogus.create_session()); }},
        {"resize of a plain queue", Errc::refused, [&] { return error_of(plain.resize(1)); }},
        {"resize to the whole ring", Errc::refused, [&] { return error_of(dyn.resize(4)); }},
        {"session beyond max_sessions", Errc::session_alloc_failed,
         [&] { return error_of(dyn.create_session()); }},
        {"peek of session 200", Errc::nothing_taken,
         [&] { return error_of(S::adopt(plain.id(), 200).peek()); }},
        {"peek of a session not in use", Errc::nothing_taken,
         [&] { return error_of(S::adopt(dyn.id(), 5).peek()); }},
        {"available of session 200", Errc::bad_id,
         [&] { return error_of(S::adopt(plain.id(), 200).available()); }},
        {"available on a free slot", Errc::free_slot,
         [&] { return error_of(S::adopt(freed, 0).available()); }},
        {"available of a session not in use", Errc::session_not_in_use,
         [&] { return error_of(S::adopt(dyn.id(), 5).available()); }},
        {"look-back step without a position", Errc::no_position,
         [&] { return error_of(only.look_back().value().step()); }},
        {"look-back begun twice", Errc::refused,
         [&] {
             auto open = only.look_back();
             return error_of(only.look_back());
         }},
    };
    for (const Case &c : cases) {
        const auto err = c.call();
        ASSERT_TRUE(err.has_value()) << c.what << ": a value came back";
        EXPECT_EQ(err->code, c.code) << c.what << ": " << err->message();
        EXPECT_STREQ(err->family, F::name) << c.what;
        EXPECT_LT(err->result, 1) << c.what;
    }
    const auto zero = Q::plain(0);
    EXPECT_EQ(zero.error().message(), std::string(F::name) + " alloc: no queue allocated (-1)");
    (void)bogus.release();
}

// The wrappers pass handles, gap flags, counts and timestamps through unchanged. Dynamic
// queues: only they keep timestamps.
TYPED_TEST(CppLayer, ValuesAndTimestampsPassThrough) {
    using F = TypeParam;
    using Q = typename TestFixture::Q;
    ASSERT_OK(q, Q::dynamic(1, 1));
    EXPECT_EQ(q.write(7, brenn::from_ts(1000)).value_or(0), brenn::kNoHandle);
    EXPECT_EQ(q.write(8, brenn::from_ts(1040)).value_or(0), 7u) << "the evicted handle";

    ASSERT_OK(p, Q::dynamic(16, 16, {.max_sessions = 2, .sharable = true}));
    EXPECT_EQ(p.sharable().value_or(false), true);
    const brenn::Timestamp t0 = brenn::from_ts(1733450205000);
    ASSERT_TRUE(p.write(0x700, t0));
    ASSERT_TRUE(p.write(0x701, t0 + 40ms));
    ASSERT_OK(s, p.create_session());
    for (int i = 2; i < 6; ++i)
        ASSERT_TRUE(p.write(0x700 + i, t0 + i * 40ms));
    EXPECT_EQ(s.available().value_or(-1), 4);
    const auto first = s.peek().value_or(brenn::Peeked{0, true});
    EXPECT_EQ(first.handle, 0x702u);
    EXPECT_FALSE(first.gap);
    ASSERT_TRUE(s.reset_peek());
    s.seek();
    EXPECT_EQ(s.available().value_or(-1), 0);
    EXPECT_EQ(s.cur_seq(), 5);
    EXPECT_EQ(s.live_count(), 1u);
    EXPECT_EQ(p.ready_to_read().value_or(false), true);
    EXPECT_EQ(p.read().value_or(0), 0x700u);
    EXPECT_EQ(p.look(0).value_or(0), 0x700u);

    // The same stream written through the C interface with raw milliseconds estimates alike.
    ASSERT_OK(twin, Q::dynamic(16, 16));
    uint64_t back = 0;
    for (int i = 0; i < 6; ++i)
        F::write(twin.id(), 0x700 + i, &back, 1733450205000 + i * 40);
    EXPECT_GT(p.size_by_time(100ms), 0);
    EXPECT_EQ(p.size_by_time(100ms), F::size_by_time(twin.id(), 100));
    EXPECT_EQ(p.size_by_time(std::chrono::seconds(1)), F::size_by_time(twin.id(), 1000));
    using namespace std::chrono;
    EXPECT_EQ(brenn::to_ts(sys_days{2024y / December / 6} + 1h), 1733446800000);
    EXPECT_EQ(brenn::to_ts(2s), 2000);
}

class CppSharedSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gsq_c_destroy();
        remove_shared_objects();
    }
    void TearDown() override {
        gsq_c_fast_init();
        gsq_c_destroy();
        remove_shared_objects();
    }
};

TEST_F(CppSharedSystemTest, OwnsTheSystemAndReportsLifecycleCodes) {
    const auto absent = brenn::SharedSystem::attach();
    ASSERT_FALSE(absent);
    EXPECT_EQ(absent.error().code, brenn::Errc::no_segment);
    EXPECT_EQ(absent.error().result, -2);
    {
        ASSERT_OK(sys, brenn::SharedSystem::create());
        EXPECT_EQ(sys.role(), brenn::SharedSystem::Role::creator);
        brenn::SharedSystem moved = std::move(sys);
        EXPECT_FALSE(sys);
        ASSERT_OK(q, brenn::SharedQueue::plain(4));
        EXPECT_TRUE(moved.reset());
        EXPECT_EQ(gsq_c_ready(q.release()), 0) << "reset frees every shared queue";
    }
    EXPECT_FALSE(shared_objects_present()) << "the creator's owner removes segment and sets";

    ASSERT_EQ(gsq_c_create(), 0);
    ASSERT_EQ(gsq_c_uninit(), 0);
    const auto second = brenn::SharedSystem::create();  // the system runs already
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().code, brenn::Errc::set_create_failed);
    EXPECT_EQ(second.error().result, -6);
    gsq_c_fast_init();  // the failed create left a negative set id behind
    {
        ASSERT_OK(user, brenn::SharedSystem::attach());
        EXPECT_EQ(user.role(), brenn::SharedSystem::Role::attached);
        EXPECT_TRUE(brenn::SharedQueue::plain(4)) << "attached";
    }
    EXPECT_EQ(gsq_c_uninit(), -1) << "the attached owner detached";
    EXPECT_TRUE(shared_objects_present()) << "detaching leaves the system up";
    {
        ASSERT_OK(user, brenn::SharedSystem::attach());
        ASSERT_EQ(gsq_c_uninit(), 0);  // behind the owner's back
        const auto closed = user.close();
        ASSERT_FALSE(closed);
        EXPECT_EQ(closed.error().code, brenn::Errc::not_attached);
        EXPECT_EQ(closed.error().message(), "shared detach: not attached (-1)");
    }
}

#ifndef BRENN_DEATH_TEST_STYLE
#define BRENN_DEATH_TEST_STYLE "threadsafe"
#endif

TEST(CppResultDeathTest, ValueOfAnErrorAborts) {
    GTEST_FLAG_SET(death_test_style, BRENN_DEATH_TEST_STYLE);
    EXPECT_DEATH((void)brenn::LocalQueue::plain(0).value(),
                 "value\\(\\) of a failed result: local alloc: no queue allocated \\(-1\\)");
    const brenn::Result<int> fine = 3;
    EXPECT_DEATH((void)fine.error(), "error\\(\\) of a result that holds a value");
}

}  // namespace
}  // namespace brenn_test
