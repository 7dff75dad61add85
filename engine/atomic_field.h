// Relaxed atomic access to plain record fields.
//
// The lock-free operations (the data-available test, session create/destroy/seek, counters,
// sharable accessors, dumps, the node count) read and write queue fields while other threads or
// processes hold the queue's lock and change them. Every access to such a field, on both sides,
// goes through these helpers so that the races the interface allows are defined behaviour and
// ThreadSanitizer has nothing to report. Relaxed order is enough: lock-free readers only ever
// take a snapshot, and everything that must be consistent is ordered by the queue's lock.
// On every target these compile to plain loads and stores (LDRD/STRD or LDREXD on 32-bit ARM).
#pragma once

#include <atomic>
#include <cstdint>

namespace brenn::engine {

static_assert(std::atomic_ref<int32_t>::is_always_lock_free);
static_assert(std::atomic_ref<int64_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint64_t>::is_always_lock_free);

template <typename T>
inline T ld(const T &field) noexcept {
    return std::atomic_ref<T>(const_cast<T &>(field)).load(std::memory_order_relaxed);
}

template <typename T, typename V>
inline void st(T &field, V value) noexcept {
    std::atomic_ref<T>(field).store(static_cast<T>(value), std::memory_order_relaxed);
}

// A flag that publishes the fields written before it (a queue's `allocated`, a session's
// `in_use`), also to other processes: release when it is set, acquire where it is tested before
// those fields are read.
inline int32_t ld_acquire(const int32_t &field) noexcept {
    return std::atomic_ref<int32_t>(const_cast<int32_t &>(field)).load(std::memory_order_acquire);
}
inline void st_release(int32_t &field, int32_t value) noexcept {
    std::atomic_ref<int32_t>(field).store(value, std::memory_order_release);
}

}  // namespace brenn::engine
