#include "tools/brennctl/render.h"

#include <fmt/format.h>

namespace brennctl {

namespace {

constexpr const char *kFreeCommand = "brennctl reset --yes";

std::string json_bool(bool b) {
    return b ? "true" : "false";
}
std::string json_opt(const std::optional<bool> &b) {
    return b ? json_bool(*b) : "null";
}
double per_second(uint64_t count, double elapsed) {
    return elapsed > 0 ? static_cast<double>(count) / elapsed : 0.0;
}
std::string kind_text(const QueueRow &r) {
    return r.dynamic ? fmt::format("dynamic (w={})", r.window) : "plain";
}
// Table lines end without the padding of their last column.
std::string trimmed(std::string line) {
    line.erase(line.find_last_not_of(' ') + 1);
    return line;
}
const char *yes_no(int32_t v) {
    return v != 0 ? "yes" : "no";
}
std::string lock_text(const std::optional<bool> &held) {
    return held ? (*held ? "held" : "-") : "?";
}

}  // namespace

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += fmt::format("\\u{:04x}", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string queue_table_header(bool with_rates) {
    return trimmed(
        fmt::format("{:>4}  {:<15} {:>5} {:>9} {:>10} {:>5} {:>5} {:>5}  {:<8} {:<8} {:<4} {:<9}{}",
                    "Q", "KIND", "NODES", "SESSIONS", "WRITE_SEQ", "RD", "WR", "TAIL", "NO_BLOCK",
                    "SHARABLE", "LOCK", "LOOK_BACK", with_rates ? "  WRITES/S" : ""));
}

std::string queue_table_line(const QueueRow &r, const Rates *rates) {
    if (!r.allocated) return fmt::format("{:>4}  (not allocated)", r.queue);
    std::string rate;
    if (rates != nullptr)
        rate = fmt::format("  {:>8.1f}", per_second(rates->writes, rates->elapsed));
    return trimmed(fmt::format(
        "{:>4}  {:<15} {:>5} {:>9} {:>10} {:>5} {:>5} {:>5}  {:<8} {:<8} {:<4} {:<9}{}", r.queue,
        kind_text(r), r.node_num, fmt::format("{}/{}", r.sessions_in_use, r.max_sessions),
        r.write_seq, r.rd, r.wr, r.tail, yes_no(r.no_block), yes_no(r.sharable),
        lock_text(r.lock_held), r.looking_back ? "yes" : "-", rate));
}

std::string session_table_header(bool with_rates) {
    return trimmed(fmt::format("      {:>7} {:>5} {:>10} {:>10} {:>8} {:<9}{}", "SESSION", "PK",
                               "CUR_SEQ", "LIVE_COUNT", "LAG", "LOOK_BACK",
                               with_rates ? "   TAKES/S" : ""));
}

std::string session_table_line(const SessionRow &s, const Rates *rates, size_t index) {
    std::string rate;
    if (rates != nullptr && index < rates->takes.size()) {
        rate = fmt::format("  {:>8.1f}", per_second(rates->takes[index], rates->elapsed));
    }
    return trimmed(fmt::format("      {:>7} {:>5} {:>10} {:>10} {:>8} {:<9}{}", s.session, s.pk,
                               s.cur_seq, s.live_count, s.lag, s.looking_back ? "yes" : "-", rate));
}

std::string queue_json(const QueueRow &r, bool with_sessions, const Rates *rates) {
    if (!r.allocated) return fmt::format(R"({{"queue":{},"allocated":false}})", r.queue);
    std::string out = fmt::format(
        R"({{"queue":{},"allocated":true,"kind":"{}","window":{},"node_num":{},)"
        R"("sessions_in_use":{},"max_sessions":{},"write_seq":{},"rd":{},"wr":{},"tail":{},)"
        R"("no_block":{},"sharable":{},"lock_held":{},"looking_back":{})",
        r.queue, r.dynamic ? "dynamic" : "plain", r.dynamic ? fmt::to_string(r.window) : "null",
        r.node_num, r.sessions_in_use, r.max_sessions, r.write_seq, r.rd, r.wr, r.tail, r.no_block,
        r.sharable, json_opt(r.lock_held), json_bool(r.looking_back));
    if (rates != nullptr) {
        out += fmt::format(R"(,"writes":{},"writes_per_sec":{:.3f})", rates->writes,
                           per_second(rates->writes, rates->elapsed));
    }
    if (with_sessions) {
        out += R"(,"sessions":[)";
        for (size_t i = 0; i < r.sessions.size(); ++i) {
            const SessionRow &s = r.sessions[i];
            out += fmt::format(
                R"({}{{"session":{},"pk":{},"cur_seq":{},"live_count":{},"looking_back":{},"lag":{})",
                i == 0 ? "" : ",", s.session, s.pk, s.cur_seq, s.live_count,
                json_bool(s.looking_back), s.lag);
            if (rates != nullptr && i < rates->takes.size()) {
                out += fmt::format(R"(,"takes":{},"takes_per_sec":{:.3f})", rates->takes[i],
                                   per_second(rates->takes[i], rates->elapsed));
            }
            out += "}";
        }
        out += "]";
    }
    return out + "}";
}

std::string list_text(const Snapshot &snap, int32_t attached) {
    std::string out = queue_table_header(false) + "\n";
    for (const QueueRow &r : snap.queues)
        out += queue_table_line(r, nullptr) + "\n";
    if (snap.queues.empty()) out += "(no queue allocated)\n";
    out += fmt::format("{} queue(s) allocated, {} other process(es) attached\n", snap.queues.size(),
                       attached);
    return out + fmt::format("* {}\n", kTornNote);
}

std::string list_json(const Snapshot &snap) {
    std::string out = fmt::format(R"({{"note":{},"queues":[)", json_string(kTornNote));
    for (size_t i = 0; i < snap.queues.size(); ++i) {
        out += (i == 0 ? "" : ",") + queue_json(snap.queues[i], false, nullptr);
    }
    return out + "]}\n";
}

std::string status_text(const QueueRow &r) {
    std::string out = queue_table_header(false) + "\n" + queue_table_line(r, nullptr) + "\n";
    if (r.sessions.empty()) {
        out += "      (no session in use)\n";
    } else {
        out += session_table_header(false) + "\n";
        for (size_t i = 0; i < r.sessions.size(); ++i) {
            out += session_table_line(r.sessions[i], nullptr, i) + "\n";
        }
    }
    return out + fmt::format("* {}\n", kTornNote);
}

std::string status_json(const QueueRow &r) {
    return fmt::format(R"({{"note":{},"queue":{}}})", json_string(kTornNote),
                       queue_json(r, true, nullptr)) +
           "\n";
}

std::string locks_text(const std::vector<LockRow> &rows, bool holders_known) {
    if (rows.empty()) return "no queue lock is held\n";
    std::string out = fmt::format("{:>4}  {:>3} {:>5}  {:<9}  {:>8}  {}\n", "Q", "SET", "INDEX",
                                  "QUEUE", "HOLDER", "STATE");
    bool dead = false;
    for (const LockRow &l : rows) {
        const bool gone = l.state == Liveness::kDead || l.state == Liveness::kZombie;
        dead = dead || gone;
        out += fmt::format(
            "{:>4}  {:>3} {:>5}  {:<9}  {:>8}  {}{}\n", l.queue,
            l.queue / brenn::shared::kQueuesPerSet, l.queue % brenn::shared::kQueuesPerSet,
            l.allocated ? "allocated" : "free", l.holder > 0 ? fmt::to_string(l.holder) : "?",
            liveness_name(l.state),
            gone ? fmt::format(": never released; free it with `{}`", kFreeCommand) : "");
    }
    if (!holders_known) {
        out += "* the support library does not tell lock holders (not the project's stand-in)\n";
    }
    if (dead)
        out += fmt::format("* `{}` frees every queue and releases every lock\n", kFreeCommand);
    return out;
}

std::string locks_json(const std::vector<LockRow> &rows, bool holders_known) {
    std::string out = fmt::format(R"({{"holders_known":{},"locks":[)", json_bool(holders_known));
    for (size_t i = 0; i < rows.size(); ++i) {
        const LockRow &l = rows[i];
        const bool gone = l.state == Liveness::kDead || l.state == Liveness::kZombie;
        out += fmt::format(
            R"({}{{"queue":{},"set":{},"index":{},"allocated":{},"holder":{},"holder_state":"{}","free_with":{}}})",
            i == 0 ? "" : ",", l.queue, l.queue / brenn::shared::kQueuesPerSet,
            l.queue % brenn::shared::kQueuesPerSet, json_bool(l.allocated),
            l.holder > 0 ? fmt::to_string(l.holder) : "null", liveness_name(l.state),
            gone ? json_string(kFreeCommand) : "null");
    }
    return out + "]}\n";
}

}  // namespace brennctl
