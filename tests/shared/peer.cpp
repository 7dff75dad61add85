// A consumer started as a program of its own: it joins the shared system by key, like any
// process built and started separately, and tells its starter on standard output when it is
// about to wait.
//   brenn_peer read Q N FIRST     reads N nodes of queue Q, expecting handles FIRST, FIRST + 1, ...
//   brenn_peer peek Q S N FIRST   the same through session S
//   brenn_peer hold Q             takes queue Q's lock, says "L" and waits to be killed
// Exit codes: 0 done, 2 cannot join, 3 a wrong handle, 64 bad arguments.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "include/brenn.h"

namespace {

void say(char c) {
    if (write(1, &c, 1) != 1) std::_Exit(5);
}

int64_t arg(char **argv, int i) {
    return std::strtoll(argv[i], nullptr, 0);
}

}  // namespace

int main(int argc, char **argv) {
    alarm(20);
    if (argc < 3) return 64;
    const bool peek = std::strcmp(argv[1], "peek") == 0;
    const bool read = std::strcmp(argv[1], "read") == 0;
    const bool hold = std::strcmp(argv[1], "hold") == 0;
    if ((read && argc != 5) || (peek && argc != 6) || (!read && !peek && !hold)) return 64;
    const auto q = static_cast<int32_t>(arg(argv, 2));
    if (gsq_c_init() != 0) return 2;
    if (hold) {
        gsq_lock(q);
        say('L');
        for (;;)
            pause();
    }
    const auto s = static_cast<int32_t>(peek ? arg(argv, 3) : 0);
    const int64_t n = arg(argv, peek ? 4 : 3);
    const auto first = static_cast<uint64_t>(arg(argv, peek ? 5 : 4));
    say('R');
    int rc = 0;
    for (int64_t i = 0; i < n && rc == 0; ++i) {
        uint64_t obj = BRENN_NO_HANDLE;
        int32_t gap = 0;
        if (peek)
            gsq_c_peek(q, s, &obj, &gap);
        else
            gsq_read(q, &obj);
        if (obj != first + static_cast<uint64_t>(i)) {
            std::fprintf(stderr, "peer: handle %llu, expected %llu\n",
                         static_cast<unsigned long long>(obj),
                         static_cast<unsigned long long>(first + static_cast<uint64_t>(i)));
            rc = 3;
        }
    }
    gsq_c_uninit();
    return rc;
}
