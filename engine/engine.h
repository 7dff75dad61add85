// Every queue operation, written once over an abstract Slot. The callers (engine/api.cpp) have
// already refused bad ids and free slots; these functions do the work on the slot's records
// under the lock its binding gives.
#pragma once

#include <cstdint>

#include "engine/slot.h"

namespace brenn::engine {

// Allocation, common to both tables: positions cleared, every node of the ring emptied (its
// ts set to 0 when clear_ts), every session free and without a position. tail and write_seq
// keep what the slot held.
void init_queue(QueueHeader &h, QueueNode *nodes, int32_t node_num, int32_t max_sessions,
                int32_t reserve, int32_t no_block, int32_t sharable, bool clear_ts) noexcept;
// Turns a freshly allocated ring of k + 1 nodes into a dynamic queue with a window of
// min(w, k) nodes (1 when that is below 1).
void make_dynamic(QueueHeader &h, int32_t k, int32_t w) noexcept;

// Producer and main reader.
int32_t write(const Slot &s, uint64_t obj, uint64_t *given_back, int64_t ts) noexcept;
int32_t read(const Slot &s, uint64_t *obj) noexcept;
int32_t look(const Slot &s, int32_t back, uint64_t *obj) noexcept;
int32_t ready_to_read(const Slot &s) noexcept;

// Peek sessions. Session ids are in 0..127 here.
int32_t create_session(const Slot &s) noexcept;
int32_t destroy_session(const Slot &s, int32_t sid) noexcept;
void seek(const Slot &s, int32_t sid) noexcept;
int32_t reset_peek(const Slot &s, int32_t sid) noexcept;
int32_t peek(const Slot &s, int32_t sid, uint64_t *obj, int32_t *gap) noexcept;
int32_t data_available(const Slot &s, int32_t sid, int32_t *count) noexcept;
int64_t cur_seq(const Slot &s, int32_t sid) noexcept;
uint64_t live_count(const Slot &s, int32_t sid) noexcept;
int32_t set_sharable(const Slot &s, int32_t flag) noexcept;
int32_t is_sharable(const Slot &s) noexcept;

// Look-back: begin returns with the queue's lock held; end releases it.
int32_t begin_look_back(const Slot &s, int32_t sid, int32_t *node_num,
                        int32_t *quarter_num) noexcept;
int32_t look_back(const Slot &s, int32_t sid, uint64_t *obj) noexcept;
int32_t end_look_back(const Slot &s, int32_t sid) noexcept;

// Window upkeep and statistics.
uint64_t *resize(const Slot &s, int32_t new_window, int32_t *out_count) noexcept;
uint64_t *clean(const Slot &s, int32_t *out_count) noexcept;
int32_t size_by_time(const Slot &s, int32_t duration) noexcept;
int32_t queue_status(const Slot &s, QueueStatus *status) noexcept;

// Node-count change to m nodes (1 <= m <= binding->max_nodes): 0, or -1 when the storage
// cannot be had (the queue is then exactly as before).
int32_t change_node_count(const Slot &s, int32_t m) noexcept;

// Diagnostic dumps: the local text appended into buf, the shared text printed on stdout.
void dump_into(const Slot &s, char *buf, int32_t len) noexcept;
void dump_to_stdout(const Slot &s) noexcept;

}  // namespace brenn::engine
