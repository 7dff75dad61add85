// What the reliability campaigns share. They are built against the engine's objects linked
// statically (the internal test build), so they can read a queue's records directly, without
// its lock, and check them against the invariants of the public header. Also: seeds and
// lengths from the environment, a reproducible generator, a progress watchdog, and the
// resident memory of a process.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "engine/api.h"
#include "engine/records.h"
#include "local/local_table.h"
#include "shared/shared_table.h"

namespace brenn_campaign {

using brenn::engine::NODE_EMPTY;
using brenn::engine::NODE_READ;
using brenn::engine::NODE_WRITTEN;
using brenn::engine::QueueHeader;
using brenn::engine::QueueNode;
inline constexpr uint64_t kNone = UINT64_MAX;

// ---- environment --------------------------------------------------------------------------

inline uint64_t env_u64(const char *name, uint64_t fallback) {
    const char *text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    return (end != nullptr && *end == '\0') ? v : fallback;
}

// The seed of a campaign: BRENN_SEED when set, else one drawn from the clock and the pid.
inline uint64_t campaign_seed() {
    const uint64_t drawn =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<uint64_t>(getpid()) << 32);
    return env_u64("BRENN_SEED", drawn);
}

// splitmix64: small, fast and the same on every target, so a seed replays anywhere.
struct Rng {
    uint64_t state;
    explicit Rng(uint64_t seed) : state(seed) {}
    uint64_t next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    uint32_t u32() { return static_cast<uint32_t>(next() >> 32); }
    // 0 .. n - 1 (n > 0).
    uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) % n); }
};

// ---- records ------------------------------------------------------------------------------

// A queue's records as the table holds them, read without the lock.
struct Records {
    QueueHeader *hdr = nullptr;
    QueueNode *nodes = nullptr;  // the current ring (null for a free local slot)
};

// False when the id is outside the family's table or the shared segment is not attached.
inline bool records_of(bool shared, int32_t q, Records *r) {
    brenn::engine::Slot slot;
    const brenn::engine::Family &family = shared ? brenn::shared::family : brenn::local::family;
    if (!brenn::api::reach(family, q, &slot)) return false;
    r->hdr = slot.hdr;
    r->nodes = slot.nodes();
    return true;
}

// The invariants that the public header promises for every allocated queue, checked on its
// records; "" when they hold, else what is wrong. Positions: rd, wr, tail and the pk of every
// session in use are -1 or inside the ring. Nodes: a node is empty exactly when its seq is -1,
// and then holds no handle; written nodes carry numbers below write_seq, and going back from
// wr the numbers fall: the ring holds its nodes in write order. (The node at wr holds the last
// number given right after a write; a clean may empty it, and a node-count change then puts wr
// on the newest node kept.) Nothing is held while wr is -1.
// `free_sessions_too` also asks it of the pk of free session slots.
inline std::string invariant_breach(const Records &r, bool free_sessions_too = false) {
    char why[256];
    const QueueHeader &h = *r.hdr;
    const int32_t n = h.node_num;
    if (h.allocated == 0) return "the slot holds no queue";
    if (n < 1 || r.nodes == nullptr) return "no ring (node_num " + std::to_string(n) + ")";
    auto in_ring = [n](int32_t x) { return x == -1 || (x >= 0 && x < n); };
    // A plain queue's tail is what the slot held: it may name no node.
    if (!in_ring(h.rd) || !in_ring(h.wr) || (h.dynamic != 0 && !in_ring(h.tail))) {
        std::snprintf(why, sizeof why, "position outside the ring: rd %d wr %d tail %d (n %d)",
                      h.rd, h.wr, h.tail, n);
        return why;
    }
    for (int32_t s = 0; s < brenn::engine::kMaxSessions; ++s) {
        const QueueSession &ss = h.sessions[s];
        if ((ss.in_use != 0 || free_sessions_too) && !in_ring(ss.pk)) {
            std::snprintf(why, sizeof why,
                          "session %d (in use %d) has pk %d outside the ring of %d", s, ss.in_use,
                          ss.pk, n);
            return why;
        }
    }
    for (int32_t i = 0; i < n; ++i) {
        const QueueNode &node = r.nodes[i];
        if (node.state != NODE_EMPTY && node.state != NODE_WRITTEN && node.state != NODE_READ) {
            std::snprintf(why, sizeof why, "node %d has state %d", i, node.state);
            return why;
        }
        const bool empty = node.state == NODE_EMPTY;
        if (empty != (node.seq == -1) || (empty && node.obj != kNone)) {
            std::snprintf(why, sizeof why, "node %d: state %d, seq %" PRId64 ", obj %" PRIx64, i,
                          node.state, node.seq, node.obj);
            return why;
        }
        if (!empty && (node.seq < 0 || static_cast<uint64_t>(node.seq) >= h.write_seq)) {
            std::snprintf(why, sizeof why, "node %d has seq %" PRId64 " with write_seq %" PRIu64, i,
                          node.seq, h.write_seq);
            return why;
        }
        if (!empty && h.wr == -1) {
            std::snprintf(why, sizeof why, "node %d holds seq %" PRId64 " while wr is -1", i,
                          node.seq);
            return why;
        }
    }
    if (h.wr >= 0) {
        int64_t above = INT64_MAX;
        for (int32_t k = 0, i = h.wr; k < n; ++k, i = (i - 1 + n) % n) {
            const QueueNode &node = r.nodes[i];
            if (node.state == NODE_EMPTY) continue;
            if (node.seq >= above) {
                std::snprintf(why, sizeof why,
                              "ring out of write order: node %d has seq %" PRId64
                              " after a newer node's %" PRId64,
                              i, node.seq, above);
                return why;
            }
            above = node.seq;
        }
    }
    return "";
}

