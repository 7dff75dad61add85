// The shared family's process that is not attached: refused everything, and served again once
// it is back.
#include "common/table_checks.h"

namespace brenn_test {
namespace {

[[maybe_unused]] const auto *const kIpcsCheck =
    ::testing::AddGlobalTestEnvironment(new IpcsLeftClean);

class SharedTable : public FamilyTest {};

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
    gsq_c_free_queue(q);
    expect_refused(f(), q, 0, {-1, -1, true});
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
