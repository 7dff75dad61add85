// Shared queues between processes: forked children that join with gsq_c_init, and a program
// started on its own (brenn_peer) that joins by key. Every wait is bounded: children run
// under an alarm and are waited for with a time limit.
#include <poll.h>
#include <spawn.h>

#include <string>
#include <vector>

#include "common/table_checks.h"
#include "support/olk_standin.h"

extern char **environ;

namespace brenn_test {
namespace {

[[maybe_unused]] const auto *const kIpcsCheck =
    ::testing::AddGlobalTestEnvironment(new IpcsLeftClean);
[[maybe_unused]] const bool kWatchdog = arm_watchdog(80);

// A started peer: its pid and the read end of its standard output.
struct Peer {
    pid_t pid = -1;
    int out = -1;
    ~Peer() {
        if (out >= 0) close(out);
        if (pid > 0) child_result(pid, 0ms);
    }
    // True when the peer said `c` within `limit`.
    bool says(char c, std::chrono::milliseconds limit = 5s) const {
        pollfd p{out, POLLIN, 0};
        char got = 0;
        return poll(&p, 1, static_cast<int>(limit.count())) == 1 && read(out, &got, 1) == 1 &&
               got == c;
    }
    int result(std::chrono::milliseconds limit = 5s) {
        const int rc = child_result(pid, limit);
        pid = -1;
        return rc;
    }
};

void start_peer(Peer &peer, const std::vector<std::string> &args) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    // In a cross build the peer runs through the same emulator that runs this test.
    std::vector<std::string> all{BRENN_PEER_COMMAND};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawnp(&peer.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    peer.out = fds[0];
    ASSERT_EQ(rc, 0) << "cannot start " << all[0];
}

class Processes : public FamilyTest {};

// A writer, the main reader and a peeking consumer, each a process of its own. The writer
// keeps at most 8 nodes ahead of the reader, which acknowledges every node on a second queue:
// both block in reads that a write in the other process ends. The peeker may fall behind the
// window and then jumps, reporting the gap. (The ring is dynamic: a write carries a session
// sitting on the tail node along, where a plain ring would drop its position.)
TEST_P(Processes, WriterReaderAndPeekerInThreeProcesses) {
    constexpr uint64_t kCount = 3000, kAhead = 8;
    const int32_t q = dyn(15, 15);
    const int32_t acks = alloc(16 * 32);
    ASSERT_GE(acks, 0);
    const int32_t s = gsq_c_create_session(q);
    ASSERT_EQ(s, 0);
    const pid_t reader = fork_child([&] {
        CHILD_CHECK(gsq_c_init() == 0, 2);
        for (uint64_t i = 1; i <= kCount; ++i) {
            uint64_t obj = 0;
            CHILD_CHECK(gsq_read(q, &obj) == 0, 3);
            CHILD_CHECK(obj == i, 4);
            CHILD_CHECK(gsq_c_write(acks, i, nullptr, 0) == 0, 5);
        }
        return gsq_c_uninit() == 0 ? 0 : 6;
    });
    const pid_t peeker = fork_child([&] {
        CHILD_CHECK(gsq_c_init() == 0, 2);
        uint64_t prev = 0, taken = 0;
        while (prev != kCount) {
            uint64_t obj = 0;
            int32_t gap = -1;
            CHILD_CHECK(gsq_c_peek(q, s, &obj, &gap) == 0, 3);
            CHILD_CHECK(obj > prev && obj <= kCount, 4);
            CHILD_CHECK(gsq_c_get_cur_seq(q, s) == static_cast<int64_t>(obj) - 1, 5);
            if (prev >= 2) CHILD_CHECK(gap == (obj != prev + 1 ? 1 : 0), 6);
            prev = obj;
            ++taken;
        }
        CHILD_CHECK(gsq_c_get_cur_live_count(q, s) == taken, 7);
        return gsq_c_uninit() == 0 ? 0 : 8;
    });
    const pid_t writer = fork_child([&] {
        CHILD_CHECK(gsq_c_init() == 0, 2);
        for (uint64_t i = 1; i <= kCount; ++i) {
            uint64_t ack = 0;
            if (i > kAhead) CHILD_CHECK(gsq_read(acks, &ack) == 0 && ack == i - kAhead, 3);
            CHILD_CHECK(gsq_c_write(q, i, nullptr, 0) == 0, 4);
        }
        return gsq_c_uninit() == 0 ? 0 : 5;
    });
    EXPECT_EQ(child_result(writer, 20s), 0) << "writer";
    EXPECT_EQ(child_result(reader, 5s), 0) << "reader";
    EXPECT_EQ(child_result(peeker, 5s), 0) << "peeker";
    EXPECT_EQ(VSQ_IS_READY_TO_READ(q), 0);
}

// A blocking writer that has filled a fresh ring of 4 nodes (reserve 1) waits in its fifth
// write until a read in another process takes node 0.
TEST_P(Processes, WriterWaitsForReaderInAnotherProcess) {
    const int32_t q = alloc(4 * 32, 4, /*reserve=*/1, /*no_block=*/0);
    const pid_t writer = fork_child([&] {
        CHILD_CHECK(gsq_c_init() == 0, 2);
        for (uint64_t h = 1; h <= 5; ++h)
            CHILD_CHECK(gsq_c_write(q, h, nullptr, 0) == 0, 3);
        return gsq_c_uninit() == 0 ? 0 : 4;
    });
    EXPECT_EQ(exited_within(writer, 300ms), -1) << "the fifth write did not wait";
    bounded("reads", [&] {
        for (uint64_t h = 1; h <= 5; ++h) {
            uint64_t obj = 0;
            EXPECT_EQ(gsq_read(q, &obj), 0);
            EXPECT_EQ(obj, h);
        }
    });
    EXPECT_EQ(child_result(writer, 3s), 0);
}

// A program started separately waits in peek and in read until this process writes.
TEST_P(Processes, SeparateProgramIsWokenByWrites) {
    const int32_t q = dyn(8, 8);
    const int32_t s = gsq_c_create_session(q);
    ASSERT_EQ(s, 0);
    const struct {
        std::vector<std::string> args;
        uint64_t first;
        int count;
    } steps[] = {
        {{"peek", std::to_string(q), std::to_string(s), "3", "100"}, 100, 3},
        {{"read", std::to_string(q), "1", "100"}, 0, 0},  // written already: no wait
        {{"read", std::to_string(q), "3", "101"}, 103, 1},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.args[0] + " " + step.args[2]);
        Peer peer;
        start_peer(peer, step.args);
        ASSERT_TRUE(peer.says('R'));
        if (step.count > 0) {
            std::this_thread::sleep_for(100ms);
            EXPECT_EQ(exited_within(peer.pid, 0ms), -1) << "did not wait for a write";
        }
        bounded("writes", [&] {
            for (int i = 0; i < step.count; ++i)
                EXPECT_EQ(gsq_c_write(q, step.first + static_cast<uint64_t>(i), nullptr, 0), 0);
        });
        EXPECT_EQ(peer.result(), 0);
    }
}

// A process killed while it holds queue 129's lock blocks every other user of the queue until
// gsq_c_reset releases the lock; then the table serves again.
TEST_P(Processes, KilledLockHolderBlocksUntilReset) {
    for (int32_t i = 0; i < 130; ++i)
        ASSERT_EQ(alloc(8 * 32), i);
    const int32_t q = 129;
    Peer holder;
    start_peer(holder, {"hold", std::to_string(q)});
    ASSERT_TRUE(holder.says('L'));
    const pid_t dead = holder.pid;
    kill(dead, SIGKILL);
    EXPECT_EQ(holder.result(), 128 + SIGKILL);
    EXPECT_EQ(olk_semaphore_holder(vos_get_semaphore(0xff0062, 250), q % 125), dead);

    const pid_t writer = fork_child([&] {
        CHILD_CHECK(gsq_c_init() == 0, 2);
        CHILD_CHECK(gsq_c_write(q, 7, nullptr, 0) == 0, 3);
        return gsq_c_uninit() == 0 ? 0 : 4;
    });
    EXPECT_EQ(exited_within(writer, 300ms), -1) << "the write did not wait for the lock";
    EXPECT_EQ(gsq_c_reset(), 0);
    EXPECT_EQ(child_result(writer, 3s), 0);

    EXPECT_EQ(gsq_c_ready(q), 0);
    for (int32_t i = 0; i < 130; ++i)
        ASSERT_EQ(alloc(8 * 32), i);
    bounded("write after reset", [&] { EXPECT_EQ(gsq_c_write(q, 8, nullptr, 0), 0); });
    Peer reader;
    start_peer(reader, {"read", std::to_string(q), "1", "8"});
    EXPECT_EQ(reader.result(), 0);
}

INSTANTIATE_TEST_SUITE_P(Shared, Processes, ::testing::Values(&kShared), family_name);

}  // namespace
}  // namespace brenn_test
