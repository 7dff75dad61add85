// brenn.hpp - C++20 owners over the C interface of brenn.h (header only, nothing to link
// beyond libbrenn.so.0).
//
// What it gives:
//   brenn::LocalQueue / brenn::SharedQueue      move-only owner of one queue id; frees it when
//                                               destroyed. Both are brenn::Queue<Family>.
//   brenn::Session<Family>                      move-only owner of one peek session; destroys
//                                               it when destroyed.
//   brenn::LookBack<Family>                     guard of an open look-back; ends it (and so
//                                               releases the queue's lock) when destroyed,
//                                               also on an early return or an exception.
//   brenn::HandleArray                          the handle array of resize and clean, freed
//                                               with free() when destroyed; span access.
//   brenn::SharedSystem                         the process's attachment to the shared family
//                                               (create + destroy, or attach + detach).
//   brenn::Timestamp                            node timestamps as std::chrono time points:
//                                               milliseconds since the epoch.
// The two families share one template each (Queue, Session, LookBack) parameterised by a
// traits struct, LocalFamily or SharedFamily, that names the family's C functions.
//
// Error model. Every call that can fail returns brenn::Result<T> ([[nodiscard]]; Result<void>
// when there is no value), which holds either the value or a brenn::Error: an Errc code, the
// raw result of the C call, and the family and operation it came from. Every negative result
// and every refusal the C interface reports (-1, the lifecycle results of brenn.h, the
// data-available codes, a NULL handle array without a count, a peek that took no node) becomes
// an Error; none is dropped. The layer throws nothing (it works with -fno-exceptions): test a
// result before taking its value (`if (r)`, has_value(), value_or()); value() or error() on the
// wrong kind of result is a programming error that prints the result and aborts. Destructors
// cannot report: there the owners release best-effort; call close() / end() / the
// SharedSystem's close() first to see the outcome.
//
// Lifetimes. A Session must end before its Queue, a LookBack before its Session, and every
// shared owner before the SharedSystem that attached the process: an owner holds only ids, and
// a slot freed and allocated again belongs to someone else. A LookBack holds the queue's lock:
// end it on the thread that opened it, and call no locking operation of the same queue while
// it is open (see brenn.h, "Locking").
#ifndef BRENN_HPP
#define BRENN_HPP

#if __cplusplus < 202002L
#error "brenn.hpp needs C++20"
#endif

#include <chrono>
#include <concepts>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "brenn.h"

namespace brenn {

/** The "no buffer" handle. */
inline constexpr uint64_t kNoHandle = BRENN_NO_HANDLE;

// ---------------------------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------------------------

enum class Errc : int32_t {
    refused = 1,           // the call was refused: an id outside the table, a free slot, a bad
                           // session, a process not attached (shared), or a plain queue where a
                           // dynamic one is needed
    queue_alloc_failed,    // no free slot, a size that gives no node, no memory, not attached
    session_alloc_failed,  // no free session slot below max_sessions, or the queue refused
    nothing_taken,         // a peek took no node: refused, or nothing newer for a session without
                           // a position on a dynamic queue
    no_position,           // a look-back step of a session without a position, or refused
    out_of_memory,         // resize/clean could not get the handle array; nothing changed
    invalid_argument,      // refused by this layer before calling (a count too large for bytes)
    bad_id,                // data available: code -1
    free_slot,             // data available: code -2
    session_not_in_use,    // data available: code -3
    inside_look_back,      // data available: code -4
    // The shared lifecycle (gsq_c_create, _init, _uninit, _destroy, _reset): brenn.h's
    // BrennLifecycleResult, one to one.
    not_attached,
    no_segment,
    attach_failed,
    set_not_found,
    segment_create_failed,
    set_create_failed,
    detach_failed,
    segment_removal_failed,
    set_removal_failed,
};

constexpr const char *describe(Errc code) noexcept {
    switch (code) {
        case Errc::refused:
            return "refused";
        case Errc::queue_alloc_failed:
            return "no queue allocated";
        case Errc::session_alloc_failed:
            return "no session created";
        case Errc::nothing_taken:
            return "no node taken";
        case Errc::no_position:
            return "no position to step back from";
        case Errc::out_of_memory:
            return "out of memory";
        case Errc::invalid_argument:
            return "invalid argument";
        case Errc::bad_id:
            return "bad queue or session id";
        case Errc::free_slot:
            return "free slot";
        case Errc::session_not_in_use:
            return "session not in use";
        case Errc::inside_look_back:
            return "session inside a look-back";
        case Errc::not_attached:
            return "not attached";
        case Errc::no_segment:
            return "no shared segment";
        case Errc::attach_failed:
            return "attach failed";
        case Errc::set_not_found:
            return "semaphore set not found";
        case Errc::segment_create_failed:
            return "segment could not be created";
        case Errc::set_create_failed:
            return "semaphore set could not be created";
        case Errc::detach_failed:
            return "detach failed";
        case Errc::segment_removal_failed:
            return "segment removal failed";
        case Errc::set_removal_failed:
            return "semaphore set removal failed";
    }
    return "unknown error";
}

struct Error {
    Errc code;
    int32_t result;         // what the C call returned (-1 when it reports through a pointer)
    const char *family;     // "local", "shared"
    const char *operation;  // "alloc", "write", "peek", ...

