// The header from C++: C linkage (this links against the plain names) and C's own types.
#include <cstdlib>
#include <type_traits>

#include "brenn.h"

static_assert(std::is_standard_layout_v<QueueStatus> && std::is_trivial_v<QueueStatus>);
static_assert(std::is_same_v<decltype(&gsq_c_resize), uint64_t *(*)(int32_t, int32_t, int32_t *)>);

int main() {
    int32_t count = -1;
    const int32_t q = lsq_c_dynamic_alloc(3, 2, 1, 0, 1, 1);
    for (uint64_t h = 1; h <= 3; ++h)
        lsq_c_write(q, h, nullptr, static_cast<int64_t>(h));
    uint64_t *handles = lsq_c_clean(q, &count);
    const bool ok = handles != nullptr && count == 2 && handles[1] == 3;
    std::free(handles);
    return ok && gsq_c_uninit() == -1 ? 0 : 1;
}
