#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

// Longest single sleep while waiting for a packet's due time, so a stop is seen quickly.
constexpr std::chrono::milliseconds PACER_SLICE{20};

// Real-time clock shared by every packet of one run, whichever input it comes from. The
// first packet that reaches it fixes the origin; every later packet is due at origin
// instant + (time - origin time). The pipelines pace each packet just before writing it;
// a reader given a pacer paces what it queues instead.
struct Pacer {
    std::mutex mutex;  // guards started, origin_time_us, origin_instant
    bool started = false;
    int64_t origin_time_us = 0;
    std::chrono::steady_clock::time_point origin_instant{};
};

// The instant at which packet time `time_us` is due; the first call fixes the origin.
std::chrono::steady_clock::time_point pacer_due(Pacer &pacer, int64_t time_us);

// Waits until the packet time `time_us` is due. Returns false (early or at the due
// instant) when `stop_requested` is set or `running` is non-null and reads false.
bool pacer_wait(Pacer &pacer, int64_t time_us, const std::atomic<bool> &stop_requested,
                const std::atomic<bool> *running);

// The pipeline's wait before it writes a packet: as pacer_wait, ended early only by
// `running` turning false.
bool pacer_wait_running(Pacer &pacer, int64_t time_us, const std::atomic<bool> &running);