    /** "local alloc: no queue allocated (-1)". */
    std::string message() const {
        return std::string(family) + " " + operation + ": " + describe(code) + " (" +
               std::to_string(result) + ")";
    }
};

namespace detail {
[[noreturn]] inline void misuse(const char *what, const std::string &text) noexcept {
    std::fprintf(stderr, "brenn: %s: %s\n", what, text.c_str());
    std::abort();
}
}  // namespace detail

/** Either a T or an Error. */
template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, error) {}

    bool has_value() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T &value() & { return *checked(); }
    const T &value() const & { return *checked(); }
    T &&value() && { return std::move(*checked()); }
    T *operator->() { return checked(); }
    const T *operator->() const { return checked(); }
    T &operator*() & { return *checked(); }
    const T &operator*() const & { return *checked(); }
    template <class U>
    T value_or(U &&fallback) && {
        return has_value() ? std::move(*std::get_if<0>(&v_)) : T(std::forward<U>(fallback));
    }
    template <class U>
    T value_or(U &&fallback) const & {
        return has_value() ? *std::get_if<0>(&v_) : T(std::forward<U>(fallback));
    }
    const Error &error() const {
        if (has_value()) detail::misuse("error() of a result that holds a value", "");
        return *std::get_if<1>(&v_);
    }

  private:
    T *checked() {
        if (!has_value()) detail::misuse("value() of a failed result", error().message());
        return std::get_if<0>(&v_);
    }
    const T *checked() const {
        if (!has_value()) detail::misuse("value() of a failed result", error().message());
        return std::get_if<0>(&v_);
    }
    std::variant<T, Error> v_;
};

/** Success or an Error. */
template <>
class [[nodiscard]] Result<void> {
  public:
    Result() noexcept = default;
    Result(Error error) : error_(error), failed_(true) {}

    bool has_value() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return !failed_; }
    void value() const {
        if (failed_) detail::misuse("value() of a failed result", error_.message());
    }
    const Error &error() const {
        if (!failed_) detail::misuse("error() of a result that holds a value", "");
        return error_;
    }

  private:
    Error error_{};
    bool failed_ = false;
};

// ---------------------------------------------------------------------------------------------
// Timestamps: milliseconds since the epoch, as the queues' size-by-time estimate reads them.
// ---------------------------------------------------------------------------------------------

using Timestamp = std::chrono::sys_time<std::chrono::milliseconds>;

constexpr int64_t to_ts(Timestamp t) noexcept {
    return t.time_since_epoch().count();
}
/** A timestamp kept as a duration since some zero of the producer's choosing. */
constexpr int64_t to_ts(std::chrono::milliseconds since_zero) noexcept {
    return since_zero.count();
}
constexpr Timestamp from_ts(int64_t ts) noexcept {
    return Timestamp{std::chrono::milliseconds{ts}};
}
inline Timestamp now() noexcept {
    return std::chrono::time_point_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now());
}

