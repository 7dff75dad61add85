// The probes' semaphores: one per probe, in the .probes section where tracers look for them
// (the notes give their addresses). Only built with the probes (cmake/tracing.cmake).
#include "engine/trace.h"

#define BRENN_DEFINE_SEMAPHORE(probe, ...) \
    __attribute__((section(".probes"))) unsigned short brenn_##probe##_semaphore = 0;
extern "C" {
BRENN_PROBE_LIST(BRENN_DEFINE_SEMAPHORE)
}
