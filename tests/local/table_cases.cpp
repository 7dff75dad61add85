// What allocation leaves in a slot, written once and built for each table (TABLE_FAMILY names
// kLocal or kShared); the expectations that differ between the tables sit in `kExpect`.
#include <climits>
#include <vector>

#include "common/table_checks.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const bool kWatchdog = arm_watchdog(50);

struct SizeCase {
    uint32_t size;
    int32_t node_num;  // -1: refused
    int32_t quarter_num;
};

struct DynamicCase {
    int32_t k, w;
    int32_t node_num;  // -1: refused
    int32_t tail;
    int32_t window;  // nodes held before the first write
};

struct TableExpect {
    std::vector<SizeCase> sizes;
    std::vector<DynamicCase> dynamics;
};

const TableExpect &expectations(const FamilyApi &f) {
    static const TableExpect local{
        {{31, -1, 0}, {32, 1, 0}, {100, 3, 0}, {320, 10, 2}, {1000, 31, 7}, {16384, 512, 128}},
        {{10, 4, 11, 7, 4},
         {10, 20, 11, 1, 10},
         {10, 0, 11, 10, 1},
         {10, -3, 11, 10, 1},
         {300, 2, 301, 299, 2},
         {-1, 4, -1, 0, 0},
         {INT32_MIN, 4, -1, 0, 0},
         {INT32_MAX, 4, -1, 0, 0},
         {static_cast<int32_t>(UINT32_MAX / 32), 4, -1, 0, 0}}};
    static const TableExpect shared{{{31, -1, 0},
                                     {100, 3, 0},
                                     {320, 10, 2},
                                     {8192, 256, 64},
                                     {8224, 256, 64},
                                     {16384, 256, 128}},
                                    {{10, 4, 11, 7, 4},
                                     {10, 20, 11, 1, 10},
                                     {10, 0, 11, 10, 1},
                                     {255, 3, 256, 253, 3},
                                     {256, 3, -1, 0, 0},
                                     {-1, 4, -1, 0, 0},
                                     {INT32_MAX, 4, -1, 0, 0}}};
    return f.shared ? shared : local;
}

// A refused allocation answers -1 and leaves its slot free: the next one takes slot 0.
void expect_refused_allocation(const FamilyApi &f, int32_t q) {
    EXPECT_EQ(q, -1);
    const int32_t next = f.alloc_queue(32, 4, 0, 1, 1);
    EXPECT_EQ(next, 0) << "a refused allocation kept its slot";
    f.free_queue(next);
}

class TableCases : public FamilyTest {};

TEST_P(TableCases, FullTableRefusesThenGivesTheLowestFreedSlot) {
    for (int32_t i = 0; i < f().queue_count; ++i)
        ASSERT_EQ(alloc(32), i);
    EXPECT_EQ(f().alloc_queue(32, 1, 0, 1, 1), -1);
    f().free_queue(7);
    EXPECT_FALSE(f().allocated(7));
    EXPECT_TRUE(f().allocated(8));
    EXPECT_EQ(f().node_num(7), f().shared ? 1 : -1) << "a freed shared slot keeps its count";
    EXPECT_EQ(alloc(64), 7);
    EXPECT_EQ(f().node_num(7), 2);
    EXPECT_EQ(f().alloc_queue(32, 1, 0, 1, 1), -1);
}

// Nodes of 32 bytes: node count from node_num, quarter count as a look-back reports it; a size
// that gives no node is refused and leaves the slot free.
TEST_P(TableCases, SizeGivesNodeAndQuarterCount) {
    EXPECT_EQ(f().gnode_size(), 32);
    for (const SizeCase &c : expectations(f()).sizes) {
        SCOPED_TRACE("size " + std::to_string(c.size));
        const int32_t q = f().alloc_queue(c.size, 4, 0, 1, 1);
        if (c.node_num < 0) {
            expect_refused_allocation(f(), q);
            continue;
        }
        ASSERT_EQ(q, 0);
        EXPECT_EQ(f().node_num(q), c.node_num);
        const int32_t s = f().create_session(q);
        int32_t nn = -5, qn = -5;
        bounded("look-back", [&] {
            EXPECT_EQ(f().begin_look_back(q, s, &nn, &qn), 0);
            EXPECT_EQ(f().end_look_back(q, s), 0);
        });
        EXPECT_EQ(nn, c.node_num);
        EXPECT_EQ(qn, c.quarter_num);
        f().free_queue(q);
    }
}

