// The subcommands of brennctl. Each returns an exit code or throws Failure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brennctl {

int run_list(bool json);
int run_status(int32_t q, bool json);
int run_locks(bool json);
int run_watch(const std::vector<int32_t> &queues, double interval, int count, bool json);
// The Prometheus text on standard output, or into DIR/brenn.prom when a directory is given.
int run_metrics(const std::string &textfile_dir);

int run_dump(int32_t q);
int run_create();
int run_destroy(bool yes);
int run_reset(bool yes);

}  // namespace brennctl
