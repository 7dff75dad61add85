// frame_pipeline: a camera-like pipeline on brenn's queues, through the C++ owners of brenn.hpp
// where they make ownership plain and the C interface elsewhere.
//
// Stage 1, threads of one process on a dynamic local queue: a camera thread writes frames
// (handles 0xF0000000 + n, timestamps 40 ms apart) and gets the evicted handles back; the main
// thread is the queue's main reader (the encoder); three peek sessions follow the same ring: a
// recorder that keeps up, a slow analyser that skips frames, and a look-back that fetches the
// second before an event. While they run, the window shrinks and grows and the ring gets more
// nodes. Stage 2 runs a producer and two consumers as processes on a dynamic shared queue.
//
// Every handle the camera hands in comes back to it exactly once: evicted by a later write,
// dropped by a window shrink, or taken out by the final clean. The program checks that and
// exits 1 when anything is off, so it also serves as a test.
//
// FRAME_PIPELINE_HOLD=SECONDS keeps stage 2's shared system up for about that many seconds: the
// producer spreads its frames over them while the consumers follow, so that an operator can run
// `brennctl list`, `brennctl status Q` or `brennctl watch Q` against it. Unset, it runs at full
// speed (as under CTest).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "brenn.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int64_t kStartMs = 1733450205000;  // the first frame's time, milliseconds since 1970
constexpr int64_t kFrameMs = 40;             // 25 frames a second
constexpr int64_t ts_of(int n) {
    return kStartMs + n * kFrameMs;
}

// Shows a handle, or "-" for the "no buffer" handle.
struct Hex {
    char text[24];
    explicit Hex(uint64_t h) {
        if (h == BRENN_NO_HANDLE) {
            std::snprintf(text, sizeof text, "-");
        } else {
            std::snprintf(text, sizeof text, "0x%08" PRIX64, h);
        }
    }
};

[[noreturn]] void fail(const char *what) {
    std::printf("frame_pipeline: FAILED: %s\n", what);
    std::fflush(stdout);
    std::_Exit(1);
}

// Polls until `done` holds; false after `limit`. Every wait of the program is bounded.
template <typename Pred>
bool wait_until(Pred done, std::chrono::milliseconds limit = 5000ms) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(100us);
    }
    return true;
}

// What a consumer saw: frames taken, frames skipped (by sequence number) and gap flags set.
struct Consumer {
    int takes = 0;
    int64_t skipped = 0;
    int gap_flags = 0;
    int64_t last_seq = -1;
    uint64_t first = BRENN_NO_HANDLE, last = BRENN_NO_HANDLE;

    void took(uint64_t h, int64_t seq, int32_t gap) {
        if (first == BRENN_NO_HANDLE) first = h;
        last = h;
        ++takes;
        skipped += seq - last_seq - 1;
        gap_flags += gap != 0 ? 1 : 0;
        last_seq = seq;
    }
};

// ---- Stage 1: local queue, threads --------------------------------------------------------

constexpr uint64_t kFrameBase = 0xF0000000;
constexpr int kFrames = 200;
constexpr int kLead = 4;     // how far the camera may run ahead of encoder and recorder
constexpr int kEvent = 150;  // the frame that raises the event
constexpr int kRing = 64;    // nodes in the window at most; the ring has one more
constexpr int kWindow = 48;

struct Local {
    brenn::LocalQueue queue;
    int32_t q = -1;  // queue.id(), for the C calls
    brenn::LocalSession recorder, analyser, look_back;
    uint64_t given_back[kFrames];  // what the write of frame n handed back to the camera
    int returned[kFrames] = {};    // how often each frame came back to the camera
    int foreign = 0;               // handles that came back but were never written
    int evicted = 0, shrunk = 0;   // handles back from writes, from window shrinks
    std::atomic<int> encoded{-1}, recorded{-1};  // the last frame each of them took
    std::atomic<bool> grown{false};              // the camera has grown the ring
    std::atomic<bool> event{false}, event_done{false};
    Consumer rec, ana;

