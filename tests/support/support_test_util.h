// Helpers of the stand-in's tests: a watchdog that never lets a test hang, System V keys
// removed whatever happens, forked children and threads waited for with a deadline.
#ifndef BRENN_TESTS_SUPPORT_TEST_UTIL_H
#define BRENN_TESTS_SUPPORT_TEST_UTIL_H

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "olk.h"

namespace support_test {

using namespace std::chrono_literals;

#if defined(__SANITIZE_THREAD__)
#define SUPPORT_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SUPPORT_TEST_TSAN 1
#endif
#endif
#if defined(SUPPORT_TEST_TSAN)
// Its runtime makes system calls of its own.
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif

// Each program keeps to its own block of keys 0x0b5e0000 + 0x400 * block + n, so programs
// running side by side never meet.
inline constexpr int32_t kBlockSize = 0x400;
inline std::atomic<int32_t> g_first_key{0};

inline int32_t Key(int32_t n) {
    return g_first_key.load() + n;
}

// Removes every segment of the block; with `destroy`, first destroys those that are
// semaphore sets, which wakes their sleepers and frees their places in this process's table
// of sets (a test of that table counts on it). Without, safe in a signal handler.
inline void SweepKeys(bool destroy) {
    const int32_t first = g_first_key.load();
    for (int32_t k = first; first != 0 && k < first + kBlockSize; ++k) {
        const int id = shmget(static_cast<key_t>(k), 0, 0);
        if (id >= 0 && destroy) vos_destroy_semaphore(id, 0);
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
    }
}

inline void WatchdogFired(int) {
    static const char kMsg[] = "\nwatchdog: test did not finish in time; keys removed\n";
    SweepKeys(false);
    (void)!write(STDERR_FILENO, kMsg, sizeof kMsg - 1);
    _exit(3);
}

// A process alarm while each test runs; kBlock > 0 also gives the program its key block,
// swept before and after each test.
template <int32_t kBlock = 0>
class WatchedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (kBlock > 0) g_first_key.store(0x0b5e0000 + kBlock * kBlockSize);
        signal(SIGALRM, WatchdogFired);
        alarm(45);
        SweepKeys(false);
    }
    void TearDown() override {
        SweepKeys(true);
        alarm(0);
    }
};

// What `call` answers and the errno it leaves, errno cleared first.
template <typename Call>
std::pair<int64_t, int> Answer(Call call) {
    errno = 0;
    const int64_t result = call();
    return {result, errno};
}

// Expects `call` to answer -1 with errno `error`; a message may follow with <<.
#define EXPECT_REFUSED(call, error)                                 \
    EXPECT_EQ(support_test::Answer([&] { return (call); }),         \
              std::make_pair(int64_t{-1}, static_cast<int>(error))) \
        << #call

// Polls `done` until it says true, at most `timeout`.
inline bool WaitFor(const std::function<bool()> &done, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A forked child that exits with what `body` returns. Its own alarm ends it should the parent
// stop waiting; one still running when the object goes is killed and reaped.
class Child {
  public:
    explicit Child(const std::function<int()> &body) : pid_(fork()) {
        if (pid_ == 0) {
            signal(SIGALRM, SIG_DFL);
            alarm(30);
            _exit(body());
        }
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    pid_t pid() const { return pid_; }

    // The exit code; -1 when it did not end within `timeout` (the destructor kills it), -2
    // when a signal ended it.
    int Wait(std::chrono::milliseconds timeout = 20s) {
        int status = 0;
        auto ended = [&] { return waitpid(pid_, &status, WNOHANG) == pid_; };
        if (pid_ <= 0 || !WaitFor(ended, timeout)) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    }

  private:
    pid_t pid_;
};

inline int RunInChild(const std::function<int()> &body) {
    return Child(body).Wait();
}

// The threads of one test, working on semaphore set `set`. When they miss the deadline of
// Join the set is destroyed, which frees every sleeper, and they are joined again: a lost
// wake-up fails the test instead of hanging it, and no thread outlives the test's stack.
class Crew {
  public:
    explicit Crew(int32_t set) : set_(set) {}
    ~Crew() { Join(10s); }

    void Add(std::function<void()> body) {
        threads_.emplace_back([this, body = std::move(body)] {
            body();
            done_.fetch_add(1);
        });
    }
    // Whether all finished in time.
    bool Join(std::chrono::milliseconds timeout) {
        auto all_done = [this] { return done_.load() == threads_.size(); };
        const bool in_time = WaitFor(all_done, timeout);
        if (!in_time) vos_destroy_semaphore(set_, 0);
        if (!in_time && !WaitFor(all_done, 10s)) WatchdogFired(0);
        for (std::thread &t : threads_)
            t.join();
        threads_.clear();
        done_.store(0);
        return in_time;
    }

  private:
    int32_t set_;
    std::vector<std::thread> threads_;
    std::atomic<size_t> done_{0};
};

}  // namespace support_test

#endif  // BRENN_TESTS_SUPPORT_TEST_UTIL_H
