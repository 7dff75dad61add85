// brenn itself: one plain queue of 256 nodes per channel that the writer never overruns
// (reserve one more than the node count: the writer waits whenever the next node is unread),
// sharable, so that every session finds the handle in place. Consumer 0 reads, the others
// are peek sessions.
#include <cstdio>

#include "bench/fanout/mechanism.h"
#include "include/brenn.hpp"
#include "shared/segment.h"

namespace fanout {

namespace {

// Set up before the consumers start and only read afterwards (forked consumers get copies).
int32_t queues[kMaxChannels];
int32_t sessions[kMaxChannels][kMaxConsumers];
int channel_count = 0;
bool created = false;  // this run brought the shared system up, so it removes it again

// F: the family's C functions, as brenn.hpp names them.
template <class F>
bool setup(int channels, int consumers) {
    channel_count = 0;
    for (int ch = 0; ch < channels; ++ch) {
        const int32_t q =
            F::alloc_queue(kRingNodes * BRENN_NODE_SIZE, BRENN_MAX_SESSIONS, kRingNodes + 1, 0, 1);
        if (q < 0) {
            std::fprintf(stderr, "fanout: no queue could be allocated\n");
            return false;
        }
        queues[channel_count++] = q;
        for (int c = 1; c < consumers; ++c) {
            sessions[ch][c] = F::create_session(q);
            if (sessions[ch][c] < 0) {
                std::fprintf(stderr, "fanout: no session could be created\n");
                return false;
            }
        }
    }
    return true;
}

template <class F>
void put(int channel, uint64_t handle) {
    F::write(queues[channel], handle, nullptr, static_cast<int64_t>(handle));
}

template <class F>
uint64_t take(int channel, int consumer) {
    uint64_t handle = BRENN_NO_HANDLE;
    if (consumer == 0) {
        F::read(queues[channel], &handle);
    } else {
        int32_t gap = 0;
        F::peek(queues[channel], sessions[channel][consumer], &handle, &gap);
    }
    return handle;
}

template <class F>
void release_queues() {
    for (int ch = 0; ch < channel_count; ++ch)
        F::free_queue(queues[ch]);
    channel_count = 0;
}

bool shared_setup(int channels, int consumers) {
    // The shared system lives on fixed keys; one that is up belongs to someone else.
    const int32_t rc = gsq_c_create();
    if (rc != 0) {
        std::fprintf(stderr,
                     "fanout: gsq_c_create = %d: a shared system is up already (keys %#x..%#x); "
                     "run fanout alone, e.g. under unshare --ipc\n",
                     rc, brenn::shared::kSegmentKey,
                     brenn::shared::kFirstSetKey + brenn::shared::kSetCount - 1);
        return false;
    }
    created = true;
    return setup<brenn::SharedFamily>(channels, consumers);
}

void shared_teardown() {
    if (!created) return;
    release_queues<brenn::SharedFamily>();
    gsq_c_destroy();
    created = false;
}

}  // namespace

using brenn::LocalFamily, brenn::SharedFamily;
// clang-format off
const Mechanism kBrennShared{"brenn shared (processes)", true, true, shared_setup,
                             put<SharedFamily>, take<SharedFamily>, shared_teardown};
const Mechanism kBrennSharedThreads{"brenn shared (threads)", false, true, shared_setup,
                                    put<SharedFamily>, take<SharedFamily>, shared_teardown};
const Mechanism kBrennLocal{"brenn local (threads)", false, true, setup<LocalFamily>,
                            put<LocalFamily>, take<LocalFamily>, release_queues<LocalFamily>};
// clang-format on

}  // namespace fanout
