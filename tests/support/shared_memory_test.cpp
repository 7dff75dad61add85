// Plain System V segments: create, find, attach, detach, destroy, permissions.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "olk.h"
#include "support_test_util.h"

namespace {

using support_test::EnvGuard;
using support_test::ForkChild;
using support_test::IdGuard;
using support_test::Key;
using support_test::KeyGuard;
using support_test::ModeOf;
using support_test::WaitChild;

class SharedMemory : public support_test::KeyedTest {
  protected:
    void SetUp() override {
        support_test::UseKeyBlock(1);
        KeyedTest::SetUp();
    }
};

TEST_F(SharedMemory, CreateFindAttachDestroy) {
    KeyGuard guard(Key(1));
    const int32_t id = vos_create_shared_memory(guard.key(), 8192);
    ASSERT_GE(id, 0) << std::strerror(errno);
    EXPECT_EQ(vos_get_shared_memory(guard.key()), id);

    auto *bytes = static_cast<unsigned char *>(vos_attach_shared_memory(id));
    ASSERT_NE(bytes, nullptr) << std::strerror(errno);
    for (size_t i = 0; i < 8192; ++i)
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
    shmid_ds ds{};
    ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, 8192u);
    EXPECT_EQ(ds.shm_nattch, 1u);

    EXPECT_EQ(vos_dettach_shared_memory(id, bytes), 0);
    ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_nattch, 0u);

    EXPECT_EQ(vos_destroy_shared_memory(id), 0);
    errno = 0;
    EXPECT_LT(vos_get_shared_memory(guard.key()), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(shmctl(id, IPC_STAT, &ds), 0);
}

TEST_F(SharedMemory, ExistingKeyIsNotCreatedAgain) {
    KeyGuard guard(Key(2));
    const int32_t id = vos_create_shared_memory(guard.key(), 4096);
    ASSERT_GE(id, 0);
    errno = 0;
    EXPECT_LT(vos_create_shared_memory(guard.key(), 4096), 0);
    EXPECT_EQ(errno, EEXIST);
    errno = 0;
    EXPECT_LT(vos_create_shared_memory(guard.key(), 100), 0);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(vos_get_shared_memory(guard.key()), id);
}

TEST_F(SharedMemory, TwoAttachmentsAndAChildSeeTheSameBytes) {
    KeyGuard guard(Key(3));
    const int32_t id = vos_create_shared_memory(guard.key(), 4096);
    ASSERT_GE(id, 0);
    auto *first = static_cast<volatile uint32_t *>(vos_attach_shared_memory(id));
    auto *second = static_cast<volatile uint32_t *>(vos_attach_shared_memory(id));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    first[10] = 0xfeedf00d;
    EXPECT_EQ(second[10], 0xfeedf00du);

    // A process that finds the segment by key alone writes; this one reads.
    const pid_t child = ForkChild([key = guard.key()] {
        const int32_t found = vos_get_shared_memory(key);
        if (found < 0) return 1;
        auto *mine = static_cast<volatile uint32_t *>(vos_attach_shared_memory(found));
        if (mine == nullptr) return 2;
        if (mine[10] != 0xfeedf00d) return 3;
        mine[11] = 12345;
        return vos_dettach_shared_memory(found, const_cast<uint32_t *>(mine)) == 0 ? 0 : 4;
    });
    EXPECT_EQ(WaitChild(child), 0);
    EXPECT_EQ(first[11], 12345u);
    EXPECT_EQ(vos_dettach_shared_memory(id, const_cast<uint32_t *>(first)), 0);
    EXPECT_EQ(vos_dettach_shared_memory(id, const_cast<uint32_t *>(second)), 0);
}

