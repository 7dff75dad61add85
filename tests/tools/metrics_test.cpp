// brennctl metrics on shared queues of known state, read back by prometheus_client's parser
// (check_metrics.py): the samples it finds, on standard output and in the textfile.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/families.h"
#include "tools/brennctl_support.h"

namespace brenn_test {
namespace {

// The samples of an exposition as check_metrics.py prints them, and whether it found them all
// within the rules.
struct Parsed {
    bool ok;
    std::string samples;
};
Parsed parse(const std::string &exposition) {
    const std::string input = testing::TempDir() + "brenn_metrics.prom";
    std::ofstream(input) << exposition;
    FILE *p = popen((std::string(BRENN_PYTHON " " CHECK_METRICS " <") + input).c_str(), "r");
    std::string out;
    for (int c; p != nullptr && (c = std::fgetc(p)) != EOF;)
        out += static_cast<char>(c);
    const int status = p != nullptr ? pclose(p) : -1;
    return {status == 0, out};
}

class Metrics : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { arm_watchdog(60); }
    void SetUp() override {
        gsq_c_destroy();
        remove_shared_objects();
        ASSERT_EQ(gsq_c_create(), 0);
    }
    void TearDown() override {
        gsq_c_destroy();
        remove_shared_objects();
    }
};

TEST_F(Metrics, TheParserReadsTheKnownSystem) {
    // Queue 0, plain, 8 nodes: session 0 took 2 of the first 3 nodes and was lapped, session 1
    // keeps up; 12 writes, 1 read. Queue 1, dynamic with a window of 3, holds 10 writes that
    // nobody read; a process took its lock and died.
    uint64_t back = 0, handle = 0;
    int32_t gap = 0;
    const auto write = [&](int32_t q, int n) {
        for (int i = 0; i < n; ++i)
            gsq_c_write(q, 100 + i, &back, 1000 + 40 * i);
    };
    const auto peek = [&](int32_t q, int32_t s, int n) {
        for (int i = 0; i < n; ++i)
            gsq_c_peek(q, s, &handle, &gap);
    };
    const int32_t plain = gsq_c_alloc_queue(8 * 32, 4, 0, 1, 1);
    const int32_t s0 = gsq_c_create_session(plain), s1 = gsq_c_create_session(plain);
    write(plain, 3);
    peek(plain, s0, 2);
    peek(plain, s1, 3);
    write(plain, 9);
    peek(plain, s1, 1);
    gsq_read(plain, &handle);
    const int32_t dynamic = gsq_c_dynamic_alloc(7, 3, 8, 0, 1, 1);
    write(dynamic, 10);
    const pid_t child = fork();
    if (child == 0) _exit(gsq_lock(dynamic) == 0 ? 0 : 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(std::make_pair(plain, dynamic), std::make_pair(0, 1));
    ASSERT_EQ(std::make_pair(s0, s1), std::make_pair(0, 1));

    const Ran metrics = brennctl({"metrics"});
    ASSERT_EQ(metrics.code, 0) << metrics.err;
    const Parsed parsed = parse(metrics.out);
    EXPECT_TRUE(parsed.ok) << parsed.samples;
    const char *const expected[] = {
        "brenn_up 1",
        "brenn_queues_allocated 2",
        R"(brenn_queue_info{kind="plain",queue="0"} 1)",
        R"(brenn_queue_info{kind="dynamic",queue="1"} 1)",
        R"(brenn_queue_nodes{queue="1"} 8)",
        R"(brenn_queue_window_nodes{queue="1"} 3)",
        R"(brenn_queue_writes_total{queue="0"} 12)",
        R"(brenn_queue_writes_total{queue="1"} 10)",
        R"(brenn_queue_reader_lag_nodes{queue="0"} 7)",
        R"(brenn_queue_reader_lag_nodes{queue="1"} 3)",
        R"(brenn_queue_sessions{queue="0"} 2)",
        R"(brenn_queue_sessions_max{queue="1"} 8)",
        R"(brenn_session_cur_seq{queue="0",session="0"} 1)",
        R"(brenn_session_takes_total{queue="0",session="0"} 2)",
        R"(brenn_session_lag_nodes{queue="0",session="0"} 10)",
        R"(brenn_session_cur_seq{queue="0",session="1"} 11)",
        R"(brenn_session_takes_total{queue="0",session="1"} 4)",
        R"(brenn_session_lag_nodes{queue="0",session="1"} 0)",
        R"(brenn_semaphore_set_present{set="4"} 1)",
        R"(brenn_lock_held{index="0",queue="0",set="0"} 0)",
        R"(brenn_lock_held{index="1",queue="1",set="0"} 1)",
        R"(brenn_lock_holder_dead{index="1",queue="1",set="0"} 1)",
    };
    for (const char *line : expected)
        EXPECT_NE(parsed.samples.find(std::string(line) + "\n"), std::string::npos) << line;

    // The textfile holds the same text, and nothing else is left in the directory.
    const std::string dir = testing::TempDir() + "brenn_textfile";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directory(dir);
    const Ran written = brennctl({"metrics", "--textfile", dir});
    EXPECT_EQ(written.code, 0) << written.err;
    std::stringstream file;
    file << std::ifstream(dir + "/brenn.prom").rdbuf();
    EXPECT_EQ(file.str(), metrics.out);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    std::filesystem::remove_all(dir);
    EXPECT_EQ(brennctl({"metrics", "--textfile", dir}).code, 2);  // no such directory

    // A system that is down is a value too.
    gsq_c_destroy();
    remove_shared_objects();
    const Ran down = brennctl({"metrics"});
    EXPECT_EQ(down.code, 0) << down.err;
    const Parsed none = parse(down.out);
    EXPECT_TRUE(none.ok) << none.samples;
    EXPECT_EQ(none.samples.find("brenn_up 0\n"), 0u) << none.samples;
    EXPECT_NE(none.samples.find(R"(brenn_semaphore_set_present{set="0"} 0)"), std::string::npos);
}

}  // namespace
}  // namespace brenn_test
