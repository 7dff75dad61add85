// Checks that both queue tables share: every operation refusing an id it cannot serve, and the
// child processes and System V bookkeeping of the shared family's tests.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "common/families.h"

namespace brenn_test {

using namespace std::chrono_literals;

// What a refused call on (q, s) answers where the answer depends on why it is refused.
struct Refusal {
    int32_t data_available_code;  // -1 bad id or not attached, -2 free slot
    int32_t node_num;             // the node-count accessor's answer
    bool queue_ops;               // also the operations that take no session
};

// Calls every queue operation of `f` on queue q (session s) and checks the refusal of each:
// -1, the all-ones handle or NULL, and out-parameters that must not be written left alone.
inline void expect_refused(const FamilyApi &f, int32_t q, int32_t s, Refusal want) {
    SCOPED_TRACE(std::string(f.name) + " queue " + std::to_string(q) + " session " +
                 std::to_string(s));
    bounded("a refused call", [&] {
        constexpr int32_t kUntouched = 77;
        uint64_t obj = 5;
        int32_t gap = kUntouched, count = kUntouched, nn = kUntouched, qn = kUntouched;
        if (want.queue_ops) {
            EXPECT_FALSE(f.allocated(q));
            EXPECT_EQ(f.node_num(q), want.node_num);
            EXPECT_EQ(f.lock(q), -1);
            EXPECT_EQ(f.unlock(q), -1);
            EXPECT_EQ(f.write(q, 11, &obj, 3), -1);
            EXPECT_EQ(obj, BRENN_NO_HANDLE) << "write";
            obj = 5;
            EXPECT_EQ(f.read(q, &obj), -1);
            EXPECT_EQ(obj, BRENN_NO_HANDLE) << "read";
            obj = 5;
            EXPECT_EQ(f.look(q, 0, &obj), -1);
            EXPECT_EQ(obj, BRENN_NO_HANDLE) << "look";
            EXPECT_EQ(f.ready_to_read(q), -1);
            EXPECT_EQ(f.create_session(q), -1);
            EXPECT_EQ(f.set_sharable(q, 0), -1);
            EXPECT_EQ(f.is_sharable(q), -1);
            EXPECT_EQ(f.resize(q, 1, &count), nullptr);
            EXPECT_EQ(f.clean(q, &count), nullptr);
            EXPECT_EQ(count, kUntouched) << "resize / clean";
            EXPECT_EQ(f.size_by_time(q, 1000), 0);
            QueueStatus status, before;
            std::memset(&status, 0x5a, sizeof status);
            before = status;
            EXPECT_EQ(f.queue_status(q, &status), -1);
            EXPECT_EQ(std::memcmp(&status, &before, sizeof status), 0) << "queue status";
            EXPECT_EQ(f.change_queue_size(q, 640), -1);
        }
        EXPECT_EQ(f.destroy_session(q, s), -1);
        f.seek(q, s);
        EXPECT_EQ(f.reset_peek(q, s), -1);
        obj = 5;
        EXPECT_EQ(f.peek(q, s, &obj, &gap), 0);
        EXPECT_EQ(obj, BRENN_NO_HANDLE) << "peek";
        EXPECT_EQ(gap, kUntouched) << "peek";
        EXPECT_EQ(f.data_available(q, s, &count), 0);
        EXPECT_EQ(count, want.data_available_code) << "data available";
        EXPECT_EQ(f.cur_seq(q, s), -1);
        EXPECT_EQ(f.live_count(q, s), 0u);
        EXPECT_EQ(f.begin_look_back(q, s, &nn, &qn), -1);
        EXPECT_EQ(nn, kUntouched) << "begin look-back";
        EXPECT_EQ(qn, kUntouched) << "begin look-back";
        obj = 5;
        EXPECT_EQ(f.look_back(q, s, &obj), -1);
        EXPECT_EQ(obj, BRENN_NO_HANDLE) << "look-back";
        EXPECT_EQ(f.end_look_back(q, s), -1);
        if (want.queue_ops) f.free_queue(q);
    });
}

// Writes `obj` into q and takes it through a new session, created on the newest node: the seq
// the write got (-2 when the peek took another handle). The newest node must not be the tail:
// a plain ring's write would drop the place of a session sitting there.
inline int64_t write_and_peek(const FamilyApi &f, int32_t q, uint64_t obj) {
    int64_t seq = -2;
    bounded("write and peek", [&] {
        const int32_t s = f.create_session(q);
        EXPECT_EQ(f.write(q, obj, nullptr, 0), 0);
        uint64_t got = 0;
        int32_t gap = 0;
        EXPECT_EQ(f.peek(q, s, &got, &gap), 0);
        if (got == obj) seq = f.cur_seq(q, s);
        f.destroy_session(q, s);
    });
    return seq;
}

// A queue writes a node and is freed; `refuse` then throws every call at the free slot; the
// next allocation takes the same slot and numbers on after that node: no refused call touched
// the slot's counter. Returns the slot, freed again.
inline int32_t expect_slot_untouched(const FamilyApi &f,
                                     const std::function<void(int32_t)> &refuse) {
    const int32_t q = f.alloc_queue(8 * 32, 4, 0, 1, 1);
    EXPECT_GE(q, 0);
    const int64_t seq = write_and_peek(f, q, 1);
    f.free_queue(q);
    refuse(q);
    EXPECT_EQ(f.alloc_queue(8 * 32, 4, 0, 1, 1), q);
    EXPECT_EQ(write_and_peek(f, q, 2), seq + 1);
    f.free_queue(q);
    return q;
}

// ---- processes ----------------------------------------------------------------------------

// In a child process nothing reports through the test framework: a failed check prints why
// and the child ends with a nonzero code.
#define CHILD_CHECK(cond, code)                                                                 \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "child %d: %s:%d: %s\n", static_cast<int>(getpid()), __FILE__, \
                         __LINE__, #cond);                                                      \
            return code;                                                                        \
        }                                                                                       \
    } while (0)

// Forks a child that runs `fn` under an alarm and exits with its result.
inline pid_t fork_child(const std::function<int()> &fn, unsigned alarm_seconds = 15) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(alarm_seconds);
        const int rc = fn();
        std::fflush(nullptr);
        _exit(rc);
    }
    return pid;
}

// The child's exit code once it ended within `limit` (128 + signal when killed); -1 when it is
// still running (it is left running).
inline int exited_within(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0) return -2;
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(2ms);
    }
}

// As exited_within, but a child still running after `limit` is killed and reaped: -1.
inline int child_result(pid_t pid, std::chrono::milliseconds limit = 10s) {
    const int rc = exited_within(pid, limit);
    if (rc == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return rc;
}

// The family's keys that `ipcs` still lists, e.g. "0x00ff0061 ".
inline std::string keys_listed_by_ipcs() {
    std::string text, left;
    if (FILE *p = popen("ipcs -m -s 2>/dev/null", "r")) {
        char chunk[1024];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, p)) > 0)
            text.append(chunk, got);
        pclose(p);
    }
    for (int key : kSharedKeys) {
        char name[16];
        std::snprintf(name, sizeof name, "0x%08x", key);
        if (text.find(name) != std::string::npos) left += std::string(name) + " ";
    }
    return left;
}

// At the end of a program that used the family's keys, none of them may be left.
class IpcsLeftClean : public ::testing::Environment {
  public:
    void TearDown() override {
        EXPECT_EQ(keys_listed_by_ipcs(), "") << "objects left behind";
        EXPECT_FALSE(shared_objects_present());
        remove_shared_objects();
    }
};

}  // namespace brenn_test
