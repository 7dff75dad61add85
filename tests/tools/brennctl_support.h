// brennctl run as a child process with bounded waits, and a small reader for the JSON it
// prints (objects, arrays, strings, numbers, true, false, null).
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace brenn_test {

struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    bool boolean = false;
    std::string text;               // a string's value, or a number as written
    std::vector<Json> items;        // an array's values, or an object's
    std::vector<std::string> keys;  // an object's keys, parallel to items

    const Json &operator[](const std::string &key) const {
        for (size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] == key) return items[i];
        }
        ADD_FAILURE() << "no member \"" << key << "\"";
        static const Json missing;
        return missing;
    }
    const Json &operator[](size_t i) const { return items.at(i); }
    int64_t integer() const {
        EXPECT_EQ(kind, kNumber) << text;
        return kind == kNumber ? std::stoll(text) : INT64_MIN;
    }
    double number() const { return kind == kNumber ? std::stod(text) : -1e300; }
    // The value as written (a string without its quotes).
    std::string str() const {
        const char *words[] = {"null", boolean ? "true" : "false"};
        return kind <= kBool ? words[kind] : kind <= kString ? text : "<composite>";
    }

    // The whole text must be one document; anything else throws.
    static Json parse(const std::string &text) {
        size_t at = 0;
        Json v = value(text, at);
        if (skip(text, at) != text.size()) throw std::runtime_error("text after JSON: " + text);
        return v;
    }

  private:
    static size_t skip(const std::string &t, size_t &at) {
        while (at < t.size() && std::isspace(static_cast<unsigned char>(t[at])))
            ++at;
        return at;
    }
    static bool take(const std::string &t, size_t &at, const std::string &word) {
        if (t.compare(skip(t, at), word.size(), word) != 0) return false;
        at += word.size();
        return true;
    }
    static std::string string(const std::string &t, size_t &at) {
        if (!take(t, at, "\"")) throw std::runtime_error("string expected: " + t);
        std::string out;
        for (; at < t.size() && t[at] != '"'; ++at) {
            if (static_cast<unsigned char>(t[at]) < 0x20) throw std::runtime_error("raw control");
            if (t[at] != '\\') {
                out += t[at];
            } else if (t[++at] == 'u') {
                out += static_cast<char>(std::stoi(t.substr(at + 1, 4), nullptr, 16));
                at += 4;
            } else {
                out += t[at] == 'n' ? '\n' : t[at] == 't' ? '\t' : t[at];
            }
        }
        if (!take(t, at, "\"")) throw std::runtime_error("unterminated string: " + t);
        return out;
    }
    static Json value(const std::string &t, size_t &at) {
        Json v;
        const bool object = take(t, at, "{");
        if (object || take(t, at, "[")) {
            v.kind = object ? kObject : kArray;
            const char *end = object ? "}" : "]";
            if (take(t, at, end)) return v;
            do {
                if (object) {
                    v.keys.push_back(string(t, at));
                    if (!take(t, at, ":")) throw std::runtime_error("':' expected: " + t);
                }
                v.items.push_back(value(t, at));
            } while (take(t, at, ","));
            if (!take(t, at, end)) throw std::runtime_error(std::string(end) + " expected: " + t);
        } else if (skip(t, at) < t.size() && t[at] == '"') {
            v.kind = kString;
            v.text = string(t, at);
        } else if (take(t, at, "true")) {
            v.kind = kBool;
            v.boolean = true;
        } else if (take(t, at, "false")) {
            v.kind = kBool;
        } else if (!take(t, at, "null")) {
            const size_t start = at;
            while (at < t.size() && std::string("+-.eE0123456789").find(t[at]) != std::string::npos)
                ++at;
            if (at == start) throw std::runtime_error("unexpected text: " + t.substr(at));
            v.kind = kNumber;
            v.text = t.substr(start, at - start);
        }
        return v;
    }
};

// brennctl as a child: standard output through a pipe, read line by line or to its end;
// standard error into a temporary file. A tool still running at the end is killed.
class Tool {
  public:
    explicit Tool(const std::vector<std::string> &args, uid_t as_user = 0) : err_(std::tmpfile()) {
        int out[2];
        if (err_ == nullptr || pipe(out) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(fileno(err_), 2);
            if (as_user != 0 && (setgid(as_user) != 0 || setuid(as_user) != 0)) _exit(126);
            // In a cross build the tool runs through the emulator that runs this test.
            static const char *const command[] = {BRENNCTL_COMMAND};
            std::vector<char *> argv;
            for (const char *word : command)
                argv.push_back(const_cast<char *>(word));
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~Tool() {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
        close(out_);
        std::fclose(err_);
    }

    // The next line of standard output, without its newline; nullopt at the end of the output
    // or when no line came within `limit`.
    std::optional<std::string> line(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        size_t nl;
        while ((nl = out.find('\n')) == std::string::npos) {
            if (!fill(end)) return std::nullopt;
        }
        std::string l = out.substr(0, nl);
        out.erase(0, nl + 1);
        return l;
    }

    // Reads the output to its end and waits for the exit: the exit code, or -1 when the tool
    // was still running after `limit`. `out` then holds what line() has not returned.
    int finish(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (fill(end)) {
        }
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) return -1;
            usleep(2000);
        }
        pid_ = -1;
        std::rewind(err_);
        for (int c; (c = std::fgetc(err_)) != EOF;)
            err += static_cast<char>(c);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string out, err;

  private:
    bool fill(std::chrono::steady_clock::time_point end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{out_, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char chunk[4096];
        const ssize_t got = read(out_, chunk, sizeof chunk);
        if (got > 0) out.append(chunk, static_cast<size_t>(got));
        return got > 0;
    }

    FILE *err_;
    pid_t pid_ = -1;
    int out_ = -1;
};

struct Ran {
    int code;
    std::string out, err;
};
inline Ran brennctl(const std::vector<std::string> &args, uid_t as_user = 0) {
    Tool t(args, as_user);
    const int code = t.finish();
    return {code, t.out, t.err};
}

}  // namespace brenn_test
