// A POSIX message queue per consumer, as deep as the ring (256 messages) where the system
// allows it, else as deep as it allows: the producer sends every handle to each consumer's
// queue, each consumer receives its own. A full queue holds the producer back.
#include <fcntl.h>
#include <mqueue.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "bench/fanout/mechanism.h"

namespace fanout {

namespace {

mqd_t queues[kMaxChannels][kMaxConsumers];
int channel_count = 0;
int consumer_count = 0;

// Opens a new queue under a name unique to this process and unlinks the name at once: the
// descriptor (inherited by forked consumers) is all anyone needs, and nothing outlives the run.
mqd_t open_queue(int ch, int c) {
    char name[64];
    std::snprintf(name, sizeof name, "/brenn-fanout-%d-%d-%d", static_cast<int>(getpid()), ch, c);
    for (long depth : {long{kRingNodes}, 10L}) {
        mq_attr attr{};
        attr.mq_maxmsg = depth;
        attr.mq_msgsize = sizeof(uint64_t);
        const mqd_t q = mq_open(name, O_RDWR | O_CREAT | O_EXCL, 0600, &attr);
        if (q != static_cast<mqd_t>(-1)) {
            mq_unlink(name);
            return q;
        }
        if (errno != EINVAL && errno != EMFILE && errno != ENOMEM) break;
    }
    std::fprintf(stderr, "fanout: mq_open: %s\n", std::strerror(errno));
    return static_cast<mqd_t>(-1);
}

void teardown() {
    for (int ch = 0; ch < channel_count; ++ch) {
        for (int c = 0; c < consumer_count; ++c) {
            if (queues[ch][c] != static_cast<mqd_t>(-1)) mq_close(queues[ch][c]);
        }
    }
    channel_count = consumer_count = 0;
}

bool setup(int channels, int consumers) {
    channel_count = channels;
    consumer_count = consumers;
    bool ok = true;
    for (int ch = 0; ch < channels; ++ch) {
        for (int c = 0; c < consumers; ++c) {
            queues[ch][c] = ok ? open_queue(ch, c) : static_cast<mqd_t>(-1);
            ok = ok && queues[ch][c] != static_cast<mqd_t>(-1);
        }
    }
    return ok;
}

void fail(const char *what) {
    std::fprintf(stderr, "fanout: %s: %s\n", what, std::strerror(errno));
    _exit(3);
}

void put(int channel, uint64_t handle) {
    for (int c = 0; c < consumer_count; ++c) {
        while (mq_send(queues[channel][c], reinterpret_cast<const char *>(&handle), sizeof handle,
                       0) != 0) {
            if (errno != EINTR) fail("mq_send");
        }
    }
}

uint64_t take(int channel, int consumer) {
    uint64_t handle = 0;
    while (mq_receive(queues[channel][consumer], reinterpret_cast<char *>(&handle), sizeof handle,
                      nullptr) != static_cast<ssize_t>(sizeof handle)) {
        if (errno != EINTR) fail("mq_receive");
    }
    return handle;
}

}  // namespace

const Mechanism kMessageQueues{
    "POSIX mqueue per consumer (processes)", true, false, setup, put, take, teardown};

}  // namespace fanout
