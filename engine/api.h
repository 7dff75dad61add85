// The checked entry points behind every export of both families. Each one refuses what the
// public header says it refuses (an id outside the family's table, a process that cannot reach
// the table, a slot that holds no queue, a session id outside 0..127, a missing out-pointer)
// without touching anything, then hands a resolved Slot to the engine.
#pragma once

#include <cstdint>

#include "engine/slot.h"

namespace brenn::api {

using engine::Family;
using engine::Slot;

// An id inside the table of a family this process reaches; `allocated` is not looked at.
bool reach(const Family &f, int32_t q, Slot *slot) noexcept;
// Additionally, the slot holds a queue.
bool open(const Family &f, int32_t q, Slot *slot) noexcept;

int32_t node_size() noexcept;
int32_t lock(const Family &f, int32_t q) noexcept;
int32_t unlock(const Family &f, int32_t q) noexcept;

int32_t write(const Family &f, int32_t q, uint64_t obj, uint64_t *given_back, int64_t ts) noexcept;
int32_t read(const Family &f, int32_t q, uint64_t *obj) noexcept;
int32_t look(const Family &f, int32_t q, int32_t back, uint64_t *obj) noexcept;
int32_t ready_to_read(const Family &f, int32_t q) noexcept;

int32_t create_session(const Family &f, int32_t q) noexcept;
int32_t destroy_session(const Family &f, int32_t q, int32_t s) noexcept;
void seek(const Family &f, int32_t q, int32_t s) noexcept;
int32_t reset_peek(const Family &f, int32_t q, int32_t s) noexcept;
int32_t peek(const Family &f, int32_t q, int32_t s, uint64_t *obj, int32_t *gap) noexcept;
int32_t data_available(const Family &f, int32_t q, int32_t s, int32_t *count) noexcept;
int64_t cur_seq(const Family &f, int32_t q, int32_t s) noexcept;
uint64_t live_count(const Family &f, int32_t q, int32_t s) noexcept;
int32_t set_sharable(const Family &f, int32_t q, int32_t flag) noexcept;
int32_t is_sharable(const Family &f, int32_t q) noexcept;

int32_t begin_look_back(const Family &f, int32_t q, int32_t s, int32_t *node_num,
                        int32_t *quarter_num) noexcept;
int32_t look_back(const Family &f, int32_t q, int32_t s, uint64_t *obj) noexcept;
int32_t end_look_back(const Family &f, int32_t q, int32_t s) noexcept;

uint64_t *resize(const Family &f, int32_t q, int32_t new_window, int32_t *out_count) noexcept;
uint64_t *clean(const Family &f, int32_t q, int32_t *out_count) noexcept;
int32_t size_by_time(const Family &f, int32_t q, int32_t duration) noexcept;
int32_t queue_status(const Family &f, int32_t q, QueueStatus *status) noexcept;

// size in bytes; the count is size / 32 and must be 1..binding->max_nodes.
int32_t change_queue_size(const Family &f, int32_t q, uint32_t size) noexcept;

// The local dump: a free slot gives the "not allocated" line, appended as any other line.
void dump_into(const Family &f, int32_t q, char *buf, int32_t len) noexcept;
// The shared dump: nothing when the table cannot be reached.
void dump_to_stdout(const Family &f, int32_t q) noexcept;

}  // namespace brenn::api