// ---------------------------------------------------------------------------------------------
// Handle arrays of resize and clean
// ---------------------------------------------------------------------------------------------

struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};

/** Handles given back by resize or clean, oldest first; owns the library's malloc'd array. */
class HandleArray {
  public:
    HandleArray() noexcept = default;
    /** Takes ownership of `data` (from malloc, may be null when `count` is 0). */
    HandleArray(uint64_t *data, std::size_t count) noexcept : data_(data), size_(count) {}
    HandleArray(HandleArray &&o) noexcept
        : data_(std::move(o.data_)), size_(std::exchange(o.size_, 0)) {}
    HandleArray &operator=(HandleArray &&o) noexcept {
        data_ = std::move(o.data_);
        size_ = std::exchange(o.size_, 0);
        return *this;
    }

    std::span<const uint64_t> span() const noexcept { return {data_.get(), size_}; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    uint64_t operator[](std::size_t i) const noexcept { return data_[i]; }
    const uint64_t *begin() const noexcept { return data_.get(); }
    const uint64_t *end() const noexcept { return data_.get() + size_; }
    /** Gives the array up: the caller frees it with free(). */
    uint64_t *release() noexcept {
        size_ = 0;
        return data_.release();
    }

  private:
    std::unique_ptr<uint64_t[], FreeDeleter> data_;
    std::size_t size_ = 0;
};

// ---------------------------------------------------------------------------------------------
// The families: the C functions of each, named alike so that one template serves both.
// ---------------------------------------------------------------------------------------------

struct LocalFamily {
    static constexpr const char *name = "local";
    static constexpr int32_t queue_count = BRENN_LOCAL_QUEUES;
    static constexpr auto alloc_queue = &lsq_c_alloc_queue;
    static constexpr auto dynamic_alloc = &lsq_c_dynamic_alloc;
    static constexpr auto free_queue = &lsq_c_free_queue;
    static constexpr auto node_num = &lsq_c_get_queue_node_num;
    static constexpr auto lock = &lsq_lock;
    static constexpr auto unlock = &lsq_unlock;
    static constexpr auto write = &lsq_c_write;
    static constexpr auto read = &lsq_c_read;
    static constexpr auto look = &lsq_look;
    static constexpr auto ready_to_read = &lsq_c_is_ready_to_read;
    static constexpr auto create_session = &lsq_c_create_session;
    static constexpr auto destroy_session = &lsq_c_destroy_session;
    static constexpr auto seek = &lsq_seek;
    static constexpr auto reset_peek = &lsq_c_reset_peek;
    static constexpr auto peek = &lsq_c_peek;
    static constexpr auto data_available = &lsq_c_is_data_available;
    static constexpr auto cur_seq = &lsq_c_get_cur_seq;
    static constexpr auto live_count = &lsq_c_get_cur_live_count;
    static constexpr auto set_sharable = &VSQ_SET_SHARABLE;
    static constexpr auto is_sharable = &VSQ_IS_SHARABLE;
    static constexpr auto begin_look_back = &lsq_c_begin_look_back;
    static constexpr auto look_back = &lsq_c_look_back;
    static constexpr auto end_look_back = &lsq_c_end_look_back;
    static constexpr auto resize = &lsq_c_resize;
    static constexpr auto clean = &lsq_c_clean;
    static constexpr auto size_by_time = &lsq_c_get_q_size_by_time;
    static constexpr auto queue_status = &lsq_c_get_queue_status;
    static constexpr auto change_queue_size = &lsq_c_change_queue_size;
};

struct SharedFamily {
    static constexpr const char *name = "shared";
    static constexpr int32_t queue_count = BRENN_SHARED_QUEUES;
    static constexpr auto alloc_queue = &gsq_c_alloc_queue;
    static constexpr auto dynamic_alloc = &gsq_c_dynamic_alloc;
    static constexpr auto free_queue = &gsq_c_free_queue;
    static constexpr auto node_num = &VSQ_GET_Q_NODE_NUM;
    static constexpr auto lock = &gsq_lock;
    static constexpr auto unlock = &gsq_unlock;
    static constexpr auto write = &gsq_c_write;
    static constexpr auto read = &gsq_read;
    static constexpr auto look = &gsq_look;
    static constexpr auto ready_to_read = &VSQ_IS_READY_TO_READ;
    static constexpr auto create_session = &gsq_c_create_session;
    static constexpr auto destroy_session = &gsq_c_destroy_session;
    static constexpr auto seek = &gsq_c_seek;
    static constexpr auto reset_peek = &gsq_c_reset_peek;
    static constexpr auto peek = &gsq_c_peek;
    static constexpr auto data_available = &gsq_c_is_data_available;
    static constexpr auto cur_seq = &gsq_c_get_cur_seq;
    static constexpr auto live_count = &gsq_c_get_cur_live_count;
    static constexpr auto set_sharable = &gsq_c_set_sharable;
    static constexpr auto is_sharable = &gsq_c_is_sharable;
    static constexpr auto begin_look_back = &VSQ_BEGIN_LOOK_BACK;
    static constexpr auto look_back = &VSQ_LOOK_BACK;
    static constexpr auto end_look_back = &VSQ_END_LOOK_BACK;
    static constexpr auto resize = &gsq_c_resize;
    static constexpr auto clean = &gsq_c_clean;
    static constexpr auto size_by_time = &gsq_c_get_q_size_by_time;
    static constexpr auto queue_status = &gsq_c_get_queue_status;
    static constexpr auto change_queue_size = &gsq_c_change_queue_size;
};

/** What a family's traits must name (a few of them, enough to catch a wrong type). */
template <class F>
concept QueueFamily = requires(int32_t q, uint64_t *obj, int32_t *count) {
    { F::name } -> std::convertible_to<const char *>;
    { F::alloc_queue(0u, 0, 0, 0, 0) } -> std::same_as<int32_t>;
    { F::write(q, 0, obj, 0) } -> std::same_as<int32_t>;
    { F::resize(q, 0, count) } -> std::same_as<uint64_t *>;
    { F::end_look_back(q, 0) } -> std::same_as<int32_t>;
};

// ---------------------------------------------------------------------------------------------
// Queues, sessions, look-backs
// ---------------------------------------------------------------------------------------------

/** Allocation arguments beside the size. */
struct QueueOptions {
    int32_t max_sessions = BRENN_MAX_SESSIONS;
    int32_t reserve = 0;    // nodes the writer keeps free ahead of the main reader
    bool no_block = false;  // a writer that overwrites rather than waits
    bool sharable = false;  // peeks leave the handle in the node
};

struct Peeked {
    uint64_t handle;  // kNoHandle when the node was emptied before the peek took it
    bool gap;         // nodes were skipped before this one
};

struct LookStep {
    uint64_t handle;  // kNoHandle for an empty node
    bool last;        // the step took the tail node or found an empty one: no older node
};

template <QueueFamily F>
class Session;
template <QueueFamily F>
class LookBack;

namespace detail {
template <class F>
constexpr Error error(Errc code, int32_t result, const char *operation) noexcept {
    return Error{code, result, F::name, operation};
}
template <class F>
Result<void> status_of(int32_t result, const char *operation) {
    if (result < 0) return error<F>(Errc::refused, result, operation);
    return {};
}
/** The array protocol of resize and clean; count starts at -1 to tell "untouched". */
template <class F>
Result<HandleArray> handle_array(uint64_t *data, int32_t count, const char *operation) {
    if (data != nullptr) return HandleArray(data, count > 0 ? std::size_t(count) : 0);
    if (count < 0) return error<F>(Errc::refused, -1, operation);
    if (count > 0) return error<F>(Errc::out_of_memory, -1, operation);
    return HandleArray();
}
inline int32_t clamp_ms(std::chrono::milliseconds d) noexcept {
    constexpr int64_t top = std::numeric_limits<int32_t>::max();
    return d.count() < 0 ? 0 : int32_t(d.count() > top ? top : d.count());
}
/** nodes x 32 bytes, or -1 when it does not fit the 32-bit size; 0 for nodes below 1. */
inline int64_t node_bytes(int32_t nodes) noexcept {
    if (nodes < 1) return 0;
    const int64_t bytes = int64_t{nodes} * BRENN_NODE_SIZE;
    return bytes > int64_t{std::numeric_limits<uint32_t>::max()} ? -1 : bytes;
}
}  // namespace detail

/** Owner of one queue of family F; frees it when destroyed. */
template <QueueFamily F>
class Queue {
  public:
    using family = F;

