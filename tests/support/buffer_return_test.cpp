// olk_return: counting by default, a program's handler when one is installed.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "olk.h"
#include "olk_standin.h"
#include "support_test_util.h"

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

// A second function, so that a handler paired with the wrong context shows.
void RecordInverted(uint64_t handle, void *context) {
    static_cast<Seen *>(context)->calls.fetch_add(1);
    static_cast<Seen *>(context)->last.store(~handle);
}

using BufferReturn = support_test::WatchedTest<>;

// `threads` threads each return `each` handles of 1.
void ReturnFromThreads(int threads, int each) {
    std::vector<std::thread> all;
    for (int t = 0; t < threads; ++t) {
        all.emplace_back([each] {
            for (int i = 0; i < each; ++i)
                olk_return(1);
        });
    }
    for (auto &t : all)
        t.join();
}

TEST_F(BufferReturn, CountsExactlyByDefault) {
    const uint64_t before = olk_returned_count();
    olk_return(UINT64_MAX);
    olk_return(0);
    ReturnFromThreads(4, 25000);
    EXPECT_EQ(olk_returned_count() - before, 100002u);
}

TEST_F(BufferReturn, HandlersReplaceTheCountWithTheirOwnContext) {
    Seen first;
    Seen second;
    const uint64_t before = olk_returned_count();
    olk_set_return_handler(Record, &first);
    olk_return(40);
    olk_return(2);
    EXPECT_EQ(first.calls.load(), 2u);
    EXPECT_EQ(first.sum.load(), 42u);
    EXPECT_EQ(olk_returned_count(), before);
    olk_set_return_handler(RecordInverted, &second);
    olk_return(8);
    EXPECT_EQ(second.last.load(), ~uint64_t{8});
    olk_set_return_handler(Record, &first);  // a pair seen before comes back unchanged
    olk_return(9);
    EXPECT_EQ(first.calls.load(), 3u);
    EXPECT_EQ(first.last.load(), 9u);
    EXPECT_EQ(second.calls.load(), 1u);
    olk_set_return_handler(nullptr, &first);  // counting again, whatever the context
    olk_return(6);
    EXPECT_EQ(first.calls.load(), 3u);
    EXPECT_EQ(olk_returned_count() - before, 1u);
}

// Handles returned while another thread keeps swapping handlers all arrive somewhere, each
// handler with its own context: none lost, none counted twice.
TEST_F(BufferReturn, SwappingHandlersUnderLoadLosesNothing) {
    Seen a;
    Seen b;
    const uint64_t before = olk_returned_count();
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        for (int turn = 0; !stop.load(); ++turn) {
            olk_set_return_handler(turn % 3 == 2 ? nullptr : Record, turn % 3 == 0 ? &a : &b);
        }
    });
    ReturnFromThreads(2, 20000);
    stop.store(true);
    swapper.join();
    olk_set_return_handler(nullptr, nullptr);
    EXPECT_EQ(a.calls.load() + b.calls.load() + olk_returned_count() - before, 40000u);
    EXPECT_EQ(a.sum.load(), a.calls.load());
    EXPECT_EQ(b.sum.load(), b.calls.load());
}

}  // namespace