    void back(uint64_t h) {
        if (h == BRENN_NO_HANDLE) return;
        if (h >= kFrameBase && h < kFrameBase + kFrames) {
            ++returned[h - kFrameBase];
        } else {
            ++foreign;
        }
    }
    // Window change: the dropped handles come back, oldest first, in an array that the
    // caller frees.
    struct Dropped {
        int32_t count = 0;
        uint64_t first = BRENN_NO_HANDLE, last = BRENN_NO_HANDLE;
    };
    Dropped resize(int32_t window) {
        Dropped d;
        const auto handles = queue.resize(window);
        if (!handles) fail("lsq_c_resize could not hand handles back");
        for (uint64_t h : *handles)
            back(h);
        d.count = static_cast<int32_t>(handles->size());
        if (!handles->empty()) {
            d.first = handles->span().front();
            d.last = handles->span().back();
        }
        return d;
    }
    // Before a change, the camera waits until encoder and recorder have taken every frame, so
    // that what follows prints in one order.
    void settle(int n) {
        if (!wait_until([&] { return encoded.load() == n - 1 && recorded.load() == n - 1; }))
            fail("encoder or recorder stopped taking frames");
    }
};

void camera(Local &p) {
    for (int n = 0; n < kFrames; ++n) {
        if (!wait_until(
                [&] { return n - p.encoded.load() <= kLead && n - p.recorded.load() <= kLead; }))
            fail("camera: encoder or recorder stopped taking frames");
        if (n == 60) {
            p.settle(n);
            const Local::Dropped d = p.resize(kWindow / 2);
            p.shrunk += d.count;
            std::printf("camera: window %d -> %d frames (lsq_c_resize): %d handles back, %s..%s\n",
                        kWindow, kWindow / 2, d.count, Hex(d.first).text, Hex(d.last).text);
        } else if (n == 100) {
            p.settle(n);
            std::printf("camera: ring %d -> %d nodes (lsq_c_change_queue_size), window -> 100\n",
                        lsq_c_get_queue_node_num(p.q), 2 * kRing + 1);
            std::fflush(stdout);  // the library logs the moved sessions on standard error
            if (!p.queue.change_node_count(2 * kRing + 1)) fail("lsq_c_change_queue_size");
            if (p.resize(100).count != 0) fail("a growing window handed handles back");
            p.grown.store(true);
        }
        lsq_c_write(p.q, kFrameBase + n, &p.given_back[n], ts_of(n));
        if (p.given_back[n] != BRENN_NO_HANDLE) ++p.evicted;
        p.back(p.given_back[n]);
        if (n == kEvent) {
            p.settle(n + 1);
            p.event.store(true);
            if (!wait_until([&] { return p.event_done.load(); })) fail("look-back did not finish");
        }
        std::this_thread::sleep_for(300us);
    }
}

// Takes every frame until the last one; the recorder keeps up, the analyser is slow.
void consume(Local &p, int32_t s, Consumer &c, std::atomic<int> *progress,
             std::chrono::microseconds work) {
    for (;;) {
        uint64_t h = BRENN_NO_HANDLE;
        int32_t gap = 0;
        lsq_c_peek(p.q, s, &h, &gap);
        if (h == BRENN_NO_HANDLE) fail("a consumer's peek gave no frame");
        c.took(h, lsq_c_get_cur_seq(p.q, s), gap);
        if (progress != nullptr) progress->store(static_cast<int>(h - kFrameBase));
        if (h == kFrameBase + kFrames - 1) return;
        std::this_thread::sleep_for(work);
    }
}

// At the event: hold the queue, step back one second of frames, let go; then peek forward. The
// guard lets the queue's lock go on every way out of its block.
void look_back(Local &p) {
    if (!wait_until([&] { return p.event.load(); }, 20000ms)) fail("no event came");
    const int32_t per_second = p.queue.size_by_time(1000ms);
    int32_t node_num = 0, code = 0;
    std::vector<uint64_t> saved;
    if (auto guard = p.look_back.look_back()) {
        node_num = guard->node_num();
        // lock-free: says "inside a look-back"
        lsq_c_is_data_available(p.q, p.look_back.id(), &code);
        while (static_cast<int32_t>(saved.size()) < per_second) {
            const auto step = guard->step();
            if (!step || step->handle == brenn::kNoHandle) break;
            saved.push_back(step->handle);
            if (step->last) break;
        }
    }
    std::printf(
        "look-back: event at %s; 1 s = %d frames by their timestamps; ring %d nodes, "
        "data-available code %d\n",
        Hex(kFrameBase + kEvent).text, per_second, node_num, code);
    if (saved.empty()) fail("look-back found no frame");
    std::printf("look-back: %zu steps back: %s..%s (%" PRId64 " ms before the event)\n",
                saved.size(), Hex(saved.front()).text, Hex(saved.back()).text,
                kFrameMs * static_cast<int64_t>(saved.size()));
    uint64_t h = BRENN_NO_HANDLE;
    int32_t gap = 1;
    lsq_c_peek(p.q, p.look_back.id(), &h, &gap);
    std::printf("look-back: the next peek replays from %s (gap %d)\n", Hex(h).text, gap);
    if (saved.size() != static_cast<size_t>(per_second) || h != saved.back() + 1)
        fail("look-back did not fetch the second before the event");
    p.event_done.store(true);
}