    /** Owns nothing. */
    Queue() noexcept = default;
    /** A plain ring of `nodes` nodes. */
    static Result<Queue> plain(int32_t nodes, const QueueOptions &o = {}) {
        const int64_t bytes = detail::node_bytes(nodes);
        if (bytes < 0) return detail::error<F>(Errc::invalid_argument, -1, "alloc");
        const int32_t q = F::alloc_queue(uint32_t(bytes), o.max_sessions, o.reserve,
                                         o.no_block ? 1 : 0, o.sharable ? 1 : 0);
        if (q < 0) return detail::error<F>(Errc::queue_alloc_failed, q, "alloc");
        return Queue(q);
    }
    /** A dynamic queue keeping a window of min(window, node_count) of node_count + 1 nodes. */
    static Result<Queue> dynamic(int32_t node_count, int32_t window, const QueueOptions &o = {}) {
        const int32_t q = F::dynamic_alloc(node_count, window, o.max_sessions, o.reserve,
                                           o.no_block ? 1 : 0, o.sharable ? 1 : 0);
        if (q < 0) return detail::error<F>(Errc::queue_alloc_failed, q, "dynamic alloc");
        return Queue(q);
    }
    /** Takes over a queue id allocated elsewhere (it will be freed by this owner). */
    static Queue adopt(int32_t id) noexcept { return Queue(id); }

