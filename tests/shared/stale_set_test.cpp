// A process whose semaphore set a reset elsewhere renewed holds an id that names no set until it
// fetches the ids again: its lock, wait and wake fail at once. A call of that process that has
// to wait must then not spin on a core until its condition comes true.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/families.h"
#include "support/olk.h"

namespace {

using namespace std::chrono_literals;

double thread_cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

TEST(StaleSet, ABlockedReadBacksOffWhileItsWaitFails) {
    brenn_test::remove_shared_objects();
    ASSERT_EQ(gsq_c_create(), 0);
    const int32_t q = gsq_c_alloc_queue(8 * 32, 4, 0, 1, 1);  // queue 0, guarded by set 0
    ASSERT_EQ(q, 0);
    // What a reset in another process does to a set whose lock stays taken.
    const int32_t old = vos_get_semaphore(0xff0061, 250);
    ASSERT_EQ(vos_destroy_semaphore(old, 250), 0);
    ASSERT_GE(vos_create_semaphore(0xff0061, 250), 0);

    std::atomic<double> cpu_ms{-1};
    std::atomic<int32_t> read_result{0};
    uint64_t got = 0;
    brenn_test::Blocked reader = brenn_test::start([&] {
        const double before = thread_cpu_ms();
        read_result = gsq_read(q, &got);
        cpu_ms = thread_cpu_ms() - before;
    });
    EXPECT_TRUE(reader.still_blocked(500ms)) << "a read of an empty queue returned";
    // Through the same stale id: the node is written all the same, and the write answers what
    // its failed wake answered.
    EXPECT_EQ(gsq_c_write(q, 42, nullptr, 0), -1);
    brenn_test::require_finish(reader, "the read after the write");
    EXPECT_EQ(got, 42u);
    EXPECT_EQ(read_result.load(), -1);
    EXPECT_LT(cpu_ms.load(), 100.0) << "ms of CPU time while blocked about 500 ms";

    gsq_c_fast_init();  // the new set's id, so that destroy removes it
    EXPECT_EQ(gsq_c_destroy(), 0);
    brenn_test::remove_shared_objects();
}

}  // namespace
