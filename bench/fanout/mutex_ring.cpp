// The ring one writes by hand: 256 handles under one pthread mutex and one condition variable,
// broadcast after every write and every main read, with the same rules as a brenn queue. The
// writer waits while the main reader has not taken the oldest handle; the other consumers
// follow at their own pace and, when the writer has overtaken them, jump to the oldest handle
// still in the ring (the skipped handles are lost to them). One handle per lock hold, as one
// call of a queue interface would take it. The process variant puts the ring in shared memory
// under a process-shared mutex and condition variable.
#include <pthread.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bench/fanout/mechanism.h"

namespace fanout {

namespace {

struct Ring {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    uint64_t written;              // handles written so far
    uint64_t next[kMaxConsumers];  // the count of the next handle each consumer takes
    uint64_t handles[kRingNodes];
};

Ring *rings = nullptr;  // kMaxChannels of them

bool setup(bool shared) {
    void *m = mmap(nullptr, sizeof(Ring) * kMaxChannels, PROT_READ | PROT_WRITE,
                   MAP_ANONYMOUS | (shared ? MAP_SHARED : MAP_PRIVATE), -1, 0);
    if (m == MAP_FAILED) {
        std::fprintf(stderr, "fanout: mmap: %s\n", std::strerror(errno));
        return false;
    }
    rings = static_cast<Ring *>(m);
    pthread_mutexattr_t ma;
    pthread_condattr_t ca;
    pthread_mutexattr_init(&ma);
    pthread_condattr_init(&ca);
    const int scope = shared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE;
    pthread_mutexattr_setpshared(&ma, scope);
    pthread_condattr_setpshared(&ca, scope);
    for (int ch = 0; ch < kMaxChannels; ++ch) {
        pthread_mutex_init(&rings[ch].mutex, &ma);
        pthread_cond_init(&rings[ch].cond, &ca);
    }
    pthread_mutexattr_destroy(&ma);
    pthread_condattr_destroy(&ca);
    return true;
}

bool setup_processes(int, int) {
    return setup(true);
}
bool setup_threads(int, int) {
    return setup(false);
}

void teardown() {
    if (rings == nullptr) return;
    for (int ch = 0; ch < kMaxChannels; ++ch) {
        pthread_cond_destroy(&rings[ch].cond);
        pthread_mutex_destroy(&rings[ch].mutex);
    }
    munmap(rings, sizeof(Ring) * kMaxChannels);
    rings = nullptr;
}

void put(int channel, uint64_t handle) {
    Ring &r = rings[channel];
    pthread_mutex_lock(&r.mutex);
    while (r.written - r.next[0] == kRingNodes)
        pthread_cond_wait(&r.cond, &r.mutex);
    r.handles[r.written % kRingNodes] = handle;
    ++r.written;
    pthread_mutex_unlock(&r.mutex);
    pthread_cond_broadcast(&r.cond);
}

uint64_t take(int channel, int consumer) {
    Ring &r = rings[channel];
    pthread_mutex_lock(&r.mutex);
    uint64_t &next = r.next[consumer];
    while (next == r.written)
        pthread_cond_wait(&r.cond, &r.mutex);
    if (r.written - next > kRingNodes) next = r.written - kRingNodes;
    const uint64_t handle = r.handles[next % kRingNodes];
    ++next;
    pthread_mutex_unlock(&r.mutex);
    if (consumer == 0) pthread_cond_broadcast(&r.cond);
    return handle;
}

}  // namespace

const Mechanism kMutexRingProcesses{
    "mutex+cond ring (processes)", true, true, setup_processes, put, take, teardown};
const Mechanism kMutexRingThreads{
    "mutex+cond ring (threads)", false, true, setup_threads, put, take, teardown};

}  // namespace fanout