// max_sessions above 128 is stored as 128, smaller ones as given; sessions stop at the limit.
TEST_P(TableCases, MaxSessionsIsCappedAndLimitsSessions) {
    const struct {
        int32_t asked, stored;
    } cases[] = {{200, 128}, {128, 128}, {5, 5}, {0, 0}, {-3, -3}};
    for (const auto &c : cases) {
        SCOPED_TRACE("max_sessions " + std::to_string(c.asked));
        const int32_t q = alloc(320, c.asked);
        ASSERT_GE(q, 0);
        QueueStatus st{};
        bounded("queue status", [&] { EXPECT_EQ(f().queue_status(q, &st), 0); });
        EXPECT_EQ(st.max_sessions, c.stored);
        const int32_t usable = c.stored > 0 ? c.stored : 0;
        for (int32_t i = 0; i < usable; ++i)
            ASSERT_EQ(f().create_session(q), i);
        EXPECT_EQ(f().create_session(q), -1);
        f().free_queue(q);
    }
}

// tail from k and w; the window the tail leaves shows in which write first hands back a handle:
// the w' + 1st gives back the first one written, the writes before it hand back nothing.
TEST_P(TableCases, DynamicAllocationPlacesTheTail) {
    for (const DynamicCase &c : expectations(f()).dynamics) {
        SCOPED_TRACE("k " + std::to_string(c.k) + " w " + std::to_string(c.w));
        const int32_t q = f().dynamic_alloc(c.k, c.w, 4, 0, 1, 1);
        if (c.node_num < 0) {
            expect_refused_allocation(f(), q);
            continue;
        }
        ASSERT_EQ(q, 0);
        EXPECT_EQ(f().node_num(q), c.node_num);
        QueueStatus st{};
        bounded("queue status and writes", [&] {
            EXPECT_EQ(f().queue_status(q, &st), 0);
            EXPECT_EQ(st.tail, c.tail);
            EXPECT_EQ(st.wr, -1);
            for (int32_t i = 1; i <= c.window + 1; ++i) {
                uint64_t back = 0;
                EXPECT_EQ(f().write(q, 1000 + i, &back, 10 * i), 0);
                EXPECT_EQ(back, i <= c.window ? BRENN_NO_HANDLE : 1001u) << "write " << i;
            }
        });
        f().free_queue(q);
    }
}

// Ids out of the table and a free slot are refused by every operation; a bad session id on a
// live queue by every session operation.
TEST_P(TableCases, EveryOperationRefusesBadIds) {
    const int32_t n = f().queue_count;
    const int32_t free_node_num = f().shared ? 8 : -1;
    for (int32_t bad : {-1, n, INT32_MIN, INT32_MAX})
        expect_refused(f(), bad, 0, {-1, -1, true});
    expect_slot_untouched(f(), [&](int32_t q) {
        expect_refused(f(), q, 0, {-2, free_node_num, true});
        expect_refused(f(), q, 127, {-2, free_node_num, true});
    });
    const int32_t q = alloc(320);
    ASSERT_GE(q, 0);
    for (int32_t bad : {-1, 128, INT32_MAX})
        expect_refused(f(), q, bad, {-1, 0, false});
}

INSTANTIATE_TEST_SUITE_P(Table, TableCases, ::testing::Values(&TABLE_FAMILY), family_name);

}  // namespace
}  // namespace brenn_test
