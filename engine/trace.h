// Static tracepoints (USDT) of libbrenn.so.0, provider `brenn`, for perf, bpftrace, SystemTap
// and LTTng. A site is one line: BRENN_TRACE(probe, slot, arguments after family and queue).
//
// Until a tracer attaches, a probe costs one load of its semaphore and a branch not taken: the
// tracer raises the semaphore (brenn_<probe>_semaphore, in the .probes section, never exported)
// and only then are the arguments computed. Built without <sys/sdt.h> (cmake/tracing.cmake),
// a probe is nothing at all.
#pragma once

#include <cstdint>

// Every probe, with its arguments in the order a tracer numbers them (arg0, arg1, ...). The
// first is the family (0 local, 1 shared), the second, on probes of one queue, the queue id.
// tests/trace checks the library's notes against this list.
#define BRENN_PROBE_LIST(X)                           \
    X(write, family, queue, handle, seq, evicted)     \
    X(read, family, queue, handle, seq)               \
    X(peek, family, queue, session, handle, seq, gap) \
    X(wait_begin, family, queue, waiter)              \
    X(wait_end, family, queue, waiter)                \
    X(resize, family, queue, window, new_window)      \
    X(clean, family, queue, count)                    \
    X(node_count, family, queue, nodes, new_nodes)    \
    X(look_back_begin, family, queue, session)        \
    X(look_back_end, family, queue, session)          \
    X(reset, family, allocated)

namespace brenn::trace {

// The waiter argument of wait_begin and wait_end.
inline constexpr int32_t kWriter = 0;     // a write held back by an unread node
inline constexpr int32_t kReader = 1;     // the main reader, with nothing to read
inline constexpr int32_t kPeek = 2;       // a session, with nothing newer than its last take
inline constexpr int32_t kNodeCount = 3;  // a shrink, held back by a session's position

#define BRENN_NARG(...) BRENN_NARG_(__VA_ARGS__, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define BRENN_NARG_(a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, n, ...) n
#define BRENN_ARG_COUNT(probe, ...) inline constexpr int probe##_args = BRENN_NARG(__VA_ARGS__);
BRENN_PROBE_LIST(BRENN_ARG_COUNT)
#undef BRENN_ARG_COUNT

}  // namespace brenn::trace

#if BRENN_PROBES
#define _SDT_HAS_SEMAPHORES 1
// Arguments in registers or memory, never immediate: perf probe drops an argument that is a
// constant (the waiter of wait_begin and wait_end).
#define STAP_SDT_ARG_CONSTRAINT or
#include <sys/sdt.h>

// Hidden, so that the test is one PC-relative load, without a trip through the GOT.
#define BRENN_DECLARE_SEMAPHORE(probe, ...) \
    extern "C" __attribute__((visibility("hidden"))) unsigned short brenn_##probe##_semaphore;
BRENN_PROBE_LIST(BRENN_DECLARE_SEMAPHORE)
#undef BRENN_DECLARE_SEMAPHORE

#define BRENN_PROBE_CAT_(a, b) a##b
#define BRENN_PROBE_CAT(a, b) BRENN_PROBE_CAT_(a, b)
// The tracer writes the semaphore from outside the process at any time: a relaxed load.
#define BRENN_PROBE_FIRE(probe, ...)                                                             \
    do {                                                                                         \
        if (__builtin_expect(__atomic_load_n(&brenn_##probe##_semaphore, __ATOMIC_RELAXED) != 0, \
                             0)) {                                                               \
            BRENN_PROBE_CAT(STAP_PROBE, BRENN_NARG(__VA_ARGS__))(brenn, probe, __VA_ARGS__);     \
        }                                                                                        \
    } while (0)
#else
#define BRENN_PROBE_FIRE(probe, ...) \
    do {                             \
    } while (0)
#endif

// A probe with all its arguments; the count is checked against BRENN_PROBE_LIST in every build.
#define BRENN_PROBE(probe, ...)                                                       \
    do {                                                                              \
        static_assert(BRENN_NARG(__VA_ARGS__) == ::brenn::trace::probe##_args,        \
                      "brenn:" #probe " takes the arguments BRENN_PROBE_LIST names"); \
        BRENN_PROBE_FIRE(probe, __VA_ARGS__);                                         \
    } while (0)
// A probe of one queue: the slot gives its family and queue id.
#define BRENN_TRACE(probe, slot, ...) \
    BRENN_PROBE(probe, (slot).binding->family, (slot).q, __VA_ARGS__)
