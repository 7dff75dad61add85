// What fanout measures: a way of handing 64-bit handles from one producer to consumers, each
// consumer getting them in order. Channel 0 carries the fan-out; the round trip adds channel 1,
// on which the echoing consumer writes and the producer is consumer 0. Consumer 0 of a channel
// is its main reader, whose pace holds the producer back; the others follow.
#pragma once

#include <cstdint>

namespace fanout {

inline constexpr int kRingNodes = 256;
inline constexpr int kMaxConsumers = 16;
inline constexpr int kMaxChannels = 2;

struct Mechanism {
    const char *name;
    // Consumers run as processes (fork) or as threads of the producer's process.
    bool processes;
    // Consumers other than the main reader may be overtaken and skip handles; the producer then
    // keeps writing markers (values >= the count) until every consumer has seen the end.
    bool lossy;
    // Brings the channels up in the producer's process, before any consumer starts; false
    // (with a line on standard error) when that cannot be done here.
    bool (*setup)(int channels, int consumers);
    // The producer's write; blocks while the main reader has not taken the oldest handle.
    void (*put)(int channel, uint64_t handle);
    // Consumer c's next handle; blocks until there is one.
    uint64_t (*take)(int channel, int consumer);
    // Undoes what setup did, also when setup failed half-way; after every consumer has ended.
    void (*teardown)();
};

extern const Mechanism kBrennShared;
extern const Mechanism kBrennSharedThreads;
extern const Mechanism kBrennLocal;
extern const Mechanism kPipes;
extern const Mechanism kMessageQueues;
extern const Mechanism kMutexRingProcesses;
extern const Mechanism kMutexRingThreads;

}  // namespace fanout
