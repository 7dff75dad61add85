// N uncontended write+read pairs on a shared queue, for `strace -c`: an uncontended operation
// makes no system call, so the count of calls must not grow with N.
//   strace -c -f ./shared_loop 1000   vs   strace -c -f ./shared_loop 1000000
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "include/brenn.h"
#include "shared/segment.h"

int main(int argc, char **argv) {
    const long n = argc > 1 ? std::atol(argv[1]) : 1000000;
    if (gsq_c_create() != 0) {
        std::fprintf(stderr, "shared_loop: the shared system is up already (keys from %#x)\n",
                     brenn::shared::kSegmentKey);
        gsq_c_destroy();
        return 1;
    }
    int rc = 1;
    const int32_t q = gsq_c_alloc_queue(64 * BRENN_NODE_SIZE, 1, 0, 1, 1);
    if (q >= 0) {
        uint64_t back = 0, got = 0;
        long wrong = 0;
        const auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < n; ++i) {
            gsq_c_write(q, static_cast<uint64_t>(i), &back, 0);
            gsq_read(q, &got);
            wrong += got != static_cast<uint64_t>(i) ? 1 : 0;
        }
        const std::chrono::duration<double, std::nano> took =
            std::chrono::steady_clock::now() - start;
        std::printf("%ld shared write+read pairs: %.1f ns per pair, %ld wrong handles\n", n,
                    n > 0 ? took.count() / static_cast<double>(n) : 0.0, wrong);
        gsq_c_free_queue(q);
        rc = wrong == 0 ? 0 : 1;
    }
    return gsq_c_destroy() == 0 ? rc : 1;
}