    Queue(const Queue &) = delete;
    Queue &operator=(const Queue &) = delete;
    Queue(Queue &&other) noexcept : id_(std::exchange(other.id_, -1)) {}
    Queue &operator=(Queue &&other) noexcept {
        if (this != &other) {
            reset();
            id_ = std::exchange(other.id_, -1);
        }
        return *this;
    }
    ~Queue() { reset(); }

    int32_t id() const noexcept { return id_; }
    explicit operator bool() const noexcept { return id_ >= 0; }
    /** Gives the id up without freeing it. */
    int32_t release() noexcept { return std::exchange(id_, -1); }
    /** Frees the queue now (handles still in its nodes are not given back). */
    void reset() noexcept {
        if (id_ >= 0) F::free_queue(std::exchange(id_, -1));
    }

    /** Writes `handle`; gives back the handle that left the queue (kNoHandle for none). */
    Result<uint64_t> write(uint64_t handle, Timestamp ts) { return write_ts(handle, to_ts(ts)); }
    Result<uint64_t> write(uint64_t handle, std::chrono::milliseconds since_zero) {
        return write_ts(handle, to_ts(since_zero));
    }
    /** Main reader: waits for the next node and takes its handle. */
    Result<uint64_t> read() {
        uint64_t obj = kNoHandle;
        const int32_t r = F::read(id_, &obj);
        if (r < 0) return detail::error<F>(Errc::refused, r, "read");
        return obj;
    }
    /** The handle `back` nodes before the one read last. */
    Result<uint64_t> look(int32_t back) const {
        uint64_t obj = kNoHandle;
        const int32_t r = F::look(id_, back, &obj);
        if (r < 0) return detail::error<F>(Errc::refused, r, "look");
        return obj;
    }
    Result<bool> ready_to_read() const {
        const int32_t r = F::ready_to_read(id_);
        if (r < 0) return detail::error<F>(Errc::refused, r, "ready to read");
        return r == 1;
    }
    Result<int32_t> node_num() const {
        const int32_t r = F::node_num(id_);
        if (r < 0) return detail::error<F>(Errc::refused, r, "node count");
        return r;
    }
    Result<QueueStatus> status() const {
        QueueStatus st{};
        const int32_t r = F::queue_status(id_, &st);
        if (r < 0) return detail::error<F>(Errc::refused, r, "status");
        return st;
    }
    Result<void> set_sharable(bool sharable) {
        return detail::status_of<F>(F::set_sharable(id_, sharable ? 1 : 0), "set sharable");
    }
    Result<bool> sharable() const {
        const int32_t r = F::is_sharable(id_);
        if (r < 0) return detail::error<F>(Errc::refused, r, "sharable");
        return r != 0;
    }
    /** Nodes that `span` of time takes at the current rate; 0 when there is no estimate. */
    int32_t size_by_time(std::chrono::milliseconds span) const {
        return F::size_by_time(id_, detail::clamp_ms(span));
    }
    /** Sets a dynamic queue's window; a shrink gives the dropped handles back. */
    Result<HandleArray> resize(int32_t new_window) {
        int32_t count = -1;
        uint64_t *data = F::resize(id_, new_window, &count);
        return detail::handle_array<F>(data, count, "resize");
    }
    /** Empties a dynamic queue's window; gives its handles back. */
    Result<HandleArray> clean() {
        int32_t count = -1;
        uint64_t *data = F::clean(id_, &count);
        return detail::handle_array<F>(data, count, "clean");
    }
    /** Gives the running queue `nodes` nodes. */
    Result<void> change_node_count(int32_t nodes) {
        const int64_t bytes = detail::node_bytes(nodes);
        if (bytes < 0) return detail::error<F>(Errc::invalid_argument, -1, "change node count");
        return detail::status_of<F>(F::change_queue_size(id_, uint32_t(bytes)),
                                    "change node count");
    }
    Result<Session<F>> create_session() const;

