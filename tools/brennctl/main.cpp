// brennctl: the operator tool of brenn's shared queues.
//
//   brennctl list [--json]            one row per allocated queue
//   brennctl status Q [--json]        the queue's row and one row per session in use
//   brennctl watch [Q...] [--interval S] [--count N] [--json]
//                                     rates and lags from successive snapshots
//   brennctl locks [--json]           held queue locks, their holders and whether they live
//   brennctl metrics [--textfile DIR] the system in the Prometheus text format
//   brennctl dump Q                   the library's dump of the queue
//   brennctl create | destroy [--yes] | reset [--yes]
//                                     the library's lifecycle calls and their result codes
//
// list, status, watch, locks and metrics only read: the segment is attached read-only and no queue
// lock is taken, so a row read under traffic may mix states.
#include <cstdio>
#include <exception>
#include <functional>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "tools/brennctl/commands.h"
#include "tools/brennctl/snapshot.h"

using namespace brennctl;

int main(int argc, char **argv) {
    CLI::App app{"brennctl: looks at and manages brenn's shared queues", "brennctl"};
    app.require_subcommand(1);
    app.footer(fmt::format(
        "Exit codes:\n"
        "  0  success\n"
        "  1  a library call failed (its result code is printed), or another failure\n"
        "  2  bad arguments\n"
        "  3  the shared system is not up (no segment with key {:#x})\n"
        "  4  permission denied on the segment\n"
        "  5  no such queue (the queue is not allocated)\n"
        "  6  refused: queues are allocated and --yes was not given\n"
        "list, status, watch, locks and metrics never take a queue lock nor write to the\n"
        "segment: rows read under traffic may be torn. metrics reports a system that is not up\n"
        "as brenn_up 0.\n",
        brenn::shared::kSegmentKey));

    const auto queue_range = CLI::Range(0, brenn::shared::kQueueCount - 1);
    bool json = false;
    bool yes = false;
    int32_t q = 0;
    std::vector<int32_t> queues;
    double interval = 1.0;
    int count = 0;
    std::function<int()> action;

    CLI::App *list = app.add_subcommand("list", "one row per allocated shared queue");
    list->add_flag("--json", json, "one JSON document");
    list->callback([&] { action = [&] { return run_list(json); }; });

    CLI::App *status = app.add_subcommand("status", "a queue's row and its sessions in use");
    status->add_option("Q", q, "queue id")->required()->check(queue_range);
    status->add_flag("--json", json, "one JSON document");
    status->callback([&] { action = [&] { return run_status(q, json); }; });

    CLI::App *watch = app.add_subcommand(
        "watch", "rates and lags refreshed in place (one block per interval when not a terminal)");
    watch->add_option("Q", queues, "queue ids (default: every allocated queue)")
        ->check(queue_range);
    watch->add_option("--interval", interval, "seconds between snapshots (default 1)")
        ->check(CLI::PositiveNumber);
    watch->add_option("--count", count, "stop after N intervals (default: until q or Ctrl-C)")
        ->check(CLI::NonNegativeNumber);
    watch->add_flag("--json", json, "one JSON document per interval");
    watch->callback([&] { action = [&] { return run_watch(queues, interval, count, json); }; });

    CLI::App *locks = app.add_subcommand("locks", "held queue locks and their holders");
    locks->add_flag("--json", json, "one JSON document");
    locks->callback([&] { action = [&] { return run_locks(json); }; });

    std::string textfile;
    CLI::App *metrics = app.add_subcommand(
        "metrics", "the shared system in the Prometheus text format (also when it is down)");
    metrics
        ->add_option("--textfile", textfile,
                     "write DIR/brenn.prom atomically, for node_exporter's textfile collector")
        ->check(CLI::ExistingDirectory);
    metrics->callback([&] { action = [&] { return run_metrics(textfile); }; });

    CLI::App *dump = app.add_subcommand("dump", "the library's dump of a queue (gsq_c_dump)");
    dump->add_option("Q", q, "queue id")->required()->check(queue_range);
    dump->callback([&] { action = [&] { return run_dump(q); }; });

    app.add_subcommand("create", "bring the shared system up (gsq_c_create)")->callback([&] {
        action = [] { return run_create(); };
    });
    CLI::App *destroy =
        app.add_subcommand("destroy", "remove segment and semaphore sets (gsq_c_destroy)");
    destroy->add_flag("--yes", yes, "also when queues are allocated");
    destroy->callback([&] { action = [&] { return run_destroy(yes); }; });
    CLI::App *reset =
        app.add_subcommand("reset", "free every queue, release stuck locks (gsq_c_reset)");
    reset->add_flag("--yes", yes, "also when queues are allocated");
    reset->callback([&] { action = [&] { return run_reset(yes); }; });

    // CLI11 would only say that a subcommand is required: name the word it did not know.
    if (argc > 1 && argv[1][0] != '-') {
        try {
            app.get_subcommand(argv[1]);
        } catch (const CLI::OptionNotFound &) {
            fmt::print(stderr,
                       "brennctl: unknown command '{}' (list, status, watch, locks, metrics, "
                       "dump, create, destroy, reset)\nRun with --help for more information.\n",
                       argv[1]);
            return kBadArgs;
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? kOk : kBadArgs;
    }
    try {
        return action();
    } catch (const Failure &f) {
        std::fflush(stdout);
        fmt::print(stderr, "brennctl: {}\n", f.what());
        return f.code;
    } catch (const std::exception &e) {
        fmt::print(stderr, "brennctl: {}\n", e.what());
        return kFailed;
    }
}
