// The installed C++ layer: owners, a session, a look-back guard and a handle array. A failed
// result taken as a value aborts with its error, which fails the run as well. Built in tests/abi
// too, for the plain header from C++: C linkage (this links against the plain names) and C's
// own types.
#include <brenn.h>
#include <brenn.hpp>
#include <cstdio>
#include <type_traits>

static_assert(std::is_standard_layout_v<QueueStatus> && std::is_trivial_v<QueueStatus>);
static_assert(std::is_same_v<decltype(&gsq_c_resize), uint64_t *(*)(int32_t, int32_t, int32_t *)>);

int main() {
    auto queue = brenn::LocalQueue::dynamic(4, 3);
    auto session = queue->create_session();
    for (uint64_t h = 1; h <= 5; ++h)
        queue->write(h, brenn::from_ts(1000 + 40 * h)).value();
    bool ok = !brenn::LocalQueue::plain(0) && gsq_c_uninit() == -1;
    {
        auto look = session->look_back();  // its guard releases the lock that resize takes
        ok = ok && look->step()->handle == 4;
    }
    auto dropped = queue->resize(1);
    ok = ok && dropped->size() == 2 && (*dropped)[1] == 4;
    std::puts(ok ? "consumer ok" : "consumer FAILED");
    return ok ? 0 : 1;
}
