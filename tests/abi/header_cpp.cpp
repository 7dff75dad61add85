// The public header as a C++ program sees it: every declaration has C linkage, so the program
// links against the library's plain names.
#include <cstdlib>
#include <type_traits>

#include "brenn.h"

static_assert(sizeof(QueueStatus) == 4112);
static_assert(std::is_standard_layout_v<QueueStatus> && std::is_trivial_v<QueueStatus>);
static_assert(std::is_same_v<decltype(&gsq_c_resize), uint64_t *(*)(int32_t, int32_t, int32_t *)>);

int main() {
    int32_t count = -1;
    const int32_t q = lsq_c_dynamic_alloc(3, 2, 1, 0, 1, 1);
    if (q < 0) return 1;
    uint64_t back = 0;
    for (uint64_t h = 1; h <= 3; ++h)
        lsq_c_write(q, h, &back, static_cast<int64_t>(h));
    if (back != 1) return 2;
    uint64_t *handles = lsq_c_clean(q, &count);
    const bool ok = handles != nullptr && count == 2 && handles[0] == 2 && handles[1] == 3;
    std::free(handles);
    lsq_c_free_queue(q);
    return ok && gsq_c_uninit() == -1 ? 0 : 3;
}
