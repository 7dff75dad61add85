#include "engine/api.h"

#include "engine/engine.h"

namespace brenn::api {

using engine::kNoHandle;
using engine::ld;

namespace {

// Session ids are tested as unsigned so that negative ones are refused too.
bool session_id(int32_t s) noexcept {
    return static_cast<uint32_t>(s) < static_cast<uint32_t>(engine::kMaxSessions);
}

bool open_session(const Family &f, int32_t q, int32_t s, Slot *slot) noexcept {
    return session_id(s) && open(f, q, slot);
}

void no_handle(uint64_t *obj) noexcept {
    if (obj != nullptr) *obj = kNoHandle;
}

}  // namespace

bool reach(const Family &f, int32_t q, Slot *slot) noexcept {
    return static_cast<uint32_t>(q) < static_cast<uint32_t>(f.queue_count) && f.locate(q, slot);
}

bool open(const Family &f, int32_t q, Slot *slot) noexcept {
    return reach(f, q, slot) && engine::ld_acquire(slot->hdr->allocated) != 0;
}

int32_t node_size() noexcept {
    return static_cast<int32_t>(sizeof(engine::QueueNode));
}

// The explicit lock calls work on any slot of the table, free or not: a lock taken before the
// queue was freed is released all the same.
int32_t lock(const Family &f, int32_t q) noexcept {
    Slot slot;
    if (!reach(f, q, &slot)) return -1;
    slot.lock();
    return 0;
}

int32_t unlock(const Family &f, int32_t q) noexcept {
    Slot slot;
    if (!reach(f, q, &slot)) return -1;
    slot.unlock();
    return 0;
}

int32_t write(const Family &f, int32_t q, uint64_t obj, uint64_t *given_back, int64_t ts) noexcept {
    Slot slot;
    if (!open(f, q, &slot)) {
        no_handle(given_back);
        return -1;
    }
    return engine::write(slot, obj, given_back, ts);
}

int32_t read(const Family &f, int32_t q, uint64_t *obj) noexcept {
    Slot slot;
    if (obj == nullptr || !open(f, q, &slot)) {
        no_handle(obj);
        return -1;
    }
    return engine::read(slot, obj);
}

int32_t look(const Family &f, int32_t q, int32_t back, uint64_t *obj) noexcept {
    Slot slot;
    if (obj == nullptr || !open(f, q, &slot)) {
        no_handle(obj);
        return -1;
    }
    return engine::look(slot, back, obj);
}

int32_t ready_to_read(const Family &f, int32_t q) noexcept {
    Slot slot;
    return open(f, q, &slot) ? engine::ready_to_read(slot) : -1;
}

int32_t create_session(const Family &f, int32_t q) noexcept {
    Slot slot;
    return open(f, q, &slot) ? engine::create_session(slot) : -1;
}

int32_t destroy_session(const Family &f, int32_t q, int32_t s) noexcept {
    Slot slot;
    return open_session(f, q, s, &slot) ? engine::destroy_session(slot, s) : -1;
}

void seek(const Family &f, int32_t q, int32_t s) noexcept {
    Slot slot;
    if (open_session(f, q, s, &slot)) engine::seek(slot, s);
}

int32_t reset_peek(const Family &f, int32_t q, int32_t s) noexcept {
    Slot slot;
    return open_session(f, q, s, &slot) ? engine::reset_peek(slot, s) : -1;
}

int32_t peek(const Family &f, int32_t q, int32_t s, uint64_t *obj, int32_t *gap) noexcept {
    Slot slot;
    // A peek always answers 0; a refused one hands out no buffer and leaves *gap alone. Null
    // pointers are the engine's to judge: the ways out that take no node do not use them.
    if (!open_session(f, q, s, &slot)) {
        no_handle(obj);
        return 0;
    }
    return engine::peek(slot, s, obj, gap);
}

int32_t data_available(const Family &f, int32_t q, int32_t s, int32_t *count) noexcept {
    if (count == nullptr) return 0;
    *count = 0;
    Slot slot;
    if (!session_id(s) || !reach(f, q, &slot)) {
        *count = -1;
        return 0;
    }
    if (engine::ld_acquire(slot.hdr->allocated) == 0) {
        *count = -2;
        return 0;
    }
    return engine::data_available(slot, s, count);
}

int64_t cur_seq(const Family &f, int32_t q, int32_t s) noexcept {
    Slot slot;
    return open_session(f, q, s, &slot) ? engine::cur_seq(slot, s) : -1;
}

uint64_t live_count(const Family &f, int32_t q, int32_t s) noexcept {
    Slot slot;
    return open_session(f, q, s, &slot) ? engine::live_count(slot, s) : 0;
}

int32_t set_sharable(const Family &f, int32_t q, int32_t flag) noexcept {
    Slot slot;
    return open(f, q, &slot) ? engine::set_sharable(slot, flag) : -1;
}

int32_t is_sharable(const Family &f, int32_t q) noexcept {
    Slot slot;
    return open(f, q, &slot) ? engine::is_sharable(slot) : -1;
}

int32_t begin_look_back(const Family &f, int32_t q, int32_t s, int32_t *node_num,
                        int32_t *quarter_num) noexcept {
    Slot slot;
    if (node_num == nullptr || quarter_num == nullptr || !open_session(f, q, s, &slot)) return -1;
    // A second begin for a session already inside a look-back would wait for itself.
    if (ld(slot.hdr->sessions[s].looking_back) != 0) return -1;
    const int32_t result = engine::begin_look_back(slot, s, node_num, quarter_num);
    f.open_look_backs[q].fetch_add(1, std::memory_order_relaxed);
    return result;
}

int32_t look_back(const Family &f, int32_t q, int32_t s, uint64_t *obj) noexcept {
    Slot slot;
    if (obj == nullptr || !open_session(f, q, s, &slot)) {
        no_handle(obj);
        return -1;
    }
    return engine::look_back(slot, s, obj);
}

int32_t end_look_back(const Family &f, int32_t q, int32_t s) noexcept {
    Slot slot;
    if (!session_id(s) || !reach(f, q, &slot)) return -1;
    // The queue may have been freed, and allocated again, meanwhile: the lock that begin took
    // is released all the same. Without a look-back of the queue open in this process there is
    // no such lock, and none is released that another holder took; the session's mark is
    // cleared either way.
    std::atomic<int32_t> &open = f.open_look_backs[q];
    for (int32_t n = open.load(std::memory_order_relaxed); n > 0;)
        if (open.compare_exchange_weak(n, n - 1, std::memory_order_relaxed))
            return engine::end_look_back(slot, s);
    engine::st(slot.hdr->sessions[s].looking_back, 0);
    return 0;
}

uint64_t *resize(const Family &f, int32_t q, int32_t new_window, int32_t *out_count) noexcept {
    Slot slot;
    // A null out_count is the engine's to judge: the ways out that store no count keep it.
    if (new_window < 0 || !open(f, q, &slot)) return nullptr;
    return engine::resize(slot, new_window, out_count);
}

uint64_t *clean(const Family &f, int32_t q, int32_t *out_count) noexcept {
    Slot slot;
    if (out_count == nullptr || !open(f, q, &slot)) return nullptr;
    return engine::clean(slot, out_count);
}

int32_t size_by_time(const Family &f, int32_t q, int32_t duration) noexcept {
    Slot slot;
    return open(f, q, &slot) ? engine::size_by_time(slot, duration) : 0;
}

int32_t queue_status(const Family &f, int32_t q, QueueStatus *status) noexcept {
    Slot slot;
    if (status == nullptr || !open(f, q, &slot)) return -1;
    return engine::queue_status(slot, status);
}

int32_t change_queue_size(const Family &f, int32_t q, uint32_t size) noexcept {
    Slot slot;
    if (!open(f, q, &slot)) return -1;
    const uint32_t m = size >> 5;
    if (m == 0 || m > static_cast<uint32_t>(slot.binding->max_nodes)) return -1;
    return engine::change_node_count(slot, static_cast<int32_t>(m));
}

void dump_into(const Family &f, int32_t q, char *buf, int32_t len) noexcept {
    Slot slot;
    // A length below 1 appends nothing, so the buffer is never used: the dump runs as with
    // any other buffer that no line fits.
    if ((buf == nullptr && len > 0) || !reach(f, q, &slot)) return;
    engine::dump_into(slot, buf, len);
}

void dump_to_stdout(const Family &f, int32_t q) noexcept {
    Slot slot;
    if (!reach(f, q, &slot)) return;
    engine::dump_to_stdout(slot);
}

}  // namespace brenn::api
