// What every test program shares: bounded waits, children with a time limit, a watchdog, the
// removal of the shared family's System V objects and a reproducible generator. No test
// framework, so that the campaigns' children and the fuzz targets can use it as well.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
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

#include "shared/segment.h"

namespace brenn_test {

using namespace std::chrono_literals;
inline constexpr uint64_t kNone = UINT64_MAX;

// Under a sanitizer (its own allocator and threads) or an emulator (its memory is the
// process's), address-space limits and memory figures mean nothing.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
inline constexpr bool kSanitized =
    __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
inline constexpr bool kSanitized = false;
#endif
#ifndef BRENN_TEST_EMULATED
#define BRENN_TEST_EMULATED 0
#endif
inline constexpr bool kEmulated = BRENN_TEST_EMULATED;

// Every object on the shared family's keys, whatever made it: the stand-in's sets are
// segments, a platform's may be semaphore sets.
inline void remove_shared_objects() {
    for (int32_t k = -1; k < brenn::shared::kSetCount; ++k) {
        const int32_t key = k < 0 ? brenn::shared::kSegmentKey : brenn::shared::kFirstSetKey + k;
        if (const int id = shmget(key, 0, 0); id >= 0) shmctl(id, IPC_RMID, nullptr);
        if (const int id = semget(key, 0, 0); id >= 0) semctl(id, 0, IPC_RMID);
    }
}

[[noreturn]] inline void give_up(const std::string &why) {
    std::fprintf(stderr, "%s: giving up on this test program\n", why.c_str());
    std::fflush(nullptr);
    remove_shared_objects();
    std::_Exit(1);
}

// A program that runs longer than `seconds` fails before CTest's time-out. An alarm, not a
// thread: a program that forks stays single-threaded (ThreadSanitizer refuses threads in a
// child forked from a threaded parent), and a child does not inherit it.
inline bool arm_watchdog(unsigned seconds) {
    signal(SIGALRM, [](int) {
        static const char kText[] = "watchdog: the program ran out of time: giving up\n";
        [[maybe_unused]] ssize_t n = write(2, kText, sizeof kText - 1);
        remove_shared_objects();
        _exit(1);
    });
    alarm(seconds);
    return true;
}

// A call on a thread of its own. A thread stuck in a queue's wait cannot be joined, and its
// queue must not go away under it: one that does not finish in time ends the program.
struct Blocked {
    std::future<void> done;
    bool still_blocked(std::chrono::milliseconds wait) {
        return done.wait_for(wait) == std::future_status::timeout;
    }
    void finish(const std::string &what, std::chrono::milliseconds limit = 5s) {
        if (done.wait_for(limit) != std::future_status::ready) give_up(what + " never returned");
    }
};
inline Blocked start(std::function<void()> fn) {
    auto task = std::make_shared<std::packaged_task<void()>>(std::move(fn));
    Blocked b{task->get_future()};
    std::thread([task] { (*task)(); }).detach();
    return b;
}

// A child process running `fn` (its result is the exit code) that dies with its parent.
inline pid_t fork_child(const std::function<int()> &fn) {
    std::fflush(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) std::_Exit(1);
        std::_Exit(fn());
    }
    return pid;
}
// The child's exit code; 128 + signal when a signal ended it; -1 when it overran `limit`.
inline int child_result(pid_t pid, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(2ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// What is written on `fd` (standard output unless told) while `fn` runs, through a file so
// that a long text cannot block.
inline std::string capture_stdout(const std::function<void()> &fn, int fd = 1) {
    std::fflush(nullptr);
    FILE *tmp = std::tmpfile();
    const int saved = dup(fd);
    dup2(fileno(tmp), fd);
    fn();
    std::fflush(nullptr);
    dup2(saved, fd);
    close(saved);
    std::string text(static_cast<size_t>(lseek(fileno(tmp), 0, SEEK_END)), '\0');
    text.resize(pread(fileno(tmp), text.data(), text.size(), 0) > 0 ? text.size() : 0);
    std::fclose(tmp);
    return text;
}

// Values as the tests compare them: a handle ("-" for none), numbers joined by commas.
inline std::string handle(uint64_t h) {
    return h == kNone ? "-" : std::to_string(h);
}
inline std::string joined(const std::vector<std::string> &items, const char *sep = ",") {
    std::string out;
    for (const std::string &x : items)
        out += (out.empty() ? "" : sep) + x;
    return out;
}
template <class... T>
std::string csv(T... values) {
    return joined({std::to_string(values)...});
}

inline uint64_t env_u64(const char *name, uint64_t fallback) {
    const char *text = std::getenv(name);
    char *end = nullptr;
    const unsigned long long v = text != nullptr ? std::strtoull(text, &end, 0) : 0;
    return (text != nullptr && *text != '\0' && *end == '\0') ? v : fallback;
}

// splitmix64: the same numbers on every target, so a seed replays anywhere.
struct Rng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) % n); }
};
// BRENN_SEED when set, else one drawn from the clock and the pid.
inline uint64_t seed_from_env() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return env_u64("BRENN_SEED", static_cast<uint64_t>(now) ^ (uint64_t(getpid()) << 32));
}

}  // namespace brenn_test
