// fanout: one producer, K consumers getting the same handles in order, through brenn's two
// families and through what one would use otherwise (a pipe or a POSIX message queue per
// consumer, a ring under a mutex and a condition variable), all in one run so that the ratios
// between them hold although the machine's speed does not. Then round trips through a consumer
// that echoes every handle back.
//
//   unshare --ipc build/default/bench/fanout [--handles N] [--consumers 1,4,16]
//                 [--mechanisms shared,local,pipe,mqueue,ring,ring-threads,shared-threads]
//                 [--round-trips N] [--repeat R]
//
// Every fan-out run is a child process of its own. With --repeat R each (mechanism, K) runs R
// times, the mechanisms taking turns, and the run with the median rate is shown: a figure of
// one run can be off by a factor of two either way on a loaded or small machine.
//
// The shared family uses its fixed System V keys: run fanout alone (a private IPC namespace
// keeps it clear of everything else).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/fanout/mechanism.h"
#include "bench/fanout/meter.h"
#include "bench/fanout/runs.h"

namespace {

using fanout::Mechanism;

struct Entry {
    const char *key;
    const Mechanism *m;
    bool peer;        // not brenn: what brenn is compared with
    bool by_default;  // run when --mechanisms does not name what to run
};

const Entry kEntries[] = {
    {"shared", &fanout::kBrennShared, false, true},
    {"local", &fanout::kBrennLocal, false, true},
    {"pipe", &fanout::kPipes, true, true},
    {"mqueue", &fanout::kMessageQueues, true, true},
    {"ring", &fanout::kMutexRingProcesses, true, true},
    {"ring-threads", &fanout::kMutexRingThreads, true, true},
    // The shared family between threads: sets the family's cost apart from the processes'.
    {"shared-threads", &fanout::kBrennSharedThreads, false, false},
};

struct Options {
    uint64_t handles = 200000;
    uint64_t round_trips = 20000;
    int repeat = 1;
    std::vector<int> consumers{1, 4, 16};
    std::vector<const Entry *> chosen;
};

std::vector<std::string> split(const char *list) {
    std::vector<std::string> out;
    std::string item;
    for (const char *p = list;; ++p) {
        if (*p == ',' || *p == '\0') {
            if (!item.empty()) out.push_back(item);
            item.clear();
            if (*p == '\0') break;
        } else {
            item += *p;
        }
    }
    return out;
}

bool parse(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr) return false;
        ++i;
        if (std::strcmp(arg, "--handles") == 0) {
            o->handles = std::strtoull(value, nullptr, 10);
        } else if (std::strcmp(arg, "--repeat") == 0) {
            o->repeat = std::atoi(value);
            if (o->repeat < 1 || o->repeat > 99) return false;
        } else if (std::strcmp(arg, "--round-trips") == 0) {
            o->round_trips = std::strtoull(value, nullptr, 10);
        } else if (std::strcmp(arg, "--consumers") == 0) {
            o->consumers.clear();
            for (const std::string &k : split(value)) {
                const int n = std::atoi(k.c_str());
                if (n < 1 || n > fanout::kMaxConsumers) return false;
                o->consumers.push_back(n);
            }
        } else if (std::strcmp(arg, "--mechanisms") == 0) {
            for (const std::string &key : split(value)) {
                const Entry *found = nullptr;
                for (const Entry &e : kEntries) {
                    if (key == e.key) found = &e;
                }
                if (found == nullptr) return false;
                o->chosen.push_back(found);
            }
        } else {
            return false;
        }
    }
    if (o->chosen.empty()) {
        for (const Entry &e : kEntries)
            o->chosen.push_back(&e);
    }
    return o->handles > 0;
}

double millions(double x) {
    return x / 1e6;
}

struct Row {
    const Entry *entry;
    int k;
    fanout::FanOut r;
    double rate() const {
        return r.ok && r.seconds > 0 ? static_cast<double>(r.delivered) / r.seconds : 0;
    }
};

const Row *find(const std::vector<Row> &rows, const Mechanism *m, int k) {
    for (const Row &row : rows) {
        if (row.entry->m == m && row.k == k) return &row;
    }
    return nullptr;
}

// The fastest peer at k with the same kind of consumers (processes or threads); with
// `only_queues`, among the pipes and message queues alone.
const Row *best_peer(const std::vector<Row> &rows, int k, bool processes, bool only_queues) {
    const Row *best = nullptr;
    for (const Row &row : rows) {
        if (!row.entry->peer || row.k != k || row.entry->m->processes != processes) continue;
        const bool queue =
            row.entry->m == &fanout::kPipes || row.entry->m == &fanout::kMessageQueues;
        if (only_queues && !queue) continue;
        if (best == nullptr || row.rate() > best->rate()) best = &row;
    }
    return best;
}

void print_ratio(const char *what, const Row *a, const Row *b, const char *target) {
    if (a == nullptr || b == nullptr || b->rate() <= 0) return;
    std::printf("  K=%-2d %-60s %6.2f   %s\n", a->k, what, a->rate() / b->rate(), target);
}

std::string per_handle(double count, uint64_t handles) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", count / static_cast<double>(handles));
    return text;
}

