// brennctl against shared queues of known state: the rows of list and status, the holders of
// queue locks (a dead one among them), the rates of watch, the library's dump and lifecycle
// codes, and the exit codes of every kind of failure.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "common/families.h"
#include "tools/brennctl_support.h"

namespace brenn_test {
namespace {

constexpr auto npos = std::string::npos;
const std::vector<std::string> kQueueFields = {
    "queue", "kind", "window", "node_num", "sessions_in_use", "max_sessions", "write_seq",
    "rd",    "wr",   "tail",   "no_block", "sharable",        "lock_held",    "looking_back"};
const std::vector<std::string> kSessionFields = {"session",    "pk",  "cur_seq",
                                                 "live_count", "lag", "looking_back"};

// Checks the named members of a JSON object against values written in one line, in order.
void expect_fields(const Json &j, const std::vector<std::string> &names, const std::string &line) {
    std::istringstream values(line);
    for (const std::string &name : names) {
        std::string value;
        values >> value;
        EXPECT_EQ(j[name].str(), value) << name << " in " << line;
    }
}

std::string txt(int64_t v) {
    return std::to_string(v);
}

// Runs of spaces become one, so that table lines compare without their alignment.
std::string squeeze(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c != ' ' || out.empty() || out.back() != ' ') out += c;
    }
    return out;
}

class Brennctl : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { arm_watchdog(80); }
    void SetUp() override {
        gsq_c_destroy();
        remove_shared_objects();
        ASSERT_EQ(gsq_c_create(), 0);
    }
    void TearDown() override {
        gsq_c_destroy();
        remove_shared_objects();
    }
    static Json doc(const std::vector<std::string> &args) {
        const Ran r = brennctl(args);
        EXPECT_EQ(r.code, 0) << r.err;
        return Json::parse(r.out);
    }
    uint64_t back_ = 0, handle_ = 0;
    int32_t gap_ = 0;
    void write(int32_t q, int n) {
        for (int i = 0; i < n; ++i)
            gsq_c_write(q, 100 + i, &back_, 1000 + 40 * i);
    }
    void peek(int32_t q, int32_t s, int n) {
        for (int i = 0; i < n; ++i)
            gsq_c_peek(q, s, &handle_, &gap_);
    }
};