// The node a peek of session `sid` would take, chosen as peek chooses it: its index; -1 when
// the peek answers "no buffer" at once (a dynamic ring holding nothing newer for a session
// without a position); -2 when it would wait. Only meaningful while nobody else changes the
// queue.
inline int32_t peek_would_take(const Records &r, int32_t sid) {
    const QueueHeader &h = *r.hdr;
    const QueueSession &ss = h.sessions[sid];
    const int32_t n = h.node_num;
    int32_t pk = ss.pk;
    if (pk < -1 || pk >= n) pk = -1;
    int32_t i = (pk + 1) % n;
    if (h.dynamic != 0 && h.wr >= 0) {
        if (pk < 0) {
            i = -1;
            for (int32_t k = 0, j = h.tail; k < n; ++k, j = (j + 1) % n) {
                if (r.nodes[j].state != NODE_EMPTY && r.nodes[j].seq > ss.cur_seq) {
                    i = j;
                    break;
                }
            }
            if (i < 0) return -1;
        } else {
            const bool inside =
                h.wr > h.tail ? (h.tail <= pk && pk <= h.wr) : !(h.wr < pk && pk < h.tail);
            if (!inside) i = h.wr;
        }
    }
    const QueueNode &node = r.nodes[i];
    return (node.state == NODE_EMPTY || !(ss.cur_seq < node.seq)) ? -2 : i;
}

// ---- processes ----------------------------------------------------------------------------

// Resident memory of this process in KiB (VmRSS, RssAnon and RssShmem of /proc/self/status).
struct Memory {
    long rss_kib = -1;
    long anon_kib = -1;
    long shmem_kib = 0;
};
inline Memory memory_now() {
    Memory m;
    if (FILE *f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            long v = 0;
            if (std::sscanf(line, "VmRSS: %ld", &v) == 1) m.rss_kib = v;
            if (std::sscanf(line, "RssAnon: %ld", &v) == 1) m.anon_kib = v;
            if (std::sscanf(line, "RssShmem: %ld", &v) == 1) m.shmem_kib = v;
        }
        std::fclose(f);
    }
    return m;
}

// A watchdog that ends the program when no progress was reported for `quiet` seconds, or
// when the whole run takes longer than `total` seconds; it first prints `what()` (the seed
// and the step, so that a hang can be replayed) and runs `cleanup` (for instance the removal
// of the shared keys).
class Watchdog {
  public:
    using Note = std::string (*)();
    Watchdog(unsigned quiet, unsigned total, Note what, void (*cleanup)())
        : quiet_(quiet), total_(total), what_(what), cleanup_(cleanup) {
        beat();
        std::thread([this] { run(); }).detach();
    }
    void beat() {
        last_.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                    std::memory_order_relaxed);
    }

  private:
    void run() {
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const auto now = std::chrono::steady_clock::now();
            const auto last = std::chrono::steady_clock::time_point(
                std::chrono::steady_clock::duration(last_.load(std::memory_order_relaxed)));
            const bool stuck = now - last > std::chrono::seconds(quiet_);
            const bool long_run = now - start > std::chrono::seconds(total_);
            if (!stuck && !long_run) continue;
            std::fprintf(stderr, "watchdog: %s; %s\n",
                         stuck ? "no progress" : "the run takes too long",
                         what_ != nullptr ? what_().c_str() : "");
            std::fflush(nullptr);
            if (cleanup_ != nullptr) cleanup_();
            std::_Exit(98);
        }
    }
    unsigned quiet_, total_;
    Note what_;
    void (*cleanup_)();
    std::atomic<std::chrono::steady_clock::rep> last_{0};
};

}  // namespace brenn_campaign
