#include "bench/fanout/meter.h"

#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <initializer_list>

namespace fanout {

namespace {

// The tracepoint's id, from whichever place tracefs is mounted; -1 when neither has it.
long futex_tracepoint() {
    static const long id = [] {
        for (const char *path : {"/sys/kernel/tracing/events/syscalls/sys_enter_futex/id",
                                 "/sys/kernel/debug/tracing/events/syscalls/sys_enter_futex/id"}) {
            if (FILE *f = std::fopen(path, "r")) {
                long value = -1;
                if (std::fscanf(f, "%ld", &value) != 1) value = -1;
                std::fclose(f);
                if (value >= 0) return value;
            }
        }
        return -1L;
    }();
    return id;
}

int open_futex_counter() {
    const long id = futex_tracepoint();
    if (id < 0) return -1;
    perf_event_attr attr{};
    attr.size = sizeof attr;
    attr.type = PERF_TYPE_TRACEPOINT;
    attr.config = static_cast<uint64_t>(id);
    attr.sample_period = 0;
    return static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
}

long own_switches() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_nvcsw + u.ru_nivcsw;
}

}  // namespace

int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

bool futex_counting_available() {
    const int fd = open_futex_counter();
    if (fd < 0) return false;
    close(fd);
    return true;
}

Meter::Meter() : switches_at_start_(own_switches()), futex_fd_(open_futex_counter()) {}

Meter::~Meter() {
    if (futex_fd_ >= 0) close(futex_fd_);
}

void Meter::stop(uint64_t *context_switches, int64_t *futex_calls) {
    *futex_calls = -1;
    if (futex_fd_ >= 0) {
        uint64_t count = 0;
        if (read(futex_fd_, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
            *futex_calls = static_cast<int64_t>(count);
        }
    }
    *context_switches = static_cast<uint64_t>(own_switches() - switches_at_start_);
}

}  // namespace fanout
