// olk_return: counting by default, a program's handler when one is installed.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "olk.h"
#include "olk_standin.h"

namespace {

struct Seen {
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> sum{0};
    std::atomic<uint64_t> last{0};
};

void Record(uint64_t handle, void *context) {
    auto *seen = static_cast<Seen *>(context);
    seen->calls.fetch_add(1);
    seen->sum.fetch_add(handle);
    seen->last.store(handle);
}

void RecordOther(uint64_t handle, void *context) {
    // A second function, so the tests tell "handler" and "context" apart.
    static_cast<Seen *>(context)->calls.fetch_add(1);
    static_cast<Seen *>(context)->last.store(~handle);
}

class BufferReturn : public ::testing::Test {
  protected:
    void TearDown() override { olk_set_return_handler(nullptr, nullptr); }
};

TEST_F(BufferReturn, CountsEachHandleByDefault) {
    const uint64_t before = olk_returned_count();
    olk_return(1);
    olk_return(UINT64_MAX);
    olk_return(0);
    EXPECT_EQ(olk_returned_count() - before, 3u);
}

TEST_F(BufferReturn, CountsExactlyUnderConcurrency) {
    const uint64_t before = olk_returned_count();
    constexpr int kThreads = 4;
    constexpr int kEach = 25000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kEach; ++i)
                olk_return(static_cast<uint64_t>(i));
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(olk_returned_count() - before, static_cast<uint64_t>(kThreads) * kEach);
}

TEST_F(BufferReturn, InstalledHandlerGetsHandleAndContextInsteadOfTheCount) {
    Seen seen;
    const uint64_t before = olk_returned_count();
    olk_set_return_handler(Record, &seen);
    olk_return(40);
    olk_return(2);
    EXPECT_EQ(seen.calls.load(), 2u);
    EXPECT_EQ(seen.sum.load(), 42u);
    EXPECT_EQ(seen.last.load(), 2u);
    EXPECT_EQ(olk_returned_count(), before);
}

TEST_F(BufferReturn, NullHandlerRestoresCounting) {
    Seen seen;
    olk_set_return_handler(Record, &seen);
    olk_return(5);
    olk_set_return_handler(nullptr, &seen);
    const uint64_t before = olk_returned_count();
    olk_return(6);
    EXPECT_EQ(seen.calls.load(), 1u);
    EXPECT_EQ(olk_returned_count() - before, 1u);
}

TEST_F(BufferReturn, ReplacingAHandlerSwitchesBothFunctionAndContext) {
    Seen first;
    Seen second;
    olk_set_return_handler(Record, &first);
    olk_return(7);
    olk_set_return_handler(RecordOther, &second);
    olk_return(8);
    olk_set_return_handler(Record, &first);  // a pair seen before comes back unchanged
    olk_return(9);
    EXPECT_EQ(first.calls.load(), 2u);
    EXPECT_EQ(first.last.load(), 9u);
    EXPECT_EQ(second.calls.load(), 1u);
    EXPECT_EQ(second.last.load(), ~uint64_t{8});
}

// Handles returned while another thread keeps swapping handlers all arrive somewhere, each
// handler with its own context: none lost, none counted twice.
TEST_F(BufferReturn, SwappingHandlersUnderLoadLosesNothing) {
    Seen a;
    Seen b;
    const uint64_t before = olk_returned_count();
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        int turn = 0;
        while (!stop.load()) {
            switch (turn++ % 3) {
                case 0:
                    olk_set_return_handler(Record, &a);
                    break;
                case 1:
                    olk_set_return_handler(Record, &b);
                    break;
                default:
                    olk_set_return_handler(nullptr, nullptr);
                    break;
            }
        }
    });
    constexpr int kThreads = 2;
    constexpr int kEach = 20000;
    std::vector<std::thread> returners;
    for (int t = 0; t < kThreads; ++t) {
        returners.emplace_back([] {
            for (int i = 0; i < kEach; ++i)
                olk_return(1);
        });
    }
    for (auto &t : returners)
        t.join();
    stop.store(true);
    swapper.join();
    const uint64_t counted = olk_returned_count() - before;
    EXPECT_EQ(a.calls.load() + b.calls.load() + counted, static_cast<uint64_t>(kThreads) * kEach);
    EXPECT_EQ(a.sum.load(), a.calls.load());
    EXPECT_EQ(b.sum.load(), b.calls.load());
}

}  // namespace
