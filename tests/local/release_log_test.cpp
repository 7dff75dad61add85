// The local table's calls into the support library, received by this program: it defines
// log_Console and olk_return itself, and the library, which reaches them through their dynamic
// symbols, calls these instead of the stand-in's.
#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

#include "common/table_checks.h"
#include "support/olk.h"

namespace {

std::mutex g_mutex;
std::vector<std::string> g_lines;
std::vector<uint64_t> g_returned;

std::vector<std::string> release_lines() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<std::string> out;
    for (const std::string &l : g_lines)
        if (l.rfind("lsq_free", 0) == 0) out.push_back(l);
    g_lines.clear();
    return out;
}

}  // namespace

extern "C" void log_Console(const char *fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.emplace_back(text);
}

extern "C" void olk_return(uint64_t handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_returned.push_back(handle);
}

namespace brenn_test {
namespace {

std::string release_line(int32_t q, int32_t bytes) {
    return "lsq_free queue " + std::to_string(q) + ", size=" + std::to_string(bytes);
}

// The logged size is that of the node array the queue has when it is freed.
TEST(LocalRelease, LogsTheNodeArrayInBytes) {
    release_lines();
    const struct {
        const char *what;
        int32_t q;
        int32_t bytes;
    } cases[] = {
        {"100 bytes asked", lsq_c_alloc_queue(100, 4, 0, 1, 1), 96},
        {"320 bytes asked", lsq_c_alloc_queue(320, 4, 0, 1, 1), 320},
        {"1000 bytes asked", lsq_c_alloc_queue(1000, 4, 0, 1, 1), 992},
        {"dynamic k = 10", lsq_c_dynamic_alloc(10, 4, 4, 0, 1, 1), 352},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_GE(c.q, 0);
        lsq_c_free_queue(c.q);
        EXPECT_EQ(release_lines(), std::vector<std::string>{release_line(c.q, c.bytes)});
    }
    const int32_t q = lsq_c_alloc_queue(320, 4, 0, 1, 1);
    bounded("node-count change", [&] { EXPECT_EQ(lsq_c_change_queue_size(q, 64), 0); });
    release_lines();
    lsq_c_free_queue(q);
    EXPECT_EQ(release_lines(), std::vector<std::string>{release_line(q, 64)});
}

TEST(LocalRelease, RefusedIdsAreNotLogged) {
    const int32_t q = lsq_c_alloc_queue(320, 4, 0, 1, 1);
    lsq_c_free_queue(q);
    release_lines();
    for (int32_t bad : {-1, 1024, q})
        lsq_c_free_queue(bad);
    EXPECT_TRUE(release_lines().empty());
}

// Shrinking a ring of eight written nodes to four gives the four oldest handles back, oldest
// first, through olk_return.
TEST(LocalRelease, DroppedHandlesGoToOlkReturn) {
    const int32_t q = lsq_c_alloc_queue(8 * 32, 4, 0, 1, 1);
    ASSERT_GE(q, 0);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_returned.clear();
    }
    bounded("writes and node-count change", [&] {
        for (uint64_t h = 1; h <= 8; ++h)
            EXPECT_EQ(lsq_c_write(q, h, nullptr, 0), 0);
        EXPECT_EQ(lsq_c_change_queue_size(q, 4 * 32), 0);
    });
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        EXPECT_EQ(g_returned, (std::vector<uint64_t>{1, 2, 3, 4}));
    }
    EXPECT_EQ(lsq_c_get_queue_node_num(q), 4);
    lsq_c_free_queue(q);
}

TEST(LocalDump, FreeSlotAndRefusedIds) {
    char buf[128];
    std::memset(buf, 'x', sizeof buf);
    buf[sizeof buf - 1] = '\0';
    const std::string before = buf;
    lsq_c_dump(-1, buf, sizeof buf);
    lsq_c_dump(1024, buf, sizeof buf);
    lsq_c_dump(3, buf, 0);
    EXPECT_EQ(std::string(buf), before);
    buf[0] = '\0';
    lsq_c_dump(3, buf, sizeof buf);
    EXPECT_STREQ(buf, "queue 3 not allocated!\n");
}

}  // namespace
}  // namespace brenn_test
