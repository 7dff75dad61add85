// Where olk_return sends handles: a counter, or a handler a program installs.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "olk.h"
#include "olk_standin.h"

namespace {

struct Registration {
    olk_return_handler handler;
    void *context;
    Registration *older;
};

// olk_return reads one pointer to an immutable pair, so it never sees a handler with another
// handler's context. Pairs are never freed (a caller may still be using one); installing a
// pair seen before reuses it, which bounds the memory by the number of distinct pairs.
std::atomic<Registration *> g_current{nullptr};
Registration *g_every = nullptr;  // all pairs ever made, under g_mutex
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<uint64_t> g_counted{0};

Registration *pair_for(olk_return_handler handler, void *context) {
    for (Registration *r = g_every; r != nullptr; r = r->older) {
        if (r->handler == handler && r->context == context) return r;
    }
    auto *fresh = new (std::nothrow) Registration{handler, context, g_every};
    if (fresh != nullptr) g_every = fresh;
    return fresh;
}

}  // namespace

extern "C" {

void olk_return(uint64_t handle) {
    const Registration *r = g_current.load(std::memory_order_acquire);
    if (r != nullptr) {
        r->handler(handle, r->context);
        return;
    }
    g_counted.fetch_add(1, std::memory_order_relaxed);
}

void olk_set_return_handler(olk_return_handler handler, void *context) {
    pthread_mutex_lock(&g_mutex);
    Registration *r = handler == nullptr ? nullptr : pair_for(handler, context);
    const bool refused = handler != nullptr && r == nullptr;
    if (!refused) g_current.store(r, std::memory_order_release);
    pthread_mutex_unlock(&g_mutex);
    if (refused) errno = ENOMEM;
}

uint64_t olk_returned_count(void) {
    return g_counted.load(std::memory_order_relaxed);
}

}  // extern "C"
