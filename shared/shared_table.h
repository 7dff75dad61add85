// The shared queue table: the 512 slots of the shared segment, bound to the engine through the
// semaphores of the support library.
#pragma once

#include <cstdint>

#include "engine/slot.h"

namespace brenn::shared {

extern const engine::Family family;

int32_t allocate(uint32_t size, int32_t max_sessions, int32_t reserve, int32_t no_block,
                 int32_t sharable) noexcept;
int32_t allocate_dynamic(int32_t k, int32_t window, int32_t max_sessions, int32_t reserve,
                         int32_t no_block, int32_t sharable) noexcept;
void release(int32_t q) noexcept;
int32_t ready(int32_t q) noexcept;
int32_t node_count(int32_t q) noexcept;

}  // namespace brenn::shared
