// The shared table's own accessors and the process that is not attached.
#include "common/table_checks.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const auto *const kIpcsCheck =
    ::testing::AddGlobalTestEnvironment(new IpcsLeftClean);

class SharedTable : public FamilyTest {};

// A freed slot is no longer ready but keeps its node count until it is allocated again.
TEST_P(SharedTable, ReadyAndNodeCountOfFreedSlot) {
    const int32_t q = alloc(320);
    ASSERT_EQ(q, 0);
    EXPECT_EQ(gsq_c_ready(q), 1);
    EXPECT_EQ(gsq_c_ready(1), 0);
    gsq_c_free_queue(q);
    EXPECT_EQ(gsq_c_ready(q), 0);
    EXPECT_EQ(VSQ_GET_Q_NODE_NUM(q), 10);
    for (int32_t bad : {-1, 512}) {
        EXPECT_EQ(gsq_c_ready(bad), 0);
        EXPECT_EQ(VSQ_GET_Q_NODE_NUM(bad), -1);
        gsq_c_free_queue(bad);
    }
    EXPECT_EQ(alloc(64), 0);
    EXPECT_EQ(VSQ_GET_Q_NODE_NUM(0), 2);
}

// Numbering starts at 0 in every slot of a new system, and a slot's next queue numbers on.
TEST_P(SharedTable, FirstWriteAfterCreateGetsSeqZero) {
    for (int32_t i = 0; i < 3; ++i)
        ASSERT_EQ(alloc(320), i);
    EXPECT_EQ(write_and_peek(f(), 2, 42), 0);
    EXPECT_EQ(write_and_peek(f(), 0, 40), 0);
    EXPECT_EQ(expect_slot_untouched(f(), [](int32_t) {}), 3);
}

TEST_P(SharedTable, DumpOfFreeSlotAndRefusedIds) {
    EXPECT_EQ(capture_stdout([] { gsq_c_dump(5); }), "queue 5 not allocated!\n");
    EXPECT_EQ(capture_stdout([] {
                  gsq_c_dump(-1);
                  gsq_c_dump(512);
              }),
              "");
}

// After leaving, the process allocates nothing, sees no queue, frees nothing and has every
// operation refused; once back, its queue is as it was.
TEST_P(SharedTable, ProcessNotAttachedIsRefusedEverything) {
    const int32_t q = alloc(8 * 32);
    ASSERT_EQ(q, 0);
    bounded("writes", [&] {
        for (uint64_t h = 1; h <= 3; ++h)
            EXPECT_EQ(gsq_c_write(q, h, nullptr, 0), 0);
    });
    ASSERT_EQ(gsq_c_uninit(), 0);
    EXPECT_EQ(gsq_c_uninit(), -1);
    EXPECT_EQ(gsq_c_reset(), -1);
    EXPECT_EQ(gsq_c_alloc_queue(320, 4, 0, 1, 1), -1);
    EXPECT_EQ(gsq_c_dynamic_alloc(10, 4, 4, 0, 1, 1), -1);
    EXPECT_EQ(gsq_c_ready(q), 0);
    gsq_c_free_queue(q);
    expect_refused(f(), q, 0, {-1, -1, true});
    EXPECT_EQ(capture_stdout([&] { gsq_c_dump(q); }), "");
    ASSERT_EQ(gsq_c_init(), 0);
    EXPECT_EQ(gsq_c_ready(q), 1) << "a release while detached freed the queue";
    EXPECT_EQ(write_and_peek(f(), q, 4), 3);
    bounded("reads", [&] {
        for (uint64_t h = 1; h <= 4; ++h) {
            uint64_t obj = 0;
            EXPECT_EQ(gsq_read(q, &obj), 0);
            EXPECT_EQ(obj, h);
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Shared, SharedTable, ::testing::Values(&kShared), family_name);

}  // namespace
}  // namespace brenn_test
