// The shared real-time clock: origin from the first packet, due instants for later
// ones, and prompt release on a stop.

#include "pacer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds since(Clock::time_point start)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

} // namespace

TEST(Pacer, FirstPacketFixesTheOriginAndLaterOnesWaitTheirDistance)
{
    Pacer pacer;
    std::atomic<bool> stop{false};
    std::atomic<bool> running{true};
    const auto start = Clock::now();
    EXPECT_TRUE(pacer_wait(pacer, 5'000'000, stop, &running));
    EXPECT_LT(since(start), milliseconds(50));
    {
        std::lock_guard<std::mutex> lock(pacer.mutex);
        EXPECT_TRUE(pacer.started);
        EXPECT_EQ(pacer.origin_time_us, 5'000'000);
    }
    const Clock::time_point origin = pacer.origin_instant;

    struct Step {
        int64_t time_us;
        milliseconds due_after_origin;
    };
    const Step steps[] = {
        {5'100'000, milliseconds(100)},
        {5'300'000, milliseconds(300)},
        {4'000'000, milliseconds(0)},  // before the origin: at once
        {5'300'000, milliseconds(300)},
    };
    for (const Step &step : steps) {
        const auto called = Clock::now();
        EXPECT_TRUE(pacer_wait(pacer, step.time_us, stop, &running));
        const auto released = Clock::now();
        const auto due = origin + step.due_after_origin;
        EXPECT_GE(released, due) << step.time_us;
        EXPECT_LT(released, std::max(called, due) + milliseconds(250)) << step.time_us;
    }
}

TEST(Pacer, PacketBeforeTheOriginIsReleasedAtOnce)
{
    Pacer pacer;
    std::atomic<bool> stop{false};
    ASSERT_TRUE(pacer_wait(pacer, 10'000'000, stop, nullptr));
    const auto start = Clock::now();
    EXPECT_TRUE(pacer_wait(pacer, 0, stop, nullptr));
    EXPECT_LT(since(start), milliseconds(50));
}

TEST(Pacer, InputsSharingOnePacerFollowOneClock)
{
    Pacer pacer;
    std::atomic<bool> stop_a{false};
    std::atomic<bool> stop_b{false};
    ASSERT_TRUE(pacer_wait(pacer, 1'000'000, stop_a, nullptr));
    const Clock::time_point origin = pacer.origin_instant;
    Clock::time_point released_b;
    std::thread other([&] {
        EXPECT_TRUE(pacer_wait(pacer, 1'200'000, stop_b, nullptr));
        released_b = Clock::now();
    });
    EXPECT_TRUE(pacer_wait(pacer, 1'100'000, stop_a, nullptr));
    const auto released_a = Clock::now();
    other.join();
    EXPECT_GE(released_a, origin + milliseconds(100));
    EXPECT_GE(released_b, origin + milliseconds(200));
    EXPECT_LT(released_b, origin + milliseconds(450));
}

TEST(Pacer, StopCutsALongWaitShort)
{
    struct Case {
        const char *name;
        bool clear_running;
    };
    for (const Case c : {Case{"stop requested", false}, Case{"running cleared", true}}) {
        Pacer pacer;
        std::atomic<bool> stop{false};
        std::atomic<bool> running{true};
        ASSERT_TRUE(pacer_wait(pacer, 0, stop, &running));
        std::thread stopper([&] {
            std::this_thread::sleep_for(milliseconds(100));
            if (c.clear_running)
                running = false;
            else
                stop = true;
        });
        const auto start = Clock::now();
        EXPECT_FALSE(pacer_wait(pacer, 60'000'000, stop, &running)) << c.name;
        const auto waited = since(start);
        stopper.join();
        // Noticed within one 20 ms slice, plus generous scheduling slack.
        EXPECT_LT(waited, milliseconds(100 + 20 + 200)) << c.name;
        EXPECT_GE(waited, milliseconds(90)) << c.name;
    }
}

TEST(Pacer, AlreadyStoppedReturnsFalseEvenWhenDue)
{
    Pacer pacer;
    std::atomic<bool> stop{true};
    std::atomic<bool> running{true};
    EXPECT_FALSE(pacer_wait(pacer, 0, stop, &running));
    stop = false;
    running = false;
    EXPECT_FALSE(pacer_wait(pacer, 0, stop, &running));
    EXPECT_TRUE(pacer_wait(pacer, 0, stop, nullptr));
}
