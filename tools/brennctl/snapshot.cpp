// Reading the shared system without touching it: System V calls for the segment (attached with
// SHM_RDONLY), relaxed loads for every field, vos_is_lock for the locks.
#include "tools/brennctl/snapshot.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

#include <fmt/format.h>

#include "engine/atomic_field.h"
#include "engine/records.h"
#include "support/olk.h"

namespace brennctl {

using brenn::engine::ld;
namespace sh = brenn::shared;
namespace en = brenn::engine;

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool system_present() {
    for (int32_t key = sh::kSegmentKey; key < sh::kFirstSetKey + sh::kSetCount; ++key) {
        if (shmget(key, 0, 0) >= 0 || semget(key, 0, 0) >= 0) return true;
        if (errno == EACCES) return true;
    }
    return false;
}

Locks::Locks() {
    holder_ = reinterpret_cast<int32_t (*)(int32_t, int32_t)>(
        dlsym(RTLD_DEFAULT, "olk_semaphore_holder"));
    refresh();
}

void Locks::refresh() {
    for (int32_t s = 0; s < sh::kSetCount; ++s) {
        ids_[s] = vos_get_semaphore(sh::kFirstSetKey + s, sh::kSemaphoresPerSet);
    }
}

bool Locks::any_set() const {
    for (int32_t id : ids_) {
        if (id >= 0) return true;
    }
    return false;
}

std::optional<bool> Locks::held(int32_t q) const {
    const int32_t id = ids_[q / sh::kQueuesPerSet];
    if (id < 0) return std::nullopt;
    const int32_t taken = vos_is_lock(id, q % sh::kQueuesPerSet);
    if (taken < 0) return std::nullopt;
    return taken != 0;
}

pid_t Locks::holder(int32_t q) const {
    const int32_t id = ids_[q / sh::kQueuesPerSet];
    if (holder_ == nullptr || id < 0) return 0;
    const int32_t pid = holder_(id, q % sh::kQueuesPerSet);
    return pid > 0 ? pid : 0;
}

Liveness liveness(pid_t pid) {
    if (pid <= 0) return Liveness::kUnknown;
    if (kill(pid, 0) != 0) {
        if (errno == ESRCH) return Liveness::kDead;
        if (errno != EPERM) return Liveness::kUnknown;
    }
    // A killed process that nobody has reaped yet still answers kill(pid, 0); it will never
    // release anything again.
    std::ifstream stat(fmt::format("/proc/{}/stat", pid));
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t paren = text.rfind(')');
    if (paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'Z') {
        return Liveness::kZombie;
    }
    return Liveness::kAlive;
}

const char *liveness_name(Liveness l) {
    static const char *const names[] = {"alive", "dead", "zombie", "unknown"};
    return names[static_cast<int>(l)];
}

namespace {

[[noreturn]] void fail_errno(const char *what) {
    const int e = errno;
    if (e == EACCES) {
        throw Failure(kDenied, fmt::format("{}: permission denied on the shared segment (key "
                                           "{:#x}): run as its owner or a member of its group",
                                           what, sh::kSegmentKey));
    }
    throw Failure(kFailed, fmt::format("{}: {}", what, std::strerror(e)));
}

}  // namespace

Segment::Segment() {
    id_ = shmget(sh::kSegmentKey, 0, 0);
    if (id_ < 0) {
        if (errno == ENOENT) {
            throw Failure(kNotUp, fmt::format("the shared system is not up: no segment with key "
                                              "{:#x} (start it with `brennctl create`)",
                                              sh::kSegmentKey));
        }
        fail_errno("shmget");
    }
    shmid_ds ds{};
    if (shmctl(id_, IPC_STAT, &ds) != 0) fail_errno("shmctl");
    if (ds.shm_segsz < sh::kSegmentSize) {
        throw Failure(kFailed, fmt::format("the segment with key {:#x} has {} bytes, not {}: it "
                                           "is no shared queue table",
                                           sh::kSegmentKey, ds.shm_segsz, sh::kSegmentSize));
    }
    void *base = shmat(id_, nullptr, SHM_RDONLY);
    if (base == reinterpret_cast<void *>(-1)) fail_errno("shmat");
    base_ = static_cast<const sh::SharedSlot *>(base);
}

Segment::~Segment() {
    if (base_ != nullptr) shmdt(base_);
}

int32_t Segment::attached_processes() const {
    shmid_ds ds{};
    if (shmctl(id_, IPC_STAT, &ds) != 0) return -1;
    return static_cast<int32_t>(ds.shm_nattch);
}

bool Segment::removed() const {
    shmid_ds ds{};
    if (shmctl(id_, IPC_STAT, &ds) != 0) return true;
    return (ds.shm_perm.mode & SHM_DEST) != 0;
}

bool Segment::allocated(int32_t q) const {
    return ld(base_[q].hdr.allocated) != 0;
}

QueueRow Segment::row(int32_t q, const Locks &locks, bool with_sessions) const {
    const en::QueueHeader &h = base_[q].hdr;
    const en::QueueNode *nodes = base_[q].nodes;
    QueueRow r;
    r.queue = q;
    r.allocated = ld(h.allocated) != 0;
    if (!r.allocated) return r;
    r.dynamic = ld(h.dynamic) != 0;
    r.node_num = ld(h.node_num);
    r.max_sessions = ld(h.max_sessions);
    r.write_seq = ld(h.write_seq);
    r.rd = ld(h.rd);
    r.wr = ld(h.wr);
    r.tail = ld(h.tail);
    r.no_block = ld(h.no_block);
    r.sharable = ld(h.sharable);
    r.lock_held = locks.held(q);
    if (r.dynamic && r.node_num > 0) r.window = en::window_size(r.wr, r.tail, r.node_num);
    const int32_t places = std::min(std::max(r.node_num, 0), sh::kNodeAreaPlaces);
    for (int32_t n = 0; n < places; ++n)
        r.unread += ld(nodes[n].state) == en::NODE_WRITTEN ? 1 : 0;
    const int64_t last = static_cast<int64_t>(r.write_seq) - 1;
    for (int32_t i = 0; i < en::kMaxSessions; ++i) {
        const QueueSession &ss = h.sessions[i];
        if (ld(ss.in_use) == 0) continue;
        ++r.sessions_in_use;
        SessionRow s{i, ld(ss.pk), ld(ss.cur_seq), ld(ss.live_count), ld(ss.looking_back) != 0};
        r.looking_back = r.looking_back || s.looking_back;
        if (!with_sessions) continue;
        if (s.cur_seq >= 0) {
            s.lag = std::max<int64_t>(last - s.cur_seq, 0);
        } else {
            for (int32_t n = 0; n < places; ++n) {
                if (ld(nodes[n].state) != en::NODE_EMPTY && ld(nodes[n].seq) >= 0) ++s.lag;
            }
        }
        r.sessions.push_back(s);
    }
    return r;
}

Snapshot Segment::take(const std::vector<int32_t> &queues, const Locks &locks,
                       bool with_sessions) const {
    Snapshot snap;
    snap.at = now_seconds();
    if (queues.empty()) {
        for (int32_t q = 0; q < sh::kQueueCount; ++q) {
            if (allocated(q)) snap.queues.push_back(row(q, locks, with_sessions));
        }
    } else {
        for (int32_t q : queues)
            snap.queues.push_back(row(q, locks, with_sessions));
    }
    return snap;
}

}  // namespace brennctl