TEST_F(Brennctl, ListAndStatusShowTheQueuesAsTheyStand) {
    // Plain, 8 nodes: session 0 took 2 of the first 3 nodes, then the writer went round the
    // ring past it (12 written): it is 10 behind, more than the ring holds. Session 1 keeps up.
    const int32_t plain = gsq_c_alloc_queue(8 * 32, 4, 0, 1, 1);
    const int32_t s0 = gsq_c_create_session(plain), s1 = gsq_c_create_session(plain);
    write(plain, 3);
    peek(plain, s0, 2);
    peek(plain, s1, 3);
    write(plain, 9);
    peek(plain, s1, 1);  // node 3, seq 11
    gsq_read(plain, &handle_);
    // Dynamic, 8 nodes with a window of 3 after 10 writes, its lock held here; its session
    // came before the first write and has taken nothing: the 3 nodes of the window wait for it.
    const int32_t dynamic = gsq_c_dynamic_alloc(7, 3, 8, 0, 1, 1);
    const int32_t waiting = gsq_c_create_session(dynamic);
    write(dynamic, 10);
    ASSERT_EQ(gsq_lock(dynamic), 0);
    // Consuming, blocking, with a session inside a look-back (which holds the lock too).
    const int32_t looking = gsq_c_alloc_queue(16 * 32, 2, 0, 0, 0);
    const int32_t s = gsq_c_create_session(looking);
    write(looking, 1);
    int32_t node_num = 0, quarter = 0;
    ASSERT_EQ(VSQ_BEGIN_LOOK_BACK(looking, s, &node_num, &quarter), 0);
    gsq_c_free_queue(gsq_c_alloc_queue(64, 1, 0, 1, 1));  // a freed queue has no row

    const std::string id[] = {txt(plain), txt(dynamic), txt(looking)};
    const std::string rows[] = {id[0] + " plain null 8 2 4 12 0 3 0 1 1 false false",
                                id[1] + " dynamic 3 8 1 8 10 -1 1 7 1 1 true false",
                                id[2] + " plain null 16 1 2 1 -1 0 0 0 0 true true"};
    const std::vector<std::string> sessions[] = {
        {txt(s0) + " 1 1 2 10 false", txt(s1) + " 3 11 4 0 false"},
        {txt(waiting) + " -1 -1 0 3 false"},
        {txt(s) + " 0 0 0 0 true"}};

    const Json list = doc({"list", "--json"});
    EXPECT_NE(list["note"].text.find("without the queue locks"), npos);
    ASSERT_EQ(list["queues"].items.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        expect_fields(list["queues"][i], kQueueFields, rows[i]);
        const Json status = doc({"status", id[i], "--json"});
        EXPECT_NE(status["note"].text.find("torn"), npos);
        expect_fields(status["queue"], kQueueFields, rows[i]);
        const Json &rows_of_sessions = status["queue"]["sessions"];
        ASSERT_EQ(rows_of_sessions.items.size(), sessions[i].size());
        for (size_t k = 0; k < sessions[i].size(); ++k) {
            expect_fields(rows_of_sessions[k], kSessionFields, sessions[i][k]);
        }
    }

    const Ran text = brennctl({"list"});
    EXPECT_NE(squeeze(text.out).find(" 1 dynamic (w=3) 8 1/8 10 -1 1 7 yes yes held -\n"), npos)
        << text.out;
    EXPECT_NE(text.out.find("\n* snapshot taken without the queue locks"), npos) << text.out;
    const std::string status = squeeze(brennctl({"status", id[0]}).out);
    EXPECT_NE(status.find(" 0 1 1 2 10 -\n 1 3 11 4 0 -\n"), npos) << status;

    EXPECT_EQ(VSQ_END_LOOK_BACK(looking, s), 0);
    EXPECT_EQ(gsq_unlock(dynamic), 0);
    EXPECT_EQ(doc({"status", id[1], "--json"})["queue"]["lock_held"].str(), "false");
}

TEST_F(Brennctl, LocksNameTheirHoldersTheDeadOnesTooUntilReset) {
    const int32_t q = gsq_c_alloc_queue(256, 4, 0, 1, 1);
    const int32_t mine = gsq_c_alloc_queue(256, 4, 0, 1, 1);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        const char c = gsq_lock(q) == 0 ? 'l' : 'x';
        (void)!::write(ready[1], &c, 1);
        pause();
        _exit(0);
    }
    pollfd p{ready[0], POLLIN, 0};
    char c = 0;
    const bool locked = poll(&p, 1, 5000) == 1 && read(ready[0], &c, 1) == 1 && c == 'l';
    kill(child, SIGKILL);  // whether it locked or not: it must not outlive the test
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    ASSERT_TRUE(locked);
    ASSERT_EQ(gsq_lock(mine), 0);

    const Json locks = doc({"locks", "--json"});
    EXPECT_EQ(locks["holders_known"].str(), "true");
    const std::vector<std::string> fields = {"queue", "set", "index", "holder", "holder_state"};
    ASSERT_EQ(locks["locks"].items.size(), 2u);
    expect_fields(locks["locks"][0], fields,
                  txt(q) + " " + txt(q / 125) + " " + txt(q % 125) + " " + txt(child) + " dead");
    EXPECT_EQ(locks["locks"][0]["free_with"].str(), "brennctl reset --yes");
    expect_fields(
        locks["locks"][1], fields,
        txt(mine) + " " + txt(mine / 125) + " " + txt(mine % 125) + " " + txt(getpid()) + " alive");
    EXPECT_EQ(locks["locks"][1]["free_with"].str(), "null");
    const std::string text = squeeze(brennctl({"locks"}).out);
    EXPECT_NE(text.find(txt(child) + " dead: never released"), npos) << text;
    EXPECT_NE(text.find("`brennctl reset --yes`"), npos) << text;
    ASSERT_EQ(gsq_unlock(mine), 0);

    // Both calls that free every queue want --yes while queues are allocated.
    for (const char *command : {"reset", "destroy"}) {
        const Ran refused = brennctl({command});
        EXPECT_EQ(refused.code, 6) << command;
        EXPECT_NE(refused.err.find("2 queue(s) are allocated"), npos) << refused.err;
    }
    EXPECT_TRUE(shared_objects_present());
    EXPECT_EQ(doc({"locks", "--json"})["locks"].items.size(), 1u);
    const Ran reset = brennctl({"reset", "--yes"});
    EXPECT_EQ(reset.code, 0) << reset.err;
    EXPECT_EQ(reset.out, "gsq_c_reset: 0: every queue freed, stuck locks released\n");
    EXPECT_EQ(doc({"locks", "--json"})["locks"].items.size(), 0u);
    EXPECT_EQ(doc({"list", "--json"})["queues"].items.size(), 0u);
}

