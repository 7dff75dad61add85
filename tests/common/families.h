// The GoogleTest side of the family tables (family_api.h): suites typed over both families, as
// the library binds one engine to both, and the bounded waits of every test program. The
// shared family's fixture creates the system on the family's fixed keys and removes it again,
// also when a check fails.
#pragma once

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/family_api.h"
#include "include/brenn.h"

namespace brenn_test {

// The shared family's System V keys: the segment and the five semaphore sets.
inline constexpr int kSharedKeys[] = {0xff0060, 0xff0061, 0xff0062, 0xff0063, 0xff0064, 0xff0065};

// Removes every object with the family's keys, whatever created it (a test that died halfway,
// for one). The stand-in keeps semaphore sets in shared-memory segments; System V semaphore
// sets with these keys are removed as well, for a support library that uses them.
inline void remove_shared_objects() {
    for (int key : kSharedKeys) {
        int id = shmget(key, 0, 0);
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
        id = semget(key, 0, 0);
        if (id >= 0) semctl(id, 0, IPC_RMID);
    }
}

inline bool shared_objects_present() {
    for (int key : kSharedKeys) {
        if (shmget(key, 0, 0) >= 0 || semget(key, 0, 0) >= 0) return true;
    }
    return false;
}

// A fixture over a family: for the shared one it brings the system up with gsq_c_create before
// each test and tears it down after, leaving the keys as it found them (absent).
class FamilyTest : public ::testing::TestWithParam<const FamilyApi *> {
  protected:
    const FamilyApi &f() const { return *GetParam(); }

    void SetUp() override {
        if (f().shared) {
            gsq_c_destroy();
            remove_shared_objects();
            ASSERT_EQ(gsq_c_create(), 0) << "cannot bring the shared system up";
        }
    }
    void TearDown() override {
        if (f().shared) {
            gsq_c_destroy();
            remove_shared_objects();
        } else {
            for (int32_t q : allocated_) {
                if (lsq_c_get_queue_node_num(q) >= 0) lsq_c_free_queue(q);
            }
        }
        allocated_.clear();
    }

    // Allocation that the fixture releases again (local queues live in this process).
    int32_t alloc(uint32_t size, int32_t max_sessions = 8, int32_t reserve = 0,
                  int32_t no_block = 1, int32_t sharable = 1) {
        int32_t q = f().alloc_queue(size, max_sessions, reserve, no_block, sharable);
        if (q >= 0) allocated_.push_back(q);
        return q;
    }
    int32_t dyn(int32_t k, int32_t w, int32_t max_sessions = 8, int32_t reserve = 0,
                int32_t no_block = 1, int32_t sharable = 1) {
        int32_t q = f().dynamic_alloc(k, w, max_sessions, reserve, no_block, sharable);
        if (q >= 0) allocated_.push_back(q);
        return q;
    }

  private:
    std::vector<int32_t> allocated_;
};

inline std::string family_name(const ::testing::TestParamInfo<const FamilyApi *> &info) {
    return info.param->name;
}

#define BRENN_BOTH_FAMILIES(suite)                                                             \
    INSTANTIATE_TEST_SUITE_P(Families, suite,                                                  \
                             ::testing::Values(&::brenn_test::kLocal, &::brenn_test::kShared), \
                             ::brenn_test::family_name)

// A call on a thread of its own. A thread stuck in a queue wait cannot be joined, and its queue
// must not be freed under it: a caller that finds it still running when it must have returned
// ends the program (require_finish).
struct Blocked {
    std::future<void> done;
    bool still_blocked(std::chrono::milliseconds wait) {
        return done.wait_for(wait) == std::future_status::timeout;
    }
    bool finishes(std::chrono::milliseconds limit) {
        return done.wait_for(limit) == std::future_status::ready;
    }
};
inline Blocked start(std::function<void()> fn) {
    auto task = std::make_shared<std::packaged_task<void()>>(std::move(fn));
    Blocked b{task->get_future()};
    std::thread([task] { (*task)(); }).detach();
    return b;
}
inline bool finishes_within(std::chrono::milliseconds limit, std::function<void()> fn) {
    return start(std::move(fn)).finishes(limit);
}

// Ends the program at once, removing the shared objects first so that the keys are left as
// they were found.
[[noreturn]] inline void give_up(const std::string &why) {
    std::fprintf(stderr, "%s: giving up on this test program\n", why.c_str());
    std::fflush(nullptr);
    remove_shared_objects();
    std::_Exit(1);
}

inline void require_finish(Blocked &b, const std::string &what,
                           std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    if (b.finishes(limit)) return;
    ADD_FAILURE() << what << " did not return within " << limit.count() << " ms";
    give_up(what + " never returned");
}

// Runs `fn`, which must return within `limit`.
inline void bounded(const std::string &what, std::function<void()> fn,
                    std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    Blocked b = start(std::move(fn));
    require_finish(b, what, limit);
}

// A watchdog for a whole test program, so that a library that hangs fails in seconds rather
// than at CTest's time-out.
inline bool arm_watchdog(unsigned seconds) {
    std::thread([seconds] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        give_up("watchdog: still running after " + std::to_string(seconds) + " s");
    }).detach();
    return true;
}

// Captures what `fn` prints on standard output (through a temporary file, so a long dump cannot
// fill a pipe and block).
inline std::string capture_stdout(const std::function<void()> &fn) {
    std::fflush(stdout);
    FILE *tmp = std::tmpfile();
    if (tmp == nullptr) return "<tmpfile failed>";
    int saved = dup(1);
    dup2(fileno(tmp), 1);
    fn();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    std::rewind(tmp);
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, tmp)) > 0)
        text.append(chunk, got);
    std::fclose(tmp);
    return text;
}

}  // namespace brenn_test