  private:
    explicit Queue(int32_t id) noexcept : id_(id) {}
    Result<uint64_t> write_ts(uint64_t handle, int64_t ts) {
        uint64_t back = kNoHandle;
        const int32_t r = F::write(id_, handle, &back, ts);
        if (r < 0) return detail::error<F>(Errc::refused, r, "write");
        return back;
    }
    int32_t id_ = -1;
};

/** Owner of one peek session; destroys it when destroyed. */
template <QueueFamily F>
class Session {
  public:
    Session() noexcept = default;
    static Result<Session> create(const Queue<F> &queue) {
        const int32_t s = F::create_session(queue.id());
        if (s < 0) return detail::error<F>(Errc::session_alloc_failed, s, "create session");
        return Session(queue.id(), s);
    }
    /** Takes over session `s` of queue `q`, created elsewhere. */
    static Session adopt(int32_t q, int32_t s) noexcept { return Session(q, s); }

    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    Session(Session &&o) noexcept : q_(std::exchange(o.q_, -1)), s_(std::exchange(o.s_, -1)) {}
    Session &operator=(Session &&o) noexcept {
        if (this != &o) {
            (void)close();  // a destructor's release: best-effort
            q_ = std::exchange(o.q_, -1);
            s_ = std::exchange(o.s_, -1);
        }
        return *this;
    }
    ~Session() { (void)close(); }

    int32_t queue_id() const noexcept { return q_; }
    int32_t id() const noexcept { return s_; }
    explicit operator bool() const noexcept { return s_ >= 0; }
    /** Destroys the session now; an empty owner has nothing to destroy. */
    Result<void> close() noexcept {
        if (s_ < 0) return {};
        const int32_t q = std::exchange(q_, -1), s = std::exchange(s_, -1);
        const int32_t r = F::destroy_session(q, s);
        if (r < 0) return detail::error<F>(Errc::refused, r, "destroy session");
        return {};
    }

