// What brennctl reads from a running shared system: the segment attached read-only, rows of
// queues and sessions read with the same relaxed loads as the library's lock-free readers, and
// the state of the queue locks as the support library reports it. Nothing here takes a lock or
// writes to the segment.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "shared/segment.h"

namespace brennctl {

// Exit codes, documented in `brennctl --help`.
enum Exit : int {
    kOk = 0,
    kFailed = 1,   // a library call answered an error code, or another failure
    kBadArgs = 2,  // the command line could not be parsed
    kNotUp = 3,    // no segment with the family's key: the system is not up
    kDenied = 4,   // permission denied (EACCES) on the segment
    kNoQueue = 5,  // the queue named is not allocated
    kRefused = 6,  // destroy or reset without --yes on a system with allocated queues
};

// Ends the command with an exit code and a message for standard error.
struct Failure : std::runtime_error {
    int code;
    Failure(int c, const std::string &message) : std::runtime_error(message), code(c) {}
};

inline constexpr const char *kTornNote =
    "snapshot taken without the queue locks: rows may be torn under traffic";

struct SessionRow {
    int32_t session = 0;
    int32_t pk = -1;
    int64_t cur_seq = -1;
    uint64_t live_count = 0;
    bool looking_back = false;
    // Nodes the writer has written since the session's last take (more than the ring when it
    // was lapped); for a session that has taken nothing yet, the written nodes in the ring.
    int64_t lag = 0;
};

struct QueueRow {
    int32_t queue = 0;
    bool allocated = false;
    bool dynamic = false;
    int32_t window = 0;  // dynamic queues only
    int32_t node_num = 0;
    int32_t sessions_in_use = 0;
    int32_t max_sessions = 0;
    uint64_t write_seq = 0;
    int32_t rd = -1, wr = -1, tail = 0;
    int32_t no_block = 0, sharable = 0;
    int32_t unread = 0;             // nodes written that the main reader has not read
    std::optional<bool> lock_held;  // empty when the lock's state cannot be read
    bool looking_back = false;      // a session in use is inside a look-back
    std::vector<SessionRow> sessions;
};

struct Snapshot {
    double at = 0;  // seconds on the steady clock
    std::vector<QueueRow> queues;
};

// The five semaphore sets as the support library finds them by key, read through
// vos_is_lock only. The holder of a lock is known where the support library is the project's
// stand-in (olk_semaphore_holder, looked up at run time).
class Locks {
  public:
    Locks();
    void refresh();  // fetches the set ids again (a reset may have renewed a set)
    std::optional<bool> held(int32_t q) const;
    bool holders_known() const { return holder_ != nullptr; }
    pid_t holder(int32_t q) const;  // 0 when unknown
    bool any_set() const;
    bool set_present(int32_t s) const { return ids_[s] >= 0; }

  private:
    int32_t ids_[brenn::shared::kSetCount];
    int32_t (*holder_)(int32_t, int32_t) = nullptr;
};

enum class Liveness { kAlive, kDead, kZombie, kUnknown };
Liveness liveness(pid_t pid);
const char *liveness_name(Liveness l);

// The segment with the family's key, attached read-only for the life of the object.
class Segment {
  public:
    Segment();  // throws Failure(kNotUp / kDenied / kFailed)
    ~Segment();
    Segment(const Segment &) = delete;
    Segment &operator=(const Segment &) = delete;

    bool allocated(int32_t q) const;
    QueueRow row(int32_t q, const Locks &locks, bool with_sessions) const;
    // Rows of the queues named, or of every allocated queue when none is named.
    Snapshot take(const std::vector<int32_t> &queues, const Locks &locks, bool with_sessions) const;
    int32_t attached_processes() const;  // -1 when unknown
    bool removed() const;                // marked for removal by a destroy

  private:
    int id_ = -1;
    const brenn::shared::SharedSlot *base_ = nullptr;
};

// True when a segment or a semaphore set with the family's keys exists.
bool system_present();

double now_seconds();

}  // namespace brennctl