TEST_F(Brennctl, WatchTakesRatesAndLagsFromSuccessiveSnapshots) {
    const int32_t q = gsq_c_alloc_queue(16 * 32, 4, 0, 1, 1);
    const int32_t s = gsq_c_create_session(q);
    write(q, 2);

    Tool watch({"watch", txt(q), "--json", "--count", "2", "--interval", "0.2"});
    const std::optional<std::string> first = watch.line(std::chrono::seconds(5));
    ASSERT_TRUE(first.has_value());
    write(q, 6);  // between the first document and the next snapshot: 6 writes, 5 takes
    peek(q, s, 5);
    const std::optional<std::string> second = watch.line(std::chrono::seconds(5));
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(watch.finish(), 0) << watch.err;
    EXPECT_EQ(watch.out, "");  // two documents, nothing after them

    // interval, write_seq, writes; then the session's takes, live_count and lag.
    const std::pair<std::string, std::string> docs[] = {{*first, "1 2 0 0 0 2"},
                                                        {*second, "2 8 6 5 5 3"}};
    for (const auto &[line, expected] : docs) {
        const Json d = Json::parse(line);
        ASSERT_EQ(d["queues"].items.size(), 1u) << line;
        const Json &row = d["queues"][0];
        ASSERT_EQ(row["sessions"].items.size(), 1u) << line;
        const Json &session = row["sessions"][0];
        std::istringstream e(expected);
        int64_t interval, write_seq, writes, takes, live_count, lag;
        e >> interval >> write_seq >> writes >> takes >> live_count >> lag;
        EXPECT_EQ(d["interval"].integer(), interval);
        EXPECT_EQ(row["write_seq"].integer(), write_seq);
        EXPECT_EQ(row["writes"].integer(), writes);
        EXPECT_EQ(session["takes"].integer(), takes);
        EXPECT_EQ(session["live_count"].integer(), live_count);
        EXPECT_EQ(session["lag"].integer(), lag);
        const double elapsed = d["elapsed"].number();
        EXPECT_GT(elapsed, 0.1);
        EXPECT_LT(elapsed, 2.0);
        EXPECT_NEAR(row["writes_per_sec"].number(), writes / elapsed, 0.01);
        EXPECT_NEAR(session["takes_per_sec"].number(), takes / elapsed, 0.01);
    }

    // Not on a terminal, the table comes as one block per interval.
    const Ran block = brennctl({"watch", "--count", "1", "--interval", "0.05"});
    EXPECT_EQ(block.code, 0) << block.err;
    EXPECT_EQ(block.out.find("brennctl watch: interval 1 "), 0u) << block.out;
    EXPECT_NE(block.out.find("WRITES/S"), npos);
    EXPECT_NE(squeeze(block.out).find(" 0 4 4 5 3 - 0.0\n"), npos) << block.out;
    EXPECT_EQ(block.out.find("\x1b"), npos);
}

