// The process-local queue table: 1024 slots in the library's static storage, zero when the
// library is loaded, each with its own node array, mutex and condition variable.
#pragma once

#include <cstdint>

#include "engine/slot.h"

namespace brenn::local {

inline constexpr int32_t kQueueCount = 1024;

extern const engine::Family family;

int32_t allocate(uint32_t size, int32_t max_sessions, int32_t reserve, int32_t no_block,
                 int32_t sharable) noexcept;
int32_t allocate_dynamic(int32_t k, int32_t window, int32_t max_sessions, int32_t reserve,
                         int32_t no_block, int32_t sharable) noexcept;
void release(int32_t q) noexcept;
int32_t node_count(int32_t q) noexcept;

}  // namespace brenn::local
