// Helpers of the stand-in's tests: System V keys removed whatever happens, forked children
// and threads waited for with a deadline, a process watchdog that never lets a test hang.
#ifndef BRENN_TESTS_SUPPORT_TEST_UTIL_H
#define BRENN_TESTS_SUPPORT_TEST_UTIL_H

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "olk.h"

namespace support_test {

// Keys of the stand-in's tests: 0x0b5e0000 plus a small number. Each program takes its own
// block of 0x100 so that programs running side by side never meet.
inline constexpr int32_t kKeyBase = 0x0b5e0000;
inline constexpr int32_t kBlock = 0x100;

#if defined(__SANITIZE_THREAD__)
#define SUPPORT_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SUPPORT_TEST_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define SUPPORT_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SUPPORT_TEST_ASAN 1
#endif
#endif

#if defined(SUPPORT_TEST_TSAN)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif
#if defined(SUPPORT_TEST_TSAN) || defined(SUPPORT_TEST_ASAN)
// Sanitized builds run several times slower: stress loops shrink by this much.
inline constexpr int kSlowdown = 2;
#else
inline constexpr int kSlowdown = 1;
#endif

// Removes the segment of `key`, if any. Safe in a signal handler (two system calls).
inline void RemoveKey(int32_t key) {
    const int id = shmget(static_cast<key_t>(key), 0, 0);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
}

inline std::atomic<int32_t> g_first_key{0};

// Removes every key of this program's block; used at the end of each test and by the
// watchdog, so a failed or hung test leaves `ipcs` as it was.
inline void SweepKeys() {
    const int32_t first = g_first_key.load();
    if (first == 0) return;
    for (int32_t k = first; k < first + kBlock; ++k)
        RemoveKey(k);
}

// Removes the key when made (a leftover of a killed run) and when it goes out of scope.
class KeyGuard {
  public:
    explicit KeyGuard(int32_t key) : key_(key) { RemoveKey(key_); }
    ~KeyGuard() { RemoveKey(key_); }
    KeyGuard(const KeyGuard &) = delete;
    KeyGuard &operator=(const KeyGuard &) = delete;
    int32_t key() const { return key_; }

  private:
    int32_t key_;
};

// Removes a segment known by id (IPC_PRIVATE ones have no key to sweep).
class IdGuard {
  public:
    explicit IdGuard(int id) : id_(id) {}
    ~IdGuard() {
        if (id_ >= 0) shmctl(id_, IPC_RMID, nullptr);
    }
    IdGuard(const IdGuard &) = delete;
    IdGuard &operator=(const IdGuard &) = delete;

  private:
    int id_;
};

// Destroys a semaphore set (marking it destroyed and waking its sleepers) and removes its
// segment, whatever state the test left it in.
class SetGuard {
  public:
    explicit SetGuard(int32_t id) : id_(id) {}
    ~SetGuard() { Release(); }
    SetGuard(const SetGuard &) = delete;
    SetGuard &operator=(const SetGuard &) = delete;
    void Release() {
        if (id_ < 0) return;
        vos_destroy_semaphore(id_, 0);
        shmctl(id_, IPC_RMID, nullptr);
        id_ = -1;
    }

  private:
    int32_t id_;
};

inline void WatchdogFired(int) {
    static const char kMsg[] = "\nwatchdog: test did not finish in time; keys removed\n";
    SweepKeys();
    (void)!write(STDERR_FILENO, kMsg, sizeof kMsg - 1);
    _exit(3);
}

// Gives every test of the program its key block, a process alarm while it runs and a key
// sweep when it ends.
class KeyedTest : public ::testing::Test {
  protected:
    static constexpr unsigned kWatchdogSeconds = 45;

    void SetUp() override {
        signal(SIGALRM, WatchdogFired);
        alarm(kWatchdogSeconds);
        SweepKeys();
    }
    void TearDown() override {
        SweepKeys();
        alarm(0);
    }
};

inline void UseKeyBlock(int32_t block) {
    g_first_key.store(kKeyBase + block * kBlock);
}
inline int32_t Key(int32_t n) {
    return g_first_key.load() + n;
}

// Runs `body` in a forked child and exits with its result. The child gets its own alarm so
// that it never outlives a parent that stopped waiting for it.
inline pid_t ForkChild(const std::function<int()> &body, unsigned seconds = 30) {
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGALRM, SIG_DFL);
        alarm(seconds);
        _exit(body());
    }
    return pid;
}

// Waits at most `timeout` for the child; kills and reaps it on timeout. The child's exit
// code, or -1 for timeout and -2 for a signal.
inline int WaitChild(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    if (pid <= 0) return -3;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return -2;
        }
        if (done < 0) return -3;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Reads from fd until EOF or until `timeout` has passed.
inline std::string ReadAll(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char chunk[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready <= 0) break;
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        out.append(chunk, static_cast<size_t>(n));
    }
    return out;
}

// Waits until `done` says true, at most `timeout`.
inline bool WaitFor(const std::function<bool()> &done,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A thread whose join has a deadline. A test whose thread is stuck frees it (for example by
// destroying the set it sleeps in) and joins again; one that cannot is ended by the
// watchdog rather than left running over a finished test's stack.
class BoundedThread {
  public:
    explicit BoundedThread(std::function<void()> body)
        : done_(std::make_shared<std::atomic<bool>>(false)) {
        thread_ = std::thread([body = std::move(body), done = done_] {
            body();
            done->store(true);
        });
    }
    ~BoundedThread() {
        if (thread_.joinable() && !Join(std::chrono::seconds(10))) WatchdogFired(0);
    }
    BoundedThread(const BoundedThread &) = delete;
    BoundedThread &operator=(const BoundedThread &) = delete;

    bool Join(std::chrono::milliseconds timeout) {
        if (!thread_.joinable()) return true;
        if (!WaitFor([this] { return done_->load(); }, timeout)) return false;
        thread_.join();
        return true;
    }
    bool Finished() const { return done_->load(); }

  private:
    std::shared_ptr<std::atomic<bool>> done_;
    std::thread thread_;
};

// Sets an environment variable for one scope and puts back what was there.
class EnvGuard {
  public:
    EnvGuard(const char *name, const char *value) : name_(name) {
        const char *old = std::getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~EnvGuard() {
        if (had_) {
            setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    EnvGuard(const EnvGuard &) = delete;
    EnvGuard &operator=(const EnvGuard &) = delete;

  private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

// Permission bits of a segment as the kernel keeps them.
inline int ModeOf(int id) {
    shmid_ds ds{};
    if (shmctl(id, IPC_STAT, &ds) != 0) return -1;
    return static_cast<int>(ds.shm_perm.mode & 0777);
}

}  // namespace support_test

#endif  // BRENN_TESTS_SUPPORT_TEST_UTIL_H
