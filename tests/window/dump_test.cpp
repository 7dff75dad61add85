// The diagnostic dumps, byte for byte: the local dump appends whole lines to the caller's
// buffer while they fit, skips nodes without a handle and marks tail '$' and wr '^'; the shared
// dump prints every node on standard output and marks the nodes after tail up to wr with '*'.
// The time text comes from this program's make_time_string2 ("t" and the timestamp).
#include <cstring>
#include <string>

#include "common/engine_fixture.h"
#include "common/support_calls.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_watchdog(50);

// A local dump into a buffer of 256 '#', and that buffer as a dump that wrote `text` leaves it
// (no text: untouched).
std::string local_dump(int32_t q, int32_t len) {
    std::string buf(256, '#');
    lsq_c_dump(q, buf.data(), len);
    return buf;
}
std::string buffer_with(const std::string &text) {
    std::string buf(256, '#');
    if (!text.empty()) {
        buf.replace(0, text.size(), text);
        buf[text.size()] = '\0';
    }
    return buf;
}

class Dump : public EngineTest {
  protected:
    // The whole text of a dump: the local one into a large buffer, the shared one from stdout.
    std::string text(int32_t q) {
        if (f().shared) return capture_stdout([q] { gsq_c_dump(q); });
        std::vector<char> buf(8192, '\0');
        lsq_c_dump(q, buf.data(), static_cast<int32_t>(buf.size()));
        return buf.data();
    }
};

struct DumpCase {
    const char *name;
    int32_t k, w;  // dynamic node count and window; k < 0: a plain queue of 4 nodes
    int32_t writes;
    bool give_back;
    uint64_t first_handle;  // write j carries first_handle + j and ts 100 * (j + 1)
    bool session;           // a session created after the writes (on wr)
    const char *local, *shared;
};

const DumpCase kCases[] = {
    {"fresh plain queue of 4 nodes", -1, 0, 0, false, 0, false,
     "total node num=4,wr=-1, pk[0]=-1,pk[1]=-1,pk[2]=-1\n"
     "\tdynamic=NO, tail=0, size=0\n",
     "total node num=4,wr=-1\n"
     "\tdynamic=NO, tail=0, size=3\n"
     "    0-FFFFFFFFFFFFFFFF(-1)[ts=t0]\n"
     "*   1-FFFFFFFFFFFFFFFF(-1)[ts=t0]\n"
     "*   2-FFFFFFFFFFFFFFFF(-1)[ts=t0]\n"
     "*   3-FFFFFFFFFFFFFFFF(-1)[ts=t0]\n"},
    {"8 nodes, tail 6, wr 1, every node holding a handle", 7, 4, 10, false, 0xA0, true,
     "pk[0]=1\n"
     "total node num=8,wr=1, pk[0]=1,pk[1]=-1,pk[2]=-1\n"
     "\tdynamic=YES, tail=6, size=4\n"
     "    0-00000000000000A8(8)[ts=t900]\n"
     "^   1-00000000000000A9(9)[ts=t1000]\n"
     "    2-00000000000000A2(2)[ts=t300]\n"
     "    3-00000000000000A3(3)[ts=t400]\n"
     "    4-00000000000000A4(4)[ts=t500]\n"
     "    5-00000000000000A5(5)[ts=t600]\n"
     "$   6-00000000000000A6(6)[ts=t700]\n"
     "    7-00000000000000A7(7)[ts=t800]\n",
     "pk[0]=1\n"
     "total node num=8,wr=1\n"
     "\tdynamic=YES, tail=6, size=3\n"
     "*   0-00000000000000A8(8)[ts=t900]\n"
     "*   1-00000000000000A9(9)[ts=t1000]\n"
     "    2-00000000000000A2(2)[ts=t300]\n"
     "    3-00000000000000A3(3)[ts=t400]\n"
     "    4-00000000000000A4(4)[ts=t500]\n"
     "    5-00000000000000A5(5)[ts=t600]\n"
     "    6-00000000000000A6(6)[ts=t700]\n"
     "*   7-00000000000000A7(7)[ts=t800]\n"},
    // Handle 42 with seq 7 at node 3, which is both tail and wr.
    {"tail and wr on one node", 3, 1, 8, false, 0x23, false,
     "total node num=4,wr=3, pk[0]=-1,pk[1]=-1,pk[2]=-1\n"
     "\tdynamic=YES, tail=3, size=1\n"
     "    0-0000000000000027(4)[ts=t500]\n"
     "    1-0000000000000028(5)[ts=t600]\n"
     "    2-0000000000000029(6)[ts=t700]\n"
     "$   3-000000000000002A(7)[ts=t800]\n",
     "total node num=4,wr=3\n"
     "\tdynamic=YES, tail=3, size=0\n"
     "*   0-0000000000000027(4)[ts=t500]\n"
     "*   1-0000000000000028(5)[ts=t600]\n"
     "*   2-0000000000000029(6)[ts=t700]\n"
     "*   3-000000000000002A(7)[ts=t800]\n"},
    // Writes with a give-back pointer empty the evicted nodes; they keep their timestamps.
    {"emptied nodes", 3, 2, 5, true, 0x50, false,
     "total node num=4,wr=0, pk[0]=-1,pk[1]=-1,pk[2]=-1\n"
     "\tdynamic=YES, tail=3, size=2\n"
     "^   0-0000000000000054(4)[ts=t500]\n"
     "$   3-0000000000000053(3)[ts=t400]\n",
     "total node num=4,wr=0\n"
     "\tdynamic=YES, tail=3, size=1\n"
     "*   0-0000000000000054(4)[ts=t500]\n"
     "    1-FFFFFFFFFFFFFFFF(-1)[ts=t200]\n"
     "    2-FFFFFFFFFFFFFFFF(-1)[ts=t300]\n"
     "    3-0000000000000053(3)[ts=t400]\n"},
};