bool printed(int n) {
    for (int k : {0, 1, 47, 48, 60, 100, kEvent, 176, kFrames - 1}) {
        if (k == n) return true;
    }
    return false;
}

bool local_part() {
    std::printf("== stage 1: local dynamic queue, threads ==\n");
    static Local p;  // large; lives as long as the threads
    auto queue = brenn::LocalQueue::dynamic(kRing, kWindow, {8, 0, true, true});
    if (!queue) fail("lsq_c_dynamic_alloc");
    p.queue = std::move(*queue);
    p.q = p.queue.id();
    for (brenn::LocalSession *s : {&p.recorder, &p.analyser, &p.look_back}) {
        auto made = p.queue.create_session();
        if (!made) fail("lsq_c_create_session");
        *s = std::move(*made);
    }
    std::printf("queue %d: %d nodes, window %d; sessions recorder %d, analyser %d, look-back %d\n",
                p.q, lsq_c_get_queue_node_num(p.q), kWindow, p.recorder.id(), p.analyser.id(),
                p.look_back.id());

    std::thread cam(camera, std::ref(p));
    std::thread rec(consume, std::ref(p), p.recorder.id(), std::ref(p.rec), &p.recorded, 0us);
    std::thread ana(consume, std::ref(p), p.analyser.id(), std::ref(p.ana), nullptr, 7000us);
    std::thread lb(look_back, std::ref(p));

    // The main reader: the encoder takes every frame in order. A read that waits while the node
    // count changes keeps the node it waited for, and after a grow that node is only written
    // again when the camera has come round the larger ring: the encoder reads frame 100 only
    // once the camera has changed the count.
    for (int n = 0; n < kFrames; ++n) {
        if (n == 100 && !wait_until([&] { return p.grown.load(); })) fail("the ring never grew");
        uint64_t h = BRENN_NO_HANDLE;
        lsq_c_read(p.q, &h);
        if (h != kFrameBase + n) fail("the encoder read a frame out of order");
        if (printed(n)) {
            std::printf("encoder: read %s  seq %3d  t=+%5" PRId64
                        " ms  the write gave the camera back %s\n",
                        Hex(h).text, n, ts_of(n) - kStartMs, Hex(p.given_back[n]).text);
        }
        p.encoded.store(n);
    }
    cam.join();
    rec.join();
    ana.join();
    lb.join();

    std::printf("recorder: took %d frames, skipped %" PRId64 " (live count %" PRIu64 ")\n",
                p.rec.takes, p.rec.skipped, p.recorder.live_count());
    std::printf("analyser: took %d frames, skipped %" PRId64 " (gap flag %d times)\n", p.ana.takes,
                p.ana.skipped, p.ana.gap_flags);

    const Local::Dropped d = p.resize(4);
    const int final_shrink = d.count;
    std::printf("main: window 100 -> 4 frames: %d handles back, %s..%s; lsq_c_dump:\n",
                final_shrink, Hex(d.first).text, Hex(d.last).text);
    char text[4096] = {};
    lsq_c_dump(p.q, text, sizeof text);
    std::fputs(text, stdout);

    const auto left = p.queue.clean();
    if (!left) fail("lsq_c_clean");
    for (uint64_t h : *left)
        p.back(h);
    const int count = static_cast<int>(left->size());
    for (brenn::LocalSession *s : {&p.recorder, &p.analyser, &p.look_back})
        if (!s->close()) fail("lsq_c_destroy_session");

    int once = 0;
    for (int n = 0; n < kFrames; ++n)
        once += p.returned[n] == 1 ? 1 : 0;
    std::printf(
        "summary: %d frames written and read; back to the camera: %d by writes + %d by "
        "window shrinks + %d by clean = %d, %d of them exactly once\n",
        kFrames, p.evicted, p.shrunk + final_shrink, count,
        p.evicted + p.shrunk + final_shrink + count, once);
    p.queue.reset();  // logs its size; every handle is out of the queue by now
    return once == kFrames && p.foreign == 0 && p.rec.takes == kFrames && p.rec.skipped == 0 &&
           p.ana.takes + p.ana.skipped == kFrames;
}

