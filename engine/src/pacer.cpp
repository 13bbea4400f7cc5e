#include "pacer.h"

#include <algorithm>
#include <thread>

namespace {

bool should_stop(const std::atomic<bool> &stop_requested, const std::atomic<bool> *running)
{
    return stop_requested.load() || (running != nullptr && !running->load());
}

} // namespace

std::chrono::steady_clock::time_point pacer_due(Pacer &pacer, int64_t time_us)
{
    using clock = std::chrono::steady_clock;
    int64_t origin_time_us = 0;
    clock::time_point origin_instant;
    {
        std::lock_guard<std::mutex> lock(pacer.mutex);
        if (!pacer.started) {
            pacer.started = true;
            pacer.origin_time_us = time_us;
            pacer.origin_instant = clock::now();
        }
        origin_time_us = pacer.origin_time_us;
        origin_instant = pacer.origin_instant;
    }
    // Packets from before the origin are due at once.
    const int64_t ahead_us = time_us > origin_time_us ? time_us - origin_time_us : 0;
    return origin_instant + std::chrono::microseconds(ahead_us);
}

bool pacer_wait(Pacer &pacer, int64_t time_us, const std::atomic<bool> &stop_requested,
                const std::atomic<bool> *running)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point due = pacer_due(pacer, time_us);

    for (;;) {
        if (should_stop(stop_requested, running))
            return false;
        const clock::time_point now = clock::now();
        if (now >= due)
            return true;
        const auto remaining = std::chrono::duration_cast<clock::duration>(due - now);
        std::this_thread::sleep_for(
            std::min<clock::duration>(remaining, std::chrono::duration_cast<clock::duration>(PACER_SLICE)));
    }
}

bool pacer_wait_running(Pacer &pacer, int64_t time_us, const std::atomic<bool> &running)
{
    static const std::atomic<bool> never{false};
    return pacer_wait(pacer, time_us, never, &running);
}
