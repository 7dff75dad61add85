// How a semaphore set lies in its System V segment. Every process maps the same bytes, and a
// 32-bit and a 64-bit process may share one set, so the layout uses fixed-width words only.
#ifndef OLK_STANDIN_SEMAPHORE_LAYOUT_H
#define OLK_STANDIN_SEMAPHORE_LAYOUT_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace olk {

// "OLKS": written last by the creator, so a set whose magic reads right is complete.
inline constexpr uint32_t kSetMagic = 0x4f4c4b53;
// 3: the event word carries a wait mark beside the sleep mark (2: the sleep mark alone; 1:
// sleepers counted in a word of their own). Processes of different layouts cannot share a
// set: one finds the other's set no set at all.
inline constexpr uint32_t kSetLayout = 3;
inline constexpr int32_t kMaxSemaphores = 4096;
inline constexpr size_t kLine = 64;

// Lock word states. kDestroyedBit is or-ed in when the set is destroyed so that a sleeper
// that read "2" just before sees a changed word instead of sleeping on.
inline constexpr uint32_t kFree = 0;
inline constexpr uint32_t kTaken = 1;
inline constexpr uint32_t kContended = 2;
inline constexpr uint32_t kDestroyedBit = 0x80000000u;

// The event word: a count of signals in steps of kEventStep and two marks. kWaitMark is set
// by every waiter before it gives up the lock, kSleepMark by a waiter before it sleeps on the
// word; the signal that moves the count clears both and wakes the sleepers. A signal finding
// no mark moves nothing (nobody entered a wait since the last count move: whoever enters one
// later tests its condition after the signaller's operation) and writes nothing, so a stream
// whose other side is busy costs its signals a read of the word only.
inline constexpr uint32_t kSleepMark = 1;
inline constexpr uint32_t kWaitMark = 2;
inline constexpr uint32_t kEventMarks = kSleepMark | kWaitMark;
inline constexpr uint32_t kEventStep = 4;

// Whether the signal count moved from `seen`, whatever the marks say.
inline bool signalled_since(uint32_t seen, uint32_t now) noexcept {
    return ((seen ^ now) & ~kEventMarks) != 0;
}

struct alignas(kLine) SetHeader {
    uint32_t magic;
    uint32_t layout;
    uint32_t count;
    uint32_t destroyed;  // 0, then 1 for ever
    uint32_t creator;    // pid, for people reading a segment dump
    uint32_t reserved[11];
};

// One semaphore per cache line: sets are hammered by many processes at once, and two locks
// sharing a line would make each other's owners wait for the line. A field added later takes
// reserved words; the record stays one line.
struct alignas(kLine) SetEntry {
    uint32_t lock;    // kFree, kTaken or kContended (+ kDestroyedBit)
    uint32_t holder;  // pid of the process that took the lock last, 0 while free
    uint32_t event;   // signals in steps of kEventStep, plus kSleepMark; sleepers wait on it
    uint32_t reserved[13];
};

static_assert(sizeof(SetHeader) == kLine);
static_assert(sizeof(SetEntry) == kLine);
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint32_t>::required_alignment <= alignof(uint32_t));

inline constexpr size_t set_bytes(uint32_t count) {
    return sizeof(SetHeader) + count * sizeof(SetEntry);
}

inline std::atomic_ref<uint32_t> word(uint32_t &w) noexcept {
    return std::atomic_ref<uint32_t>(w);
}

}  // namespace olk

#endif  // OLK_STANDIN_SEMAPHORE_LAYOUT_H