    /** Waits for a node newer than the session's last one and takes it. */
    Result<Peeked> peek() {
        uint64_t obj = kNoHandle;
        int32_t gap = -1;  // left untouched when no node is taken
        const int32_t r = F::peek(q_, s_, &obj, &gap);
        if (r < 0) return detail::error<F>(Errc::refused, r, "peek");
        if (gap < 0) return detail::error<F>(Errc::nothing_taken, r, "peek");
        return Peeked{obj, gap != 0};
    }
    /** Nodes ahead of the session (0 when none), without the lock. The C call answers 0 and
     *  puts a refusal's code (-1 .. -4) where the count goes. */
    Result<int32_t> available() const {
        int32_t count = 0;
        const int32_t r = F::data_available(q_, s_, &count);
        if (r == 1) return count;
        switch (count) {
            case 0:
                return r == 0 ? Result<int32_t>(0)
                              : detail::error<F>(Errc::refused, r, "data available");
            case -1:
                return detail::error<F>(Errc::bad_id, count, "data available");
            case -2:
                return detail::error<F>(Errc::free_slot, count, "data available");
            case -3:
                return detail::error<F>(Errc::session_not_in_use, count, "data available");
            case -4:
                return detail::error<F>(Errc::inside_look_back, count, "data available");
            default:
                return detail::error<F>(Errc::refused, count, "data available");
        }
    }
    /** Skips everything written so far. */
    void seek() { F::seek(q_, s_); }
    Result<void> reset_peek() { return detail::status_of<F>(F::reset_peek(q_, s_), "reset peek"); }
    int64_t cur_seq() const { return F::cur_seq(q_, s_); }
    uint64_t live_count() const { return F::live_count(q_, s_); }

    /** Opens a look-back: the queue's lock is held until the guard ends. */
    Result<LookBack<F>> look_back();

  private:
    Session(int32_t q, int32_t s) noexcept : q_(q), s_(s) {}
    int32_t q_ = -1, s_ = -1;
};

/** An open look-back; ending it releases the queue's lock. */
template <QueueFamily F>
class LookBack {
  public:
    LookBack() noexcept = default;
    LookBack(const LookBack &) = delete;
    LookBack &operator=(const LookBack &) = delete;
    LookBack(LookBack &&o) noexcept
        : q_(std::exchange(o.q_, -1)),
          s_(std::exchange(o.s_, -1)),
          node_num_(o.node_num_),
          quarter_num_(o.quarter_num_) {}
    LookBack &operator=(LookBack &&o) noexcept {
        if (this != &o) {
            (void)end();
            q_ = std::exchange(o.q_, -1);
            s_ = std::exchange(o.s_, -1);
            node_num_ = o.node_num_;
            quarter_num_ = o.quarter_num_;
        }
        return *this;
    }
    ~LookBack() { (void)end(); }

    bool active() const noexcept { return s_ >= 0; }
    explicit operator bool() const noexcept { return active(); }
    int32_t node_num() const noexcept { return node_num_; }
    int32_t quarter_num() const noexcept { return quarter_num_; }

    /** One step back from the newest node. */
    Result<LookStep> step() {
        uint64_t obj = kNoHandle;
        const int32_t r = F::look_back(q_, s_, &obj);
        if (r < 0) return detail::error<F>(Errc::no_position, r, "look back");
        return LookStep{obj, r == 1};
    }
    /** Ends the look-back now; an ended guard has nothing to end. */
    Result<void> end() noexcept {
        if (s_ < 0) return {};
        const int32_t q = std::exchange(q_, -1), s = std::exchange(s_, -1);
        return detail::status_of<F>(F::end_look_back(q, s), "end look back");
    }