TEST_P(Dump, WholeTexts) {
    for (const DumpCase &c : kCases) {
        SCOPED_TRACE(c.name);
        const int32_t q = in_fresh_slot([&] { return c.k < 0 ? alloc(4 * 32) : dyn(c.k, c.w); });
        ASSERT_GE(q, 0);
        for (int32_t j = 0; j < c.writes; ++j) {
            uint64_t back = 0;
            ASSERT_EQ(f().write(q, c.first_handle + static_cast<uint64_t>(j),
                                c.give_back ? &back : nullptr, 100 * (j + 1)),
                      0);
        }
        if (c.session) {
            ASSERT_EQ(f().create_session(q), 0);
        }
        EXPECT_EQ(text(q), f().shared ? c.shared : c.local);
    }
}

TEST_P(Dump, FreeSlotAndRefusedIds) {
    const int32_t q = alloc(4 * 32);
    ASSERT_GE(q, 0);
    f().free_queue(q);
    auto line = [](int32_t id) { return "queue " + std::to_string(id) + " not allocated!\n"; };
    for (int32_t id : {q, BRENN_SHARED_QUEUES - 1})  // freed, and never allocated
        EXPECT_EQ(text(id), line(id));
    if (f().shared) {
        EXPECT_EQ(capture_stdout([] {
                      gsq_c_dump(-1);
                      gsq_c_dump(BRENN_SHARED_QUEUES);
                  }),
                  "");
        const int32_t live = alloc(4 * 32);
        ASSERT_GE(live, 0);
        ASSERT_EQ(gsq_c_uninit(), 0);
        EXPECT_EQ(text(live), "") << "not attached";
        ASSERT_EQ(gsq_c_init(), 0);
        EXPECT_NE(text(live), "");
        return;
    }
    // A refused id, or a line without room for its terminating zero, leaves the buffer alone.
    const auto size = static_cast<int32_t>(line(q).size());
    for (int32_t id : {-1, BRENN_LOCAL_QUEUES, q}) {
        for (int32_t len : {0, size, 64}) {
            SCOPED_TRACE(testing::Message() << "id " << id << ", len " << len);
            EXPECT_EQ(local_dump(id, len), buffer_with(id == q && len > size ? line(q) : ""));
        }
    }
}

BRENN_BOTH_FAMILIES(Dump);

class LocalDump : public Dump {};

constexpr char kTotal[] = "total node num=4,wr=-1, pk[0]=-1,pk[1]=-1,pk[2]=-1\n";
constexpr char kWindow[] = "\tdynamic=NO, tail=0, size=0\n";

// A line of L characters goes in only when L is less than the room left; a line that does not
// fit is dropped and a later, shorter one may still go in. Nothing else is written.
TEST_P(LocalDump, LinesGoInWhileTheyFit) {
    ASSERT_EQ(std::strlen(kTotal), 51u);
    ASSERT_EQ(std::strlen(kWindow), 28u);
    const int32_t q = fresh(4 * 32);
    ASSERT_GE(q, 0);
    const struct {
        int32_t len;
        std::string text;
    } cases[] = {
        {200, std::string(kTotal) + kWindow},
        {80, std::string(kTotal) + kWindow},
        {79, kTotal},
        {52, kTotal},
        {51, kWindow},
        {29, kWindow},
        {28, ""},
        {1, ""},
        {0, ""},
        {-4, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.len);
        EXPECT_EQ(local_dump(q, c.len), buffer_with(c.text));
    }
}

INSTANTIATE_TEST_SUITE_P(Families, LocalDump, ::testing::Values(&kLocal), family_name);

}  // namespace
}  // namespace brenn_test
