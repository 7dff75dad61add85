// brennctl metrics: the shared system in the Prometheus text exposition format (version 0.0.4,
// the one node_exporter's textfile collector reads), from the same read-only snapshot as list,
// on standard output or written atomically into a textfile-collector directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tools/brennctl/commands.h"
#include "tools/brennctl/snapshot.h"

namespace brennctl {

namespace {

namespace sh = brenn::shared;

// The file the textfile collector reads (it takes every *.prom of its directory).
constexpr const char *kTextfileName = "brenn.prom";

// One metric family at a time: HELP and TYPE, then its samples, which must not be interleaved
// with another family's. Label values are numbers and fixed words: nothing needs escaping.
class Exposition {
  public:
    void family(const char *name, const char *type, const char *help) {
        name_ = name;
        text_ += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
    }
    template <typename Value>
    void sample(const std::string &labels, Value value) {
        text_ += labels.empty() ? fmt::format("{} {}\n", name_, value)
                                : fmt::format("{}{{{}}} {}\n", name_, labels, value);
    }
    const std::string &text() const { return text_; }

  private:
    std::string name_;
    std::string text_;
};

std::string queue_label(int32_t q) {
    return fmt::format("queue=\"{}\"", q);
}
std::string session_labels(int32_t q, int32_t s) {
    return fmt::format("queue=\"{}\",session=\"{}\"", q, s);
}
std::string lock_labels(int32_t q) {
    return fmt::format("queue=\"{}\",set=\"{}\",index=\"{}\"", q, q / sh::kQueuesPerSet,
                       q % sh::kQueuesPerSet);
}

// Every queue of a system that is up, by family; none when the segment is missing.
void queue_metrics(Exposition &e, const Snapshot &snap) {
    using Value = int64_t (*)(const QueueRow &);
    struct Gauge {
        const char *name, *help;
        Value value;
    };
    e.family("brenn_queue_info", "gauge", "1 for every allocated queue; kind is plain or dynamic");
    for (const QueueRow &r : snap.queues) {
        e.sample(
            fmt::format("{},kind=\"{}\"", queue_label(r.queue), r.dynamic ? "dynamic" : "plain"),
            int64_t{1});
    }
    const Gauge gauges[] = {
        {"brenn_queue_nodes", "nodes in the queue's ring",
         [](const QueueRow &r) -> int64_t { return r.node_num; }},
        {"brenn_queue_reader_lag_nodes",
         "nodes written that the main reader has not read yet (at most the ring)",
         [](const QueueRow &r) -> int64_t { return r.unread; }},
        {"brenn_queue_sessions", "peek sessions in use",
         [](const QueueRow &r) -> int64_t { return r.sessions_in_use; }},
        {"brenn_queue_sessions_max", "peek sessions the queue allows",
         [](const QueueRow &r) -> int64_t { return r.max_sessions; }},
    };
    for (const Gauge &g : gauges) {
        e.family(g.name, "gauge", g.help);
        for (const QueueRow &r : snap.queues)
            e.sample(queue_label(r.queue), g.value(r));
    }
    e.family("brenn_queue_window_nodes", "gauge", "nodes in a dynamic queue's window");
    for (const QueueRow &r : snap.queues) {
        if (r.dynamic) e.sample(queue_label(r.queue), int64_t{r.window});
    }
    e.family("brenn_queue_writes_total", "counter",
             "writes to the queue's slot (write_seq; a shared reset starts it again at 0)");
    for (const QueueRow &r : snap.queues)
        e.sample(queue_label(r.queue), r.write_seq);

    e.family("brenn_session_cur_seq", "gauge",
             "sequence number of the node the session took last (-1: none yet)");
    for (const QueueRow &r : snap.queues) {
        for (const SessionRow &s : r.sessions)
            e.sample(session_labels(r.queue, s.session), s.cur_seq);
    }
    e.family("brenn_session_takes_total", "counter",
             "nodes the session has taken since it was created (live_count)");
    for (const QueueRow &r : snap.queues) {
        for (const SessionRow &s : r.sessions)
            e.sample(session_labels(r.queue, s.session), s.live_count);
    }
    e.family("brenn_session_lag_nodes", "gauge",
             "nodes written since the session's last take (more than the ring once lapped)");
    for (const QueueRow &r : snap.queues) {
        for (const SessionRow &s : r.sessions)
            e.sample(session_labels(r.queue, s.session), s.lag);
    }
}

// The semaphore sets and the locks held in them, for allocated queues and for any held lock.
void lock_metrics(Exposition &e, const Snapshot *snap, const Locks &locks) {
    e.family("brenn_semaphore_set_present", "gauge",
             fmt::format("1 when the semaphore set with key {:#x} + set exists", sh::kFirstSetKey)
                 .c_str());
    for (int32_t s = 0; s < sh::kSetCount; ++s)
        e.sample(fmt::format("set=\"{}\"", s), int64_t{locks.set_present(s) ? 1 : 0});

    struct Lock {
        int32_t queue;
        bool held;
    };
    std::vector<Lock> rows;
    for (int32_t q = 0; q < sh::kQueueCount; ++q) {
        const std::optional<bool> held = locks.held(q);
        const bool allocated =
            snap != nullptr && std::any_of(snap->queues.begin(), snap->queues.end(),
                                           [q](const QueueRow &r) { return r.queue == q; });
        if (held && (*held || allocated)) rows.push_back({q, *held});
    }
    e.family("brenn_lock_held", "gauge", "1 while the queue's lock is taken");
    for (const Lock &l : rows)
        e.sample(lock_labels(l.queue), int64_t{l.held ? 1 : 0});
    e.family("brenn_lock_holder_dead", "gauge",
             "1 when a held lock's holder has died (free it with brennctl reset --yes)");
    for (const Lock &l : rows) {
        const pid_t holder = l.held ? locks.holder(l.queue) : 0;
        if (holder == 0) continue;  // free, or a support library that does not tell
        const Liveness state = liveness(holder);
        e.sample(lock_labels(l.queue),
                 int64_t{state == Liveness::kDead || state == Liveness::kZombie ? 1 : 0});
    }
}

std::string exposition() {
    std::optional<Segment> seg;
    try {
        seg.emplace();
    } catch (const Failure &f) {
        if (f.code != kNotUp)
            throw;  // a system that is down is a value; one we may not read is not
    }
    Locks locks;
    std::optional<Snapshot> snap;
    if (seg) snap = seg->take({}, locks, true);

    Exposition e;
    e.family("brenn_up", "gauge",
             fmt::format("1 when the shared segment (key {:#x}) exists", sh::kSegmentKey).c_str());
    e.sample("", int64_t{seg ? 1 : 0});
    if (snap) {
        e.family("brenn_attached_processes", "gauge",
                 "processes attached to the shared segment, brennctl not counted");
        const int32_t attached = seg->attached_processes();  // -1 when it cannot be read
        if (attached > 0) e.sample("", attached - 1);
        e.family("brenn_queues_allocated", "gauge", "shared queues allocated");
        e.sample("", static_cast<int64_t>(snap->queues.size()));
        queue_metrics(e, *snap);
    }
    lock_metrics(e, snap ? &*snap : nullptr, locks);
    return fmt::format("# brennctl metrics: {}\n", kTornNote) + e.text();
}

[[noreturn]] void textfile_failure(const std::string &what, int e) {
    throw Failure(kFailed, fmt::format("--textfile: {}: {}", what, std::strerror(e)));
}

// A temporary file beside the target, renamed over it: the collector reads the old file or the
// new one, never half of one. Readable by all, as the collector runs as another user.
void write_textfile(const std::string &dir, const std::string &text) {
    const std::string path = fmt::format("{}/{}", dir, kTextfileName);
    std::string temp = fmt::format("{}/.{}.XXXXXX", dir, kTextfileName);
    const int fd = mkstemp(temp.data());
    if (fd < 0) textfile_failure(temp, errno);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    int e = done == text.size() ? 0 : errno;
    if (e == 0 && fchmod(fd, 0644) != 0) e = errno;
    if (close(fd) != 0 && e == 0) e = errno;
    if (e == 0 && std::rename(temp.c_str(), path.c_str()) != 0) e = errno;
    if (e != 0) {
        unlink(temp.c_str());
        textfile_failure(path, e);
    }
}

}  // namespace

int run_metrics(const std::string &textfile_dir) {
    const std::string text = exposition();
    if (textfile_dir.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    } else {
        write_textfile(textfile_dir, text);
    }
    return kOk;
}

}  // namespace brennctl