TEST_F(Brennctl, DumpAndLifecycleGoThroughTheLibrary) {
    const int32_t q = gsq_c_dynamic_alloc(5, 3, 4, 0, 1, 1);
    write(q, 7);
    const std::string expected = capture_stdout([&] { gsq_c_dump(q); });
    const Ran dump = brennctl({"dump", txt(q)});
    EXPECT_EQ(dump.code, 0) << dump.err;
    EXPECT_EQ(dump.out, expected);

    const Ran twice = brennctl({"create"});
    EXPECT_EQ(twice.code, 1);
    EXPECT_EQ(twice.out, "create_semaphore failed errno=17\n");
    EXPECT_NE(twice.err.find("gsq_c_create: -6: "), npos) << twice.err;
    EXPECT_EQ(doc({"list", "--json"})["queues"].items.size(), 1u);  // the running system stays

    const Ran destroy = brennctl({"destroy", "--yes"});
    EXPECT_EQ(destroy.code, 0) << destroy.err;
    EXPECT_EQ(destroy.out, "gsq_c_destroy: 0: segment and semaphore sets removed\n");
    EXPECT_FALSE(shared_objects_present());
    const Ran create = brennctl({"create"});
    EXPECT_EQ(create.code, 0) << create.err;
    EXPECT_EQ(create.out, "gsq_c_create: 0: the shared system is up\n");
    EXPECT_EQ(doc({"list", "--json"})["queues"].items.size(), 0u);
}

TEST_F(Brennctl, ExitCodesTellWhatWentWrong) {
    ASSERT_EQ(gsq_c_alloc_queue(256, 4, 0, 1, 1), 0);  // queue 1 stays free
    struct Case {
        std::vector<std::string> args;
        int code;
        const char *says;  // on standard error (or output, for help)
    };
    const Case up[] = {
        {{"status", "1"}, 5, "queue 1 is not allocated"},
        {{"dump", "1"}, 5, "queue 1 is not allocated"},
        {{"watch", "0", "1", "--count", "1"}, 5, "queue 1 is not allocated"},
        {{"status"}, 2, "Q is required"},
        {{"status", "512"}, 2, "not in range"},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{}, 2, "A subcommand is required"},
        {{"watch", "--interval", "0"}, 2, "--interval"},
        {{"watch", "--count", "x"}, 2, "--count"},
        {{"list", "--bogus"}, 2, "--bogus"},
        {{"--help"}, 0, "  5  no such queue"},
    };
    for (const Case &c : up) {
        const Ran r = brennctl(c.args);
        EXPECT_EQ(r.code, c.code) << (c.args.empty() ? "" : c.args[0]) << ": " << r.err;
        EXPECT_NE((r.err + r.out).find(c.says), npos) << r.err << r.out;
    }
    // The system's objects belong to root with mode 0660: another user may not read them.
    if (getuid() == 0) {
        for (const char *command : {"list", "locks"}) {
            const Ran denied = brennctl({command}, 65534);
            if (denied.code == 126 || denied.code == 127) break;  // that user cannot run it here
            EXPECT_EQ(denied.code, 4) << denied.err;
            EXPECT_NE(denied.err.find("permission denied"), npos) << denied.err;
        }
    }
    gsq_c_destroy();
    remove_shared_objects();
    const std::vector<std::string> down[] = {{"list"},
                                             {"status", "0"},
                                             {"locks"},
                                             {"dump", "0"},
                                             {"reset", "--yes"},
                                             {"destroy", "--yes"},
                                             {"watch", "--count", "1"}};
    for (const auto &args : down) {
        const Ran r = brennctl(args);
        EXPECT_EQ(r.code, 3) << args[0];
        EXPECT_NE(r.err.find("is not up"), npos) << r.err;
    }
}

}  // namespace
}  // namespace brenn_test
