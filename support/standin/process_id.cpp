#include "process_id.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace olk {

namespace {

std::atomic<int32_t> g_pid{0};
pthread_once_t g_once = PTHREAD_ONCE_INIT;

void renew_after_fork() {
    g_pid.store(static_cast<int32_t>(getpid()), std::memory_order_relaxed);
}

void first_use() {
    pthread_atfork(nullptr, nullptr, renew_after_fork);
    renew_after_fork();
}

}  // namespace

int32_t current_pid() noexcept {
    const int32_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid != 0) return pid;
    pthread_once(&g_once, first_use);
    return g_pid.load(std::memory_order_relaxed);
}

}  // namespace olk
