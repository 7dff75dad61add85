// The commands that act through the library: dump, create, destroy and reset, each reporting
// the library's result code with what it means.
#include <cerrno>
#include <cstdio>
#include <initializer_list>

#include <fmt/format.h>

#include "include/brenn.h"
#include "tools/brennctl/commands.h"
#include "tools/brennctl/snapshot.h"

namespace brennctl {

namespace {

struct Meaning {
    int32_t rc;
    const char *text;
};

const char *meaning(std::initializer_list<Meaning> table, int32_t rc) {
    for (const Meaning &m : table) {
        if (m.rc == rc) return m.text;
    }
    return "unknown result";
}

const char *create_meaning(int32_t rc) {
    return meaning({{0, "the shared system is up"},
                    {BRENN_SET_CREATE_FAILED,
                     "a semaphore set could not be created (is the system up already?)"},
                    {BRENN_SEGMENT_CREATE_FAILED, "the segment could not be created"},
                    {BRENN_ATTACH_FAILED, "the segment could not be attached"}},
                   rc);
}

const char *destroy_meaning(int32_t rc) {
    return meaning({{0, "segment and semaphore sets removed"},
                    {BRENN_DETACH_FAILED, "detaching the segment failed"},
                    {BRENN_SEGMENT_REMOVAL_FAILED, "removing the segment failed"},
                    {BRENN_SET_REMOVAL_FAILED, "removing a semaphore set failed"}},
                   rc);
}

const char *reset_meaning(int32_t rc) {
    return meaning({{0, "every queue freed, stuck locks released"},
                    {BRENN_NOT_ATTACHED, "not attached"},
                    {BRENN_SET_REMOVAL_FAILED, "removing a stuck semaphore set failed"},
                    {BRENN_SET_CREATE_FAILED, "creating a stuck semaphore set again failed"}},
                   rc);
}

// Reports a lifecycle call's result: on standard output when it succeeded, else as a failure.
int report(const char *call, int32_t rc, const char *meaning) {
    if (rc != 0) throw Failure(kFailed, fmt::format("{}: {}: {}", call, rc, meaning));
    fmt::print("{}: 0: {}\n", call, meaning);
    return kOk;
}

// Attaches this process the library's way (read-write) for the calls that need it.
void attach() {
    const int32_t rc = gsq_c_init();
    const int e = errno;
    if (rc == 0) return;
    if (rc == BRENN_NO_SEGMENT)
        throw Failure(kNotUp, "the shared system is not up (gsq_c_init: -2: no segment)");
    if (rc == BRENN_ATTACH_FAILED && e == EACCES) {
        throw Failure(kDenied, "gsq_c_init: -3: permission denied attaching the segment");
    }
    throw Failure(kFailed,
                  fmt::format("gsq_c_init: {}: {}", rc,
                              rc == BRENN_ATTACH_FAILED ? "attaching the segment failed"
                                                        : "a semaphore set was not found"));
}

// destroy and reset free every queue for every process: they need --yes while any is
// allocated.
void refuse_unless(bool yes, const char *what) {
    int32_t count = 0;
    int32_t attached = 0;
    try {
        Segment seg;
        for (int32_t q = 0; q < brenn::shared::kQueueCount; ++q)
            count += seg.allocated(q);
        attached = seg.attached_processes() - 1;
    } catch (const Failure &f) {
        if (f.code != kNotUp) throw;  // sets without a segment: nothing allocated
    }
    if (count > 0 && !yes) {
        throw Failure(kRefused, fmt::format("{} queue(s) are allocated ({} other process(es) "
                                            "attached); {} frees them for every process: give "
                                            "--yes to go on",
                                            count, attached, what));
    }
}

}  // namespace

int run_dump(int32_t q) {
    { Segment check; }  // the same errors as the read-only commands
    attach();
    const bool allocated = gsq_c_ready(q) != 0;
    gsq_c_dump(q);
    std::fflush(stdout);
    gsq_c_uninit();
    if (!allocated) throw Failure(kNoQueue, fmt::format("queue {} is not allocated", q));
    return kOk;
}

int run_create() {
    const int32_t rc = gsq_c_create();
    std::fflush(stdout);          // the library's own message comes first
    if (rc == 0) gsq_c_uninit();  // the system stays up for the others
    return report("gsq_c_create", rc, create_meaning(rc));
}

int run_destroy(bool yes) {
    if (!system_present()) {
        throw Failure(kNotUp, "the shared system is not up: nothing to destroy");
    }
    refuse_unless(yes, "destroy");
    gsq_c_fast_init();  // ids only: destroy removes whatever of the system is there
    const int32_t rc = gsq_c_destroy();
    std::fflush(stdout);
    return report("gsq_c_destroy", rc, destroy_meaning(rc));
}

int run_reset(bool yes) {
    refuse_unless(yes, "reset");
    { Segment check; }
    attach();
    const int32_t rc = gsq_c_reset();
    std::fflush(stdout);
    gsq_c_uninit();
    return report("gsq_c_reset", rc, reset_meaning(rc));
}

}  // namespace brennctl
