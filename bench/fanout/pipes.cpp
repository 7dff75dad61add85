// A pipe per consumer: the producer writes every handle into each consumer's pipe, one write
// per handle, and each consumer reads its own, one read per handle. A full pipe holds the
// producer back, so no consumer ever skips.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bench/fanout/mechanism.h"

namespace fanout {

namespace {

int ends[kMaxChannels][kMaxConsumers][2];
int channel_count = 0;
int consumer_count = 0;

void move_all(int fd, void *buf, size_t len, bool out) {
    auto *p = static_cast<char *>(buf);
    while (len > 0) {
        const ssize_t done = out ? write(fd, p, len) : read(fd, p, len);
        if (done > 0) {
            p += done;
            len -= static_cast<size_t>(done);
        } else if (done < 0 && errno == EINTR) {
            continue;
        } else {
            std::fprintf(stderr, "fanout: pipe %s: %s\n", out ? "write" : "read",
                         done == 0 ? "end of file" : std::strerror(errno));
            _exit(3);
        }
    }
}

void teardown() {
    for (int ch = 0; ch < channel_count; ++ch) {
        for (int c = 0; c < consumer_count; ++c) {
            for (int fd : ends[ch][c]) {
                if (fd >= 0) close(fd);
            }
        }
    }
    channel_count = consumer_count = 0;
}

bool setup(int channels, int consumers) {
    channel_count = channels;
    consumer_count = consumers;
    for (int ch = 0; ch < channels; ++ch) {
        for (int c = 0; c < consumers; ++c)
            ends[ch][c][0] = ends[ch][c][1] = -1;
    }
    for (int ch = 0; ch < channels; ++ch) {
        for (int c = 0; c < consumers; ++c) {
            if (pipe(ends[ch][c]) != 0) {
                std::fprintf(stderr, "fanout: pipe: %s\n", std::strerror(errno));
                return false;
            }
        }
    }
    return true;
}

void put(int channel, uint64_t handle) {
    for (int c = 0; c < consumer_count; ++c) {
        move_all(ends[channel][c][1], &handle, sizeof handle, true);
    }
}

uint64_t take(int channel, int consumer) {
    uint64_t handle = 0;
    move_all(ends[channel][consumer][0], &handle, sizeof handle, false);
    return handle;
}

}  // namespace

const Mechanism kPipes{"pipe per consumer (processes)", true, false, setup, put, take, teardown};

}  // namespace fanout