// ---- Stage 2: shared queue, processes ------------------------------------------------------

constexpr uint64_t kSharedBase = 0xF1000000;
constexpr int kSharedFrames = 40;
int hold_s = 0;  // FRAME_PIPELINE_HOLD: seconds the producer spreads its frames over

struct Report {  // what a child sends back through its pipe
    int ok = 0;
    Consumer seen;
    int evicted = 0;
};

using Body = void (*)(brenn::SharedQueue &, brenn::SharedSession &, Report &);

// A child starts like a separately started program: it drops the attachment it inherited and
// joins the shared system by key. alarm() bounds it. It ends with _exit(), so the owners it
// inherited from the parent free nothing.
[[noreturn]] void child(int fd, Body body, brenn::SharedQueue &q, brenn::SharedSession &s) {
    alarm(10 + hold_s);
    Report r;
    gsq_c_uninit();
    if (auto attached = brenn::SharedSystem::attach()) {
        body(q, s, r);
        if (!attached->close()) r.ok = 0;
    }
    if (write(fd, &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(3);
    _exit(r.ok ? 0 : 2);
}

// The producer paces itself on the recorder's position, read from the shared segment.
void produce(brenn::SharedQueue &q, brenn::SharedSession &recorder, Report &r) {
    const auto pace =
        std::max<std::chrono::microseconds>(500us, 1000000us * hold_s / kSharedFrames);
    for (int n = 0; n < kSharedFrames; ++n) {
        if (!wait_until([&] { return recorder.cur_seq() >= n - 3; })) return;
        const auto back = q.write(kSharedBase + n, std::chrono::milliseconds(ts_of(n)));
        if (!back) return;
        if (*back != BRENN_NO_HANDLE) {
            r.seen.took(*back, *back - kSharedBase, 0);
            ++r.evicted;
        }
        std::this_thread::sleep_for(pace);
    }
    r.ok = 1;
}

void take_all(brenn::SharedSession &s, Report &r, std::chrono::microseconds work) {
    for (;;) {
        const auto got = s.peek();
        if (!got || got->handle == BRENN_NO_HANDLE) return;
        r.seen.took(got->handle, s.cur_seq(), got->gap);
        if (got->handle == kSharedBase + kSharedFrames - 1) break;
        std::this_thread::sleep_for(work);
    }
    r.ok = 1;
}
void record(brenn::SharedQueue &, brenn::SharedSession &s, Report &r) {
    take_all(s, r, 0us);
}
void analyse(brenn::SharedQueue &, brenn::SharedSession &s, Report &r) {
    take_all(s, r, 4000us);
}

bool shared_part() {
    std::printf("== stage 2: shared dynamic queue, processes ==\n");
    auto sys = brenn::SharedSystem::create();
    if (!sys) {
        std::printf(
            "gsq_c_create = %d: a shared system is still up (left by an earlier run?); "
            "removing it\n",
            sys.error().result);
        gsq_c_fast_init();
        std::printf("gsq_c_destroy = %d\n", gsq_c_destroy());
        sys = brenn::SharedSystem::create();
        if (!sys) {
            std::printf("gsq_c_create = %d again: giving up\n", sys.error().result);
            gsq_c_destroy();  // whatever this attempt made
            return false;
        }
    }
    bool ok = false;
    brenn::SharedQueue q =
        brenn::SharedQueue::dynamic(7, 6, {4, 0, true, true}).value_or(brenn::SharedQueue{});
    brenn::SharedSession recorder, analyser;
    if (q) recorder = q.create_session().value_or(brenn::SharedSession{});
    if (q) analyser = q.create_session().value_or(brenn::SharedSession{});
    struct Child {
        const char *name;
        Body body;
        brenn::SharedSession *session;
        pid_t pid = -1;
        int fd = -1;
        Report r;
    } children[] = {{"producer", produce, &recorder, -1, -1, {}},
                    {"recorder", record, &recorder, -1, -1, {}},
                    {"analyser", analyse, &analyser, -1, -1, {}}};
    if (!q || !recorder || !analyser) {
        std::printf("shared queue or sessions not allocated\n");
    } else {
        std::printf("queue %d: %d nodes, window 6; sessions recorder %d, analyser %d\n", q.id(),
                    q.node_num().value_or(-1), recorder.id(), analyser.id());
        std::printf("watch it live: brennctl watch %d   (or brennctl list / status %d)\n", q.id(),
                    q.id());
        std::fflush(stdout);
        for (Child &c : children) {
            int fds[2];
            if (pipe(fds) != 0) break;
            c.pid = fork();
            if (c.pid == 0) {
                close(fds[0]);
                child(fds[1], c.body, q, *c.session);
            }
            close(fds[1]);
            c.fd = fds[0];
            if (c.pid < 0) break;
        }
        // Wait for the children, at most 15 s (plus the hold); one still running then is killed.
        bool all_ok = true;
        const auto end = Clock::now() + 15s + 1s * hold_s;
        for (Child &c : children) {
            int status = 0;
            while (c.pid > 0 && waitpid(c.pid, &status, WNOHANG) == 0) {
                if (Clock::now() > end) {
                    kill(c.pid, SIGKILL);
                    waitpid(c.pid, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(2ms);
            }
            const bool got = c.fd >= 0 && read(c.fd, &c.r, sizeof c.r) == sizeof c.r;
            if (c.fd >= 0) close(c.fd);
            if (c.pid <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !got || !c.r.ok) {
                std::printf("%s: FAILED (status %d)\n", c.name, status);
                all_ok = false;
            }
        }
        if (all_ok) {
            const Report &pr = children[0].r;
            std::printf("producer: wrote %d frames %s..%s, got %d evicted back (%s..%s)\n",
                        kSharedFrames, Hex(kSharedBase).text,
                        Hex(kSharedBase + kSharedFrames - 1).text, pr.evicted,
                        Hex(pr.seen.first).text, Hex(pr.seen.last).text);
            for (const Child &c : {children[1], children[2]}) {
                std::printf("%s: took %d frames %s..%s, skipped %" PRId64 " (gap flag %d times)\n",
                            c.name, c.r.seen.takes, Hex(c.r.seen.first).text,
                            Hex(c.r.seen.last).text, c.r.seen.skipped, c.r.seen.gap_flags);
            }
            std::printf("gsq_c_dump:\n");
            std::fflush(stdout);
            gsq_c_dump(q.id());
            std::fflush(stdout);
            // The producer got the oldest frames back one after the other (no skip); the clean
            // hands out exactly the rest, oldest first.
            const auto left = q.clean();
            const int count = left ? static_cast<int>(left->size()) : 0;
            bool rest = left && pr.evicted + count == kSharedFrames;
            for (int32_t i = 0; rest && i < count; ++i)
                rest = (*left)[i] == kSharedBase + pr.evicted + i;
            std::printf("summary: %d written = %d evicted + %d cleaned from the window, %s\n",
                        kSharedFrames, pr.evicted, count,
                        rest ? "each exactly once" : "NOT each exactly once");
            ok = rest && pr.seen.skipped == 0 && pr.seen.first == kSharedBase &&
                 children[1].r.seen.takes == kSharedFrames &&
                 children[2].r.seen.takes + children[2].r.seen.skipped == kSharedFrames;
        }
    }
    // Sessions go before their queue, and every owner before the system.
    const bool rec_closed(recorder.close()), ana_closed(analyser.close());
    q.reset();
    const auto closed = sys->close();
    const int32_t rc = closed ? 0 : closed.error().result;
    std::printf("gsq_c_destroy = %d: segment and semaphore sets removed\n", rc);
    return ok && rec_closed && ana_closed && rc == 0;
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // keep our lines in order with the library's logs
    alarm(30);                                 // stage 1 has no business running longer
    const bool local_ok = local_part();
    alarm(0);
    if (const char *hold = std::getenv("FRAME_PIPELINE_HOLD"))
        hold_s = std::clamp(std::atoi(hold), 0, 3600);
    const bool shared_ok = shared_part();
    std::printf("frame_pipeline: %s\n", local_ok && shared_ok ? "ok" : "FAILED");
    return local_ok && shared_ok ? 0 : 1;
}