// The rows of one K: every chosen mechanism run o.repeat times, in turns that start one
// mechanism later each round, and the run with the median rate kept (a failed run counts as
// the slowest).
void rows_of_k(const Options &o, int k, std::vector<Row> *rows) {
    const size_t count = o.chosen.size();
    std::vector<std::vector<Row>> runs(count);
    for (int round = 0; round < o.repeat; ++round) {
        for (size_t j = 0; j < count; ++j) {
            const size_t i = (j + static_cast<size_t>(round)) % count;
            const Entry *e = o.chosen[i];
            runs[i].push_back(Row{e, k, fanout::run_fan_out_fresh(*e->m, k, o.handles)});
        }
    }
    for (std::vector<Row> &of : runs) {
        std::sort(of.begin(), of.end(),
                  [](const Row &a, const Row &b) { return a.rate() < b.rate(); });
        rows->push_back(of[of.size() / 2]);
    }
}

}  // namespace

int main(int argc, char **argv) {
    setenv("OLK_LOG_QUIET", "1", 0);  // each local free logs a line; not here
    Options o;
    if (!parse(argc, argv, &o)) {
        std::fprintf(stderr,
                     "usage: fanout [--handles N] [--consumers 1,4,16] [--mechanisms "
                     "shared,local,pipe,mqueue,ring,ring-threads,shared-threads] [--round-trips "
                     "N] [--repeat R]\n");
        return 2;
    }
    fanout::start_watchdog(300);
    const bool counted = fanout::futex_counting_available();
    std::printf("fanout: %llu handles, a ring of %d nodes, %u CPUs; futex calls %s\n",
                static_cast<unsigned long long>(o.handles), fanout::kRingNodes,
                std::thread::hardware_concurrency(),
                counted ? "counted (perf, sys_enter_futex)"
                        : "not counted here (no tracefs or perf events; use strace -c -f)");
    std::printf("\n%-40s %3s %13s %9s %11s %13s  %s\n", "mechanism", "K", "deliveries/s", "skipped",
                "csw/handle", "futex/handle", "vs best peer (same kind)");

    std::vector<Row> rows;
    bool all_ok = true;
    for (int k : o.consumers) {
        rows_of_k(o, k, &rows);
        for (size_t i = rows.size() - o.chosen.size(); i < rows.size(); ++i)
            all_ok = all_ok && rows[i].r.ok;
        for (const Row &row : rows) {
            if (row.k != k) continue;
            const fanout::FanOut &r = row.r;
            if (!r.ok) {
                std::printf("%-40s %3d   failed\n", row.entry->m->name, k);
                continue;
            }
            const double offered = static_cast<double>(o.handles) * k;
            char versus[96] = "";
            if (!row.entry->peer) {
                if (const Row *best = best_peer(rows, k, row.entry->m->processes, false);
                    best != nullptr && best->rate() > 0) {
                    std::snprintf(versus, sizeof versus, "%.2fx %s", row.rate() / best->rate(),
                                  best->entry->m->name);
                }
            }
            std::printf("%-40s %3d %11.3f M %8.1f%% %11s %13s  %s\n", row.entry->m->name, k,
                        millions(row.rate()), 100.0 * static_cast<double>(r.skipped) / offered,
                        per_handle(static_cast<double>(r.switches), o.handles).c_str(),
                        r.futex_calls < 0
                            ? "-"
                            : per_handle(static_cast<double>(r.futex_calls), o.handles).c_str(),
                        versus);
        }
    }

    std::printf("\nratios of deliveries per second (within this run):\n");
    for (int k : o.consumers) {
        const Row *shared = find(rows, &fanout::kBrennShared, k);
        const Row *local = find(rows, &fanout::kBrennLocal, k);
        print_ratio("shared / mutex+cond ring (processes)", shared,
                    find(rows, &fanout::kMutexRingProcesses, k), "target >= 1, aim 2");
        if (k == 1)
            print_ratio("shared (processes) / local (threads)", shared, local, "target >= 0.7");
        print_ratio("local / mutex+cond ring (threads)", local,
                    find(rows, &fanout::kMutexRingThreads, k), "target >= 1");
        if (k > 1) {
            print_ratio("shared / best of pipes and mqueues", shared,
                        best_peer(rows, k, true, true), "target >= 2");
            print_ratio("local / best of pipes and mqueues", local, best_peer(rows, k, true, true),
                        "target >= 2");
        }
    }

    if (o.round_trips > 0) {
        std::printf(
            "\nround trips (the main reader echoes every handle through a second channel), "
            "%llu trips:\n%-40s %9s %9s %10s %11s\n",
            static_cast<unsigned long long>(o.round_trips), "mechanism", "p50 us", "p99 us",
            "csw/trip", "futex/trip");
        for (const Entry *e : o.chosen) {
            const fanout::RoundTrip t = fanout::run_round_trip(*e->m, o.round_trips);
            all_ok = all_ok && t.ok;
            if (!t.ok) {
                std::printf("%-40s   failed\n", e->m->name);
                continue;
            }
            char futex[32] = "-";
            if (t.futex_per_trip >= 0) std::snprintf(futex, sizeof futex, "%.3f", t.futex_per_trip);
            std::printf("%-40s %9.2f %9.2f %10.3f %11s\n", e->m->name, t.p50_us, t.p99_us,
                        t.switches_per_trip, futex);
        }
    }
    return all_ok ? 0 : 1;
}
