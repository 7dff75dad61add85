// brenn itself: one plain queue of 256 nodes per channel that the writer never overruns
// (reserve one more than the node count: the writer waits whenever the next node is unread),
// sharable, so that every session finds the handle in place. Consumer 0 reads, the others
// are peek sessions.
#include <cstdio>

#include "bench/fanout/mechanism.h"
#include "include/brenn.h"

namespace fanout {

namespace {

struct Family {
    int32_t (*alloc)(uint32_t, int32_t, int32_t, int32_t, int32_t);
    int32_t (*create_session)(int32_t);
    int32_t (*write)(int32_t, uint64_t, uint64_t *, int64_t);
    int32_t (*read)(int32_t, uint64_t *);
    int32_t (*peek)(int32_t, int32_t, uint64_t *, int32_t *);
    void (*free_queue)(int32_t);
};

const Family kShared{gsq_c_alloc_queue, gsq_c_create_session, gsq_c_write,
                     gsq_read,          gsq_c_peek,           gsq_c_free_queue};
const Family kLocal{lsq_c_alloc_queue, lsq_c_create_session, lsq_c_write,
                    lsq_c_read,        lsq_c_peek,           lsq_c_free_queue};

// Set up before the consumers start and only read afterwards (forked consumers get copies).
const Family *family = nullptr;
int32_t queues[kMaxChannels];
int32_t sessions[kMaxChannels][kMaxConsumers];
int channel_count = 0;
bool created = false;  // this run brought the shared system up, so it removes it again

bool setup(const Family &f, int channels, int consumers) {
    family = &f;
    channel_count = 0;
    for (int ch = 0; ch < channels; ++ch) {
        const int32_t q =
            f.alloc(kRingNodes * BRENN_NODE_SIZE, BRENN_MAX_SESSIONS, kRingNodes + 1, 0, 1);
        if (q < 0) {
            std::fprintf(stderr, "fanout: no queue could be allocated\n");
            return false;
        }
        queues[channel_count++] = q;
        for (int c = 1; c < consumers; ++c) {
            sessions[ch][c] = f.create_session(q);
            if (sessions[ch][c] < 0) {
                std::fprintf(stderr, "fanout: no session could be created\n");
                return false;
            }
        }
    }
    return true;
}

void put(int channel, uint64_t handle) {
    family->write(queues[channel], handle, nullptr, static_cast<int64_t>(handle));
}

uint64_t take(int channel, int consumer) {
    uint64_t handle = BRENN_NO_HANDLE;
    if (consumer == 0) {
        family->read(queues[channel], &handle);
    } else {
        int32_t gap = 0;
        family->peek(queues[channel], sessions[channel][consumer], &handle, &gap);
    }
    return handle;
}

void release_queues() {
    for (int ch = 0; ch < channel_count; ++ch)
        family->free_queue(queues[ch]);
    channel_count = 0;
}

bool shared_setup(int channels, int consumers) {
    // The shared system lives on fixed keys; one that is up belongs to someone else.
    const int32_t rc = gsq_c_create();
    if (rc != 0) {
        std::fprintf(stderr,
                     "fanout: gsq_c_create = %d: a shared system is up already (keys "
                     "0xff0060..0xff0065); run fanout alone, e.g. under unshare --ipc\n",
                     rc);
        return false;
    }
    created = true;
    return setup(kShared, channels, consumers);
}

void shared_teardown() {
    if (!created) return;
    release_queues();
    gsq_c_destroy();
    created = false;
}

bool local_setup(int channels, int consumers) {
    return setup(kLocal, channels, consumers);
}

}  // namespace

const Mechanism kBrennShared{
    "brenn shared (processes)", true, true, shared_setup, put, take, shared_teardown};
const Mechanism kBrennSharedThreads{"brenn shared (threads)", false, true, shared_setup, put, take,
                                    shared_teardown};
const Mechanism kBrennLocal{"brenn local (threads)", false, true, local_setup, put, take,
                            release_queues};

}  // namespace fanout
