// brennctl, a child of this program, against a shared system of known state: what each
// command prints and the exit code of each kind of failure; metrics read back by
// prometheus_client's parser (check_metrics.py).
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include "common/family.h"

namespace brenn_test {
namespace {

constexpr auto npos = std::string::npos;

std::string contents(FILE *f) {
    std::string text(static_cast<size_t>(lseek(fileno(f), 0, SEEK_END)), '\0');
    return pread(fileno(f), text.data(), text.size(), 0) >= 0 ? text : "<unread>";
}

struct Ran {
    int code;
    std::string out, err;
};
// The tool (behind the emulator of a cross build) with the words of `command`; `between` runs
// once the first line of its output is out.
Ran brennctl(const std::string &command, std::function<void()> between = {}) {
    std::istringstream words(command);
    std::vector<std::string> args{BRENNCTL_COMMAND};
    args.insert(args.end(), std::istream_iterator<std::string>(words), {});
    FILE *out = std::tmpfile(), *err = std::tmpfile();
    const pid_t pid = fork_child([&] {
        dup2(fileno(out), 1);
        dup2(fileno(err), 2);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        return 127;
    });
    for (int i = 0; between && i < 5000 && contents(out).find('\n') == npos; ++i)
        std::this_thread::sleep_for(1ms);
    if (between) between();
    Ran r{child_result(pid), contents(out), contents(err)};
    std::fclose(out);
    std::fclose(err);
    return r;
}

// A JSON object, left open, of `names` and `values` (strings are the values not numbers,
// true, false or null).
std::string object(const char *names, const std::string &values) {
    std::istringstream n(names), v(values);
    std::string out, name, value;
    while (n >> name && v >> value) {
        const bool bare = value == "true" || value == "false" || value == "null" ||
                          value.find_first_not_of("-0123456789.") == npos;
        out += (out.empty() ? "{\"" : ",\"") + name + "\":" + (bare ? value : '"' + value + '"');
    }
    return out;
}
const char kQueue[] =
    "queue allocated kind window node_num sessions_in_use max_sessions write_seq rd wr tail "
    "no_block sharable lock_held looking_back";
const char kSession[] = "session pk cur_seq live_count looking_back lag";
const std::string kNote =
    R"({"note":"snapshot taken without the queue locks: rows may be torn under traffic",)";

// Runs of spaces become one, so that table lines compare without their alignment.
std::string squeeze(const std::string &text) {
    return std::regex_replace(text, std::regex(" +"), " ");
}

#ifdef BRENN_PYTHON
// A path of this process's own in the temporary directory: two builds' suites may run at once.
std::string scratch(const char *name) {
    return testing::TempDir() + std::to_string(getpid()) + "." + name;
}

// The samples check_metrics.py finds in an exposition, "<refused>" after them when it breaks
// the naming rules.
std::string samples(const std::string &exposition) {
    const std::string input = scratch("brenn_metrics.prom");
    std::ofstream(input) << exposition;
    FILE *p = popen((BRENN_PYTHON " " CHECK_METRICS " <" + input).c_str(), "r");
    std::string out;
    for (int c; p != nullptr && (c = std::fgetc(p)) != EOF;)
        out += static_cast<char>(c);
    const bool parsed = p != nullptr && pclose(p) == 0;
    std::remove(input.c_str());
    return parsed ? out : out + "<refused>";
}
#endif

[[maybe_unused]] const bool kWatchdog = arm_watchdog(80);
using Brennctl = FamilyTest<Shared>;
void write(int32_t q, int n) {
    uint64_t back;
    for (int i = 0; i < n; ++i)
        gsq_c_write(q, 100 + i, &back, 1000 + 40 * i);
}
void peek(int32_t q, int32_t s, int n) {
    uint64_t obj;
    for (int32_t i = 0, gap; i < n; ++i)
        gsq_c_peek(q, s, &obj, &gap);
}

TEST_F(Brennctl, EveryViewShowsTheKnownSystem) {
    // Queue 0, plain, 8 nodes: session 0 took 2 of the first 3 nodes and was lapped (10
    // behind), session 1 keeps up; 12 writes, 1 read.
    ASSERT_EQ(gsq_c_alloc_queue(8 * 32, 4, 0, 1, 1), 0);
    ASSERT_EQ(gsq_c_create_session(0), 0);
    ASSERT_EQ(gsq_c_create_session(0), 1);
    write(0, 3);
    peek(0, 0, 2);
    peek(0, 1, 3);
    write(0, 9);
    peek(0, 1, 1);
    uint64_t obj;
    gsq_read(0, &obj);
    // Queue 1, dynamic, window 3 of 8: 10 writes its session has not taken; a process that
    // is gone holds its lock.
    ASSERT_EQ(gsq_c_dynamic_alloc(7, 3, 8, 0, 1, 1), 1);
    ASSERT_EQ(gsq_c_create_session(1), 0);
    write(1, 10);
    const pid_t dead = fork_child([] { return gsq_lock(1); });
    ASSERT_EQ(child_result(dead), 0);
    // Queue 2, consuming and blocking, its session inside a look-back (holding the lock).
    ASSERT_EQ(gsq_c_alloc_queue(16 * 32, 2, 0, 0, 0), 2);
    ASSERT_EQ(gsq_c_create_session(2), 0);
    write(2, 1);
    int32_t node_num = 0, quarter = 0;
    ASSERT_EQ(VSQ_BEGIN_LOOK_BACK(2, 0, &node_num, &quarter), 0);
    gsq_c_free_queue(gsq_c_alloc_queue(64, 1, 0, 1, 1));  // a freed queue has no row

    const std::string rows[] = {object(kQueue, "0 true plain null 8 2 4 12 0 3 0 1 1 false false"),
                                object(kQueue, "1 true dynamic 3 8 1 8 10 -1 1 7 1 1 true false"),
                                object(kQueue, "2 true plain null 16 1 2 1 -1 0 0 0 0 true true")};
    const std::string sessions[] = {
        object(kSession, "0 1 1 2 false 10") + "}," + object(kSession, "1 3 11 4 false 0") + "}",
        object(kSession, "0 -1 -1 0 false 3") + "}", object(kSession, "0 0 0 0 true 0") + "}"};
    EXPECT_EQ(brennctl("list --json").out,
              kNote + "\"queues\":[" + rows[0] + "}," + rows[1] + "}," + rows[2] + "}]}\n");
    for (int q = 0; q < 3; ++q) {
        EXPECT_EQ(brennctl("status " + std::to_string(q) + " --json").out,
                  kNote + "\"queue\":" + rows[q] + ",\"sessions\":[" + sessions[q] + "]}}\n");
    }
    const std::string list = squeeze(brennctl("list").out);
    EXPECT_NE(list.find(" 1 dynamic (w=3) 8 1/8 10 -1 1 7 yes yes held -\n"), npos) << list;
    EXPECT_NE(list.find("\n* snapshot taken without the queue locks"), npos) << list;
    EXPECT_NE(squeeze(brennctl("status 0").out).find(" 0 1 1 2 10 -\n 1 3 11 4 0 -\n"), npos);
    EXPECT_EQ(brennctl("dump 1").out, capture_stdout([] { gsq_c_dump(1); }));

    EXPECT_EQ(brennctl("locks --json").out,
              R"({"holders_known":true,"locks":[)" +
                  object("queue set index allocated holder holder_state",
                         "1 0 1 true " + std::to_string(dead) + " dead") +
                  R"(,"free_with":"brennctl reset --yes"},)" +
                  object("queue set index allocated holder holder_state free_with",
                         "2 0 2 true " + std::to_string(getpid()) + " alive null") +
                  "}]}\n");
    const std::string locks = squeeze(brennctl("locks").out);
    EXPECT_NE(locks.find(std::to_string(dead) + " dead: never released"), npos) << locks;
    EXPECT_NE(locks.find("* `brennctl reset --yes` frees every queue"), npos) << locks;

#ifdef BRENN_PYTHON
    const Ran metrics = brennctl("metrics");
    const std::string found = samples(metrics.out);
    std::istringstream want(R"(brenn_up 1
brenn_queues_allocated 3
brenn_queue_info{kind="dynamic",queue="1"} 1
brenn_queue_nodes{queue="1"} 8
brenn_queue_window_nodes{queue="1"} 3
brenn_queue_writes_total{queue="0"} 12
brenn_queue_reader_lag_nodes{queue="0"} 7
brenn_queue_sessions{queue="0"} 2
brenn_queue_sessions_max{queue="1"} 8
brenn_session_cur_seq{queue="0",session="1"} 11
brenn_session_takes_total{queue="0",session="0"} 2
brenn_session_lag_nodes{queue="0",session="0"} 10
brenn_semaphore_set_present{set="4"} 1
brenn_lock_held{index="0",queue="0",set="0"} 0
brenn_lock_holder_dead{index="1",queue="1",set="0"} 1)");
    for (std::string line; std::getline(want, line);) {  // the parser adds a counter's _total
        EXPECT_NE(found.find(line + "\n"), npos) << line << "\n" << found;
        EXPECT_NE(metrics.out.find("\n" + line.substr(0, line.find_first_of("{ ") + 1)), npos);
    }
    EXPECT_EQ(found.find("<refused>"), npos) << found;
    // The textfile is written whole under its name: nothing else is left in the directory.
    const std::string dir = scratch("brenn_textfile");
    std::filesystem::remove_all(dir);
    std::filesystem::create_directory(dir);
    EXPECT_EQ(brennctl("metrics --textfile " + dir).code, 0);
    std::ostringstream file;
    file << std::ifstream(dir + "/brenn.prom").rdbuf();
    EXPECT_EQ(file.str(), metrics.out);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    std::filesystem::remove_all(dir);
    EXPECT_EQ(brennctl("metrics --textfile " + dir).code, 2);  // no such directory
#endif

    const Ran reset = brennctl("reset --yes");
    EXPECT_EQ(std::to_string(reset.code) + reset.out + reset.err,
              "0gsq_c_reset: 0: every queue freed, stuck locks released\n");
    EXPECT_EQ(brennctl("locks").out, "no queue lock is held\n");
    EXPECT_EQ(brennctl("list --json").out, kNote + "\"queues\":[]}\n");
}

TEST_F(Brennctl, WatchTakesRatesFromSuccessiveSnapshots) {
    ASSERT_EQ(gsq_c_alloc_queue(16 * 32, 4, 0, 1, 1), 0);
    ASSERT_EQ(gsq_c_create_session(0), 0);
    write(0, 2);
    // Between the first document and the next snapshot: 6 writes, 5 takes.
    const Ran watch = brennctl("watch 0 --json --count 2 --interval 0.2", [&] {
        write(0, 6);
        peek(0, 0, 5);
    });
    ASSERT_EQ(watch.code, 0) << watch.err;
    std::istringstream docs(watch.out);
    // interval, write_seq, writes; then the session's takes, live_count and lag.
    for (const char *expected : {"1 2 0 0 0 2", "2 8 6 5 5 3"}) {
        std::string doc;
        ASSERT_TRUE(std::getline(docs, doc));
        auto number = [&](const char *name) {
            const size_t at = doc.find(std::string("\"") + name + "\":");
            return at == npos ? -1.0
                              : std::strtod(doc.c_str() + at + std::strlen(name) + 3, nullptr);
        };
        std::ostringstream got;
        for (const char *name : {"interval", "write_seq", "writes", "takes", "live_count", "lag"})
            got << (got.tellp() ? " " : "") << number(name);
        EXPECT_EQ(got.str(), expected);
        const double elapsed = number("elapsed");
        EXPECT_TRUE(elapsed > 0.1 && elapsed < 2) << elapsed;
        EXPECT_NEAR(number("writes_per_sec"), number("writes") / elapsed, 0.01);
        EXPECT_NEAR(number("takes_per_sec"), number("takes") / elapsed, 0.01);
    }
    EXPECT_EQ(docs.peek(), EOF) << "more than two documents";
    // Not on a terminal, one block per interval and no control sequence.
    const Ran block = brennctl("watch --count 1 --interval 0.05");
    EXPECT_EQ(block.out.find("brennctl watch: interval 1 "), 0u) << block.out;
    EXPECT_NE(squeeze(block.out).find(" 0 4 4 5 3 - 0.0\n"), npos) << block.out;
    EXPECT_EQ(block.out.find('\x1b'), npos);
}

TEST_F(Brennctl, ExitCodesTellWhatWentWrong) {
    ASSERT_EQ(gsq_c_alloc_queue(256, 4, 0, 1, 1), 0);  // queue 1 stays free
    const char *not_up = "|brennctl: the shared system is not up: ";
    // The exit code, then the commands (separated by ';') that give it with the text.
    for (const auto &[commands, says] :
         std::initializer_list<std::pair<const char *, const char *>>{
             {"1 create", "create_semaphore failed errno=17\n|brennctl: gsq_c_create: -6: "},
             {"5 status 1;dump 1;watch 0 1 --count 1", "|brennctl: queue 1 is not allocated"},
             {"2 status", "Q is required"},
             {"2 status 512", "not in range"},
             {"2 frobnicate", "unknown command 'frobnicate'"},
             {"2  ", "A subcommand is required"},  // no words at all
             {"2 watch --interval 0", "--interval"},
             {"2 watch --count x", "--count"},
             {"2 list --bogus", "--bogus"},
             {"0 --help", "  5  no such queue"},
             {"6 reset;destroy", "|brennctl: 1 queue(s) are allocated"},
             {"0 destroy --yes", "gsq_c_destroy: 0: segment and semaphore sets removed\n|"},
             {"3 list;status 0;locks;dump 0;reset --yes;destroy --yes;watch --count 1", not_up},
             {"0 create", "gsq_c_create: 0: the shared system is up\n|"}}) {
        std::istringstream each(commands + 2);
        for (std::string command; std::getline(each, command, ';');) {
            const Ran r = brennctl(command);
            EXPECT_EQ(r.code, commands[0] - '0') << command << ": " << r.err;
            EXPECT_NE((r.out + "|" + r.err).find(says), npos)
                << command << ": " << r.out << "|" << r.err;
        }
    }
#ifdef BRENN_PYTHON
    Shared::down();
    const std::string down = samples(brennctl("metrics").out);  // a system that is down
    EXPECT_EQ(down.find("brenn_up 0\n"), 0u) << down;
    EXPECT_NE(down.find(R"(brenn_semaphore_set_present{set="0"} 0)"), npos) << down;
#endif
}

}  // namespace
}  // namespace brenn_test
