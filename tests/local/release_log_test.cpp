// The line the local table logs when it frees a queue, received by this program: it defines the
// support library's log calls itself (support_calls.h).
#include "common/families.h"
#include "common/support_calls.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_watchdog(30);

// The release lines logged since the last call.
std::vector<std::string> release_lines() {
    std::vector<std::string> out;
    for (const std::string &l : console_lines())
        if (l.rfind("lsq_free", 0) == 0) out.push_back(l);
    clear_support_calls();
    return out;
}

// The logged size is that of the node array the queue has when it is freed; a refused id is
// ignored without a line.
TEST(LocalRelease, LogsTheNodeArrayInBytes) {
    const int32_t changed = lsq_c_alloc_queue(320, 4, 0, 1, 1);
    bounded("node-count change", [&] { EXPECT_EQ(lsq_c_change_queue_size(changed, 64), 0); });
    const struct {
        const char *what;
        int32_t q;
        int32_t bytes;
    } cases[] = {
        {"100 bytes asked", lsq_c_alloc_queue(100, 4, 0, 1, 1), 96},
        {"320 bytes asked", lsq_c_alloc_queue(320, 4, 0, 1, 1), 320},
        {"1000 bytes asked", lsq_c_alloc_queue(1000, 4, 0, 1, 1), 992},
        {"dynamic k = 10", lsq_c_dynamic_alloc(10, 4, 4, 0, 1, 1), 352},
        {"changed from 10 nodes to 2", changed, 64},
    };
    release_lines();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_GE(c.q, 0);
        lsq_c_free_queue(c.q);
        EXPECT_EQ(release_lines(),
                  std::vector<std::string>{"lsq_free queue " + std::to_string(c.q) +
                                           ", size=" + std::to_string(c.bytes)});
    }
    for (int32_t bad : {-1, BRENN_LOCAL_QUEUES, cases[0].q})
        lsq_c_free_queue(bad);
    EXPECT_EQ(release_lines(), std::vector<std::string>{});
}

}  // namespace
}  // namespace brenn_test
