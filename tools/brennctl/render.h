// Text tables and JSON documents of brennctl's rows. JSON is written by hand with fmt: one
// document per line, fields in a fixed order.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/brennctl/snapshot.h"

namespace brennctl {

// What changed between two snapshots of one queue, for watch.
struct Rates {
    double elapsed = 0;
    uint64_t writes = 0;
    std::vector<uint64_t> takes;  // parallel to the row's sessions
};

std::string json_string(std::string_view text);

std::string queue_table_header(bool with_rates);
std::string queue_table_line(const QueueRow &r, const Rates *rates);
std::string session_table_header(bool with_rates);
std::string session_table_line(const SessionRow &s, const Rates *rates, size_t index);

std::string queue_json(const QueueRow &r, bool with_sessions, const Rates *rates);

std::string list_text(const Snapshot &snap, int32_t attached);
std::string list_json(const Snapshot &snap);
std::string status_text(const QueueRow &r);
std::string status_json(const QueueRow &r);

struct LockRow {
    int32_t queue;
    bool allocated;
    pid_t holder;  // 0 unknown
    Liveness state;
};
std::string locks_text(const std::vector<LockRow> &rows, bool holders_known);
std::string locks_json(const std::vector<LockRow> &rows, bool holders_known);

}  // namespace brennctl