  private:
    friend class Session<F>;
    LookBack(int32_t q, int32_t s, int32_t node_num, int32_t quarter_num) noexcept
        : q_(q), s_(s), node_num_(node_num), quarter_num_(quarter_num) {}
    int32_t q_ = -1, s_ = -1;
    int32_t node_num_ = 0, quarter_num_ = 0;
};

template <QueueFamily F>
Result<Session<F>> Queue<F>::create_session() const {
    return Session<F>::create(*this);
}

template <QueueFamily F>
Result<LookBack<F>> Session<F>::look_back() {
    int32_t node_num = 0, quarter_num = 0;
    const int32_t r = F::begin_look_back(q_, s_, &node_num, &quarter_num);
    if (r < 0) return detail::error<F>(Errc::refused, r, "begin look back");
    return LookBack<F>(q_, s_, node_num, quarter_num);
}

using LocalQueue = Queue<LocalFamily>;
using SharedQueue = Queue<SharedFamily>;
using LocalSession = Session<LocalFamily>;
using SharedSession = Session<SharedFamily>;

// ---------------------------------------------------------------------------------------------
// The shared system
// ---------------------------------------------------------------------------------------------

/** This process's part in the shared family. create(): makes segment and sets; closing
 *  removes them (gsq_c_destroy). attach(): attaches a running system; closing detaches
 *  (gsq_c_uninit). Lifecycle calls are made from one thread while no shared call runs. A
 *  create() that fails because the system runs already leaves the process's record of the
 *  sets as gsq_c_create does (an attached process should not call it a second time). */
class SharedSystem {
  public:
    enum class Role { none, creator, attached };

    SharedSystem() noexcept = default;
    static Result<SharedSystem> create() {
        const int32_t r = gsq_c_create();
        if (r < 0) return error(r, "create");
        return SharedSystem(Role::creator);
    }
    static Result<SharedSystem> attach() {
        const int32_t r = gsq_c_init();
        if (r < 0) return error(r, "attach");
        return SharedSystem(Role::attached);
    }

    SharedSystem(const SharedSystem &) = delete;
    SharedSystem &operator=(const SharedSystem &) = delete;
    SharedSystem(SharedSystem &&o) noexcept : role_(std::exchange(o.role_, Role::none)) {}
    SharedSystem &operator=(SharedSystem &&o) noexcept {
        if (this != &o) {
            (void)close();
            role_ = std::exchange(o.role_, Role::none);
        }
        return *this;
    }
    ~SharedSystem() { (void)close(); }

    Role role() const noexcept { return role_; }
    explicit operator bool() const noexcept { return role_ != Role::none; }
    /** Frees every shared queue and releases stuck queue locks. */
    Result<void> reset() {
        const int32_t r = gsq_c_reset();
        if (r < 0) return error(r, "reset");
        return {};
    }
    /** Destroys (creator) or detaches (attached) now. */
    Result<void> close() noexcept {
        const Role role = std::exchange(role_, Role::none);
        if (role == Role::none) return {};
        const int32_t r = role == Role::creator ? gsq_c_destroy() : gsq_c_uninit();
        if (r < 0) return error(r, role == Role::creator ? "destroy" : "detach");
        return {};
    }
    /** Gives up the role: the system stays as it is when this owner goes. */
    void release() noexcept { role_ = Role::none; }

  private:
    explicit SharedSystem(Role role) noexcept : role_(role) {}
    static Error error(int32_t r, const char *operation) noexcept {
        switch (r) {
            case BRENN_NOT_ATTACHED:
                return Error{Errc::not_attached, r, "shared", operation};
            case BRENN_NO_SEGMENT:
                return Error{Errc::no_segment, r, "shared", operation};
            case BRENN_ATTACH_FAILED:
                return Error{Errc::attach_failed, r, "shared", operation};
            case BRENN_SET_NOT_FOUND:
                return Error{Errc::set_not_found, r, "shared", operation};
            case BRENN_SEGMENT_CREATE_FAILED:
                return Error{Errc::segment_create_failed, r, "shared", operation};
            case BRENN_SET_CREATE_FAILED:
                return Error{Errc::set_create_failed, r, "shared", operation};
            case BRENN_DETACH_FAILED:
                return Error{Errc::detach_failed, r, "shared", operation};
            case BRENN_SEGMENT_REMOVAL_FAILED:
                return Error{Errc::segment_removal_failed, r, "shared", operation};
            case BRENN_SET_REMOVAL_FAILED:
                return Error{Errc::set_removal_failed, r, "shared", operation};
        }
        return Error{Errc::refused, r, "shared", operation};
    }
    Role role_ = Role::none;
};

}  // namespace brenn

#endif  // BRENN_HPP
