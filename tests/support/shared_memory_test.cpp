// Plain System V segments (create, find, attach, detach, destroy, refusals) and the
// permission bits of every object the stand-in creates.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "olk.h"
#include "support_test_util.h"

namespace {

using support_test::Key;
using support_test::RunInChild;
using SharedMemory = support_test::WatchedTest<1>;

shmid_ds Stat(int id) {
    shmid_ds ds{};
    EXPECT_EQ(shmctl(id, IPC_STAT, &ds), 0) << std::strerror(errno);
    return ds;
}

TEST_F(SharedMemory, CreateFindShareAndDestroy) {
    const int32_t id = vos_create_shared_memory(Key(1), 8192);
    ASSERT_GE(id, 0) << std::strerror(errno);
    EXPECT_EQ(vos_get_shared_memory(Key(1)), id);
    EXPECT_REFUSED(vos_create_shared_memory(Key(1), 8192), EEXIST);
    EXPECT_REFUSED(vos_create_shared_memory(Key(1), 100), EEXIST);
    auto *words = static_cast<volatile uint32_t *>(vos_attach_shared_memory(id));
    ASSERT_NE(words, nullptr) << std::strerror(errno);
    for (size_t i = 0; i < 8192 / 4; ++i)
        ASSERT_EQ(words[i], 0u) << "word " << i << " of a new segment";
    EXPECT_EQ(Stat(id).shm_segsz, 8192u);
    EXPECT_EQ(Stat(id).shm_nattch, 1u);

    // A process that finds the segment by key alone reads and writes the same bytes.
    words[10] = 0xfeedf00d;
    EXPECT_EQ(RunInChild([] {
                  const int32_t found = vos_get_shared_memory(Key(1));
                  auto *mine = static_cast<uint32_t *>(vos_attach_shared_memory(found));
                  if (mine == nullptr || mine[10] != 0xfeedf00d) return 1;
                  mine[11] = 12345;
                  return vos_dettach_shared_memory(found, mine) == 0 ? 0 : 2;
              }),
              0);
    EXPECT_EQ(words[11], 12345u);

    // Destroyed: no longer found, the key free at once, still usable where attached.
    ASSERT_EQ(vos_destroy_shared_memory(id), 0);
    EXPECT_REFUSED(vos_get_shared_memory(Key(1)), ENOENT);
    const int32_t again = vos_create_shared_memory(Key(1), 4096);
    EXPECT_GE(again, 0);
    EXPECT_NE(again, id);
    words[0] = 7;
    EXPECT_EQ(words[0], 7u);
    EXPECT_EQ(vos_dettach_shared_memory(id, const_cast<uint32_t *>(words)), 0);
}

// Every mode here lets the owner read and write, so the test runs without privileges.
TEST_F(SharedMemory, SegmentsAndSetsAreMadeWithTheConfiguredMode) {
    const struct {
        const char *value;  // nullptr: unset
        int mode;
    } cases[] = {{nullptr, 0660}, {"0600", 0600}, {"0666", 0666}, {"640", 0640},  {"0604", 0604},
                 {"0777", 0777},  {"", 0660},     {"rw", 0660},   {"0668", 0660}, {"01777", 0660},
                 {"-600", 0660},  {" 600", 0660}, {"600x", 0660}};
    int32_t n = 10;
    for (const auto &c : cases) {
        if (c.value == nullptr) {
            unsetenv("OLK_IPC_MODE");
        } else {
            setenv("OLK_IPC_MODE", c.value, 1);
        }
        const char *shown = c.value == nullptr ? "(unset)" : c.value;
        const int32_t segment = vos_create_shared_memory(Key(n++), 4096);
        const int32_t set = vos_create_semaphore(Key(n++), 1);
        ASSERT_GE(segment, 0) << shown;
        ASSERT_GE(set, 0) << shown;
        EXPECT_EQ(Stat(segment).shm_perm.mode & 0777, c.mode) << "segment, mode " << shown;
        EXPECT_EQ(Stat(set).shm_perm.mode & 0777, c.mode) << "set, mode " << shown;
    }
    unsetenv("OLK_IPC_MODE");
}

TEST_F(SharedMemory, BadArgumentsAndGoneIdsAreRefused) {
    EXPECT_REFUSED(vos_create_shared_memory(Key(1), 0), EINVAL);
    EXPECT_REFUSED(vos_get_shared_memory(Key(1)), ENOENT) << ": a refused create made something";
    const int32_t private_id = vos_create_shared_memory(IPC_PRIVATE, 4096);
    EXPECT_GE(private_id, 0);
    EXPECT_REFUSED(vos_get_shared_memory(IPC_PRIVATE), ENOENT);
    EXPECT_EQ(vos_destroy_shared_memory(private_id), 0);
    errno = 0;
    EXPECT_EQ(vos_attach_shared_memory(-1), nullptr);
    EXPECT_EQ(errno, EINVAL);
    int local = 0;
    EXPECT_REFUSED(vos_dettach_shared_memory(0, nullptr), EINVAL);
    EXPECT_REFUSED(vos_dettach_shared_memory(-1, &local), EINVAL);
    EXPECT_REFUSED(vos_dettach_shared_memory(0, &local), EINVAL) << ": detached what was not";
    EXPECT_REFUSED(vos_destroy_shared_memory(-1), EINVAL);
    // The id of a destroyed segment, whose errno is the kernel's.
    EXPECT_EQ(vos_attach_shared_memory(private_id), nullptr);
    EXPECT_EQ(vos_destroy_shared_memory(private_id), -1);
}

}  // namespace
