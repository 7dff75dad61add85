// The read-only commands: list, status, locks and watch. They attach the segment with
// SHM_RDONLY and never take a queue's lock.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>

#include <fmt/format.h>

#include "tools/brennctl/commands.h"
#include "tools/brennctl/render.h"
#include "tools/brennctl/snapshot.h"

namespace brennctl {

namespace {

void require_allocated(const Segment &seg, int32_t q) {
    if (!seg.allocated(q)) throw Failure(kNoQueue, fmt::format("queue {} is not allocated", q));
}

void put(const std::string &text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

volatile sig_atomic_t stop_requested = 0;
void on_stop_signal(int) {
    stop_requested = 1;
}

// On a terminal: the alternate screen without a cursor, and keys read one by one without echo
// (Ctrl-C still raises SIGINT). The destructor restores all of it, also when a failure unwinds.
class Screen {
  public:
    explicit Screen(bool terminal) : active_(terminal) {
        if (!active_) return;
        if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_) == 0) {
            termios raw = saved_;
            raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            keys_ = restore_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
        }
        put("\x1b[?1049h\x1b[?25l");
    }
    ~Screen() {
        if (!active_) return;
        put("\x1b[?25h\x1b[?1049l");
        if (restore_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    Screen(const Screen &) = delete;
    Screen &operator=(const Screen &) = delete;

    // Waits until `until` (steady seconds); true when asked to stop (q, Ctrl-C, SIGTERM).
    bool wait_until(double until) {
        for (;;) {
            if (stop_requested) return true;
            const double left = until - now_seconds();
            if (left <= 0) return false;
            const int ms = static_cast<int>(std::ceil(std::min(left, 1.0) * 1000));
            if (!keys_) {
                poll(nullptr, 0, ms);  // a signal ends it early
                continue;
            }
            pollfd in{STDIN_FILENO, POLLIN, 0};
            if (poll(&in, 1, ms) > 0) {
                char c = 0;
                const ssize_t got = read(STDIN_FILENO, &c, 1);
                if (got == 0) keys_ = false;  // end of input: no more keys to read
                if (got == 1 && (c == 'q' || c == 'Q')) return true;
            }
        }
    }

  private:
    bool active_;
    bool keys_ = false;     // keys are read from standard input
    bool restore_ = false;  // its terminal mode is to be restored
    termios saved_{};
};

Rates rates_between(const QueueRow *before, const QueueRow &now, double elapsed) {
    Rates r;
    r.elapsed = elapsed;
    if (!now.allocated) return r;
    const bool same = before != nullptr && before->allocated;
    // A shared reset starts the numbering again: count from 0 then. A queue allocated during
    // the interval carries its slot's old numbering, so nothing is counted for it.
    if (same) {
        r.writes =
            now.write_seq >= before->write_seq ? now.write_seq - before->write_seq : now.write_seq;
    }
    for (const SessionRow &s : now.sessions) {
        uint64_t taken = s.live_count;  // a session created during the interval
        if (same) {
            for (const SessionRow &b : before->sessions) {
                if (b.session == s.session && s.live_count >= b.live_count) {
                    taken = s.live_count - b.live_count;
                }
            }
        }
        r.takes.push_back(taken);
    }
    return r;
}

const QueueRow *find_row(const Snapshot &snap, int32_t q) {
    for (const QueueRow &r : snap.queues) {
        if (r.queue == q) return &r;
    }
    return nullptr;
}

std::string watch_frame(const Snapshot &before, const Snapshot &now, int interval, bool json) {
    const double elapsed = now.at - before.at;
    std::string out;
    if (json) {
        out = fmt::format(R"({{"note":{},"interval":{},"elapsed":{:.6f},"queues":[)",
                          json_string(kTornNote), interval, elapsed);
    } else {
        char clock[16];
        const std::time_t t = std::time(nullptr);
        std::tm tm{};
        std::strftime(clock, sizeof clock, "%H:%M:%S", localtime_r(&t, &tm));
        out = fmt::format("brennctl watch: interval {} ({:.2f} s) at {}\n{}\n", interval, elapsed,
                          clock, queue_table_header(true));
    }
    for (size_t i = 0; i < now.queues.size(); ++i) {
        const QueueRow &r = now.queues[i];
        const Rates rates = rates_between(find_row(before, r.queue), r, elapsed);
        if (json) {
            out += (i == 0 ? "" : ",") + queue_json(r, true, &rates);
            continue;
        }
        out += queue_table_line(r, &rates) + "\n";
        if (r.sessions.empty()) continue;
        out += session_table_header(true) + "\n";
        for (size_t k = 0; k < r.sessions.size(); ++k) {
            out += session_table_line(r.sessions[k], &rates, k) + "\n";
        }
    }
    if (json) return out + "]}\n";
    if (now.queues.empty()) out += "(no queue allocated)\n";
    return out + fmt::format("* {}\n", kTornNote);
}

}  // namespace

int run_list(bool json) {
    Segment seg;
    Locks locks;
    const Snapshot snap = seg.take({}, locks, false);
    put(json ? list_json(snap) : list_text(snap, seg.attached_processes() - 1));  // not us
    return kOk;
}

int run_status(int32_t q, bool json) {
    Segment seg;
    require_allocated(seg, q);
    Locks locks;
    const QueueRow row = seg.row(q, locks, true);
    put(json ? status_json(row) : status_text(row));
    return kOk;
}

int run_locks(bool json) {
    Segment seg;
    Locks locks;
    if (!locks.any_set()) throw Failure(kFailed, "no semaphore set of the family was found");
    std::vector<LockRow> rows;
    for (int32_t q = 0; q < brenn::shared::kQueueCount; ++q) {
        const std::optional<bool> held = locks.held(q);
        if (!held || !*held) continue;
        const pid_t holder = locks.holder(q);
        rows.push_back({q, seg.allocated(q), holder, liveness(holder)});
    }
    put(json ? locks_json(rows, locks.holders_known()) : locks_text(rows, locks.holders_known()));
    return kOk;
}

int run_watch(const std::vector<int32_t> &queues, double interval, int count, bool json) {
    Segment seg;
    for (int32_t q : queues)
        require_allocated(seg, q);
    Locks locks;

    struct sigaction action {};
    action.sa_handler = on_stop_signal;  // no SA_RESTART: a signal ends the wait at once
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);

    // JSON goes out as it is, also to a terminal: a script may read it through one.
    const bool terminal = !json && isatty(STDOUT_FILENO) != 0;
    Screen screen(terminal);
    Snapshot before = seg.take(queues, locks, true);
    const double start = before.at;
    for (int k = 1; count == 0 || k <= count; ++k) {
        if (screen.wait_until(start + k * interval)) break;
        if (seg.removed()) throw Failure(kNotUp, "the shared system was destroyed meanwhile");
        locks.refresh();
        Snapshot now = seg.take(queues, locks, true);
        const std::string frame = watch_frame(before, now, k, json);
        if (terminal) {
            put("\x1b[H\x1b[2J" + frame + "(q or Ctrl-C quits)\n");
        } else {
            put(json ? frame : frame + "\n");
        }
        before = std::move(now);
    }
    return kOk;
}

}  // namespace brennctl