TEST_F(SharedMemory, DestroyedSegmentStaysUsableWhileAttached) {
    KeyGuard guard(Key(4));
    const int32_t id = vos_create_shared_memory(guard.key(), 4096);
    ASSERT_GE(id, 0);
    auto *words = static_cast<volatile uint32_t *>(vos_attach_shared_memory(id));
    ASSERT_NE(words, nullptr);
    ASSERT_EQ(vos_destroy_shared_memory(id), 0);
    words[0] = 7;
    EXPECT_EQ(words[0], 7u);
    EXPECT_LT(vos_get_shared_memory(guard.key()), 0);
    // The key is free for a new segment at once.
    const int32_t again = vos_create_shared_memory(guard.key(), 4096);
    EXPECT_GE(again, 0);
    EXPECT_NE(again, id);
    EXPECT_EQ(vos_dettach_shared_memory(id, const_cast<uint32_t *>(words)), 0);
}

TEST_F(SharedMemory, DefaultModeIsOwnerAndGroupOnly) {
    EnvGuard env("OLK_IPC_MODE", nullptr);
    KeyGuard guard(Key(5));
    const int32_t id = vos_create_shared_memory(guard.key(), 4096);
    ASSERT_GE(id, 0);
    EXPECT_EQ(ModeOf(id), 0660);
}

TEST_F(SharedMemory, ModeComesFromTheEnvironment) {
    struct Case {
        const char *value;
        int mode;
    };
    const Case cases[] = {{"0600", 0600}, {"0666", 0666}, {"640", 0640},  {"0", 0},
                          {"", 0660},     {"rw", 0660},   {"0668", 0660}, {"01777", 0660},
                          {"-600", 0660}, {" 600", 0660}, {"600x", 0660}, {"0777", 0777}};
    int n = 10;
    for (const Case &c : cases) {
        EnvGuard env("OLK_IPC_MODE", c.value);
        KeyGuard guard(Key(n++));
        const int32_t id = vos_create_shared_memory(guard.key(), 4096);
        ASSERT_GE(id, 0) << c.value;
        EXPECT_EQ(ModeOf(id), c.mode) << "OLK_IPC_MODE=\"" << c.value << "\"";
    }
}

TEST_F(SharedMemory, PrivateSegmentsAreMadeButNeverFound) {
    const int32_t id = vos_create_shared_memory(IPC_PRIVATE, 4096);
    IdGuard guard(id);
    ASSERT_GE(id, 0);
    errno = 0;
    EXPECT_LT(vos_get_shared_memory(IPC_PRIVATE), 0);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(SharedMemory, BadArgumentsAreRefused) {
    KeyGuard guard(Key(30));
    errno = 0;
    EXPECT_LT(vos_create_shared_memory(guard.key(), 0), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_LT(vos_get_shared_memory(guard.key()), 0) << "a refused create made something";

    errno = 0;
    EXPECT_LT(vos_get_shared_memory(Key(31)), 0);
    EXPECT_EQ(errno, ENOENT);

    errno = 0;
    EXPECT_EQ(vos_attach_shared_memory(-1), nullptr);
    EXPECT_EQ(errno, EINVAL);

    errno = 0;
    EXPECT_LT(vos_dettach_shared_memory(0, nullptr), 0);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    int local = 0;
    EXPECT_LT(vos_dettach_shared_memory(-1, &local), 0);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_LT(vos_dettach_shared_memory(0, &local), 0) << "detached something not attached";
    EXPECT_EQ(errno, EINVAL);

    errno = 0;
    EXPECT_LT(vos_destroy_shared_memory(-1), 0);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(SharedMemory, GoneIdsAreRefused) {
    KeyGuard guard(Key(32));
    const int32_t id = vos_create_shared_memory(guard.key(), 4096);
    ASSERT_GE(id, 0);
    ASSERT_EQ(vos_destroy_shared_memory(id), 0);
    errno = 0;
    EXPECT_EQ(vos_attach_shared_memory(id), nullptr);
    EXPECT_NE(errno, 0);
    errno = 0;
    EXPECT_LT(vos_destroy_shared_memory(id), 0);
    EXPECT_NE(errno, 0);
}

}  // namespace
