#include "stop_control.h"

#include "loopback_services.h"
#include "process_watch.h"
#include "srt_output.h"
#include "stop_event.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <future>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string shm_path(long pid) { return "/dev/shm/sem" + stop_event_name(pid).replace(0, 1, "."); }

bool exists(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Runs event.wait() on a thread; ready() tells whether it returned within the time.
class Waiter {
public:
    explicit Waiter(StopEvent &event) : event_(event), done_(std::async(std::launch::async, [&] { event_.wait(); })) {}
    ~Waiter()
    {
        // Never leave the thread blocked: set the event ourselves if the test did not.
        if (done_.wait_for(0s) != std::future_status::ready)
            event_.set();
        done_.wait();
    }
    bool ready_within(std::chrono::milliseconds limit) { return done_.wait_for(limit) == std::future_status::ready; }

private:
    StopEvent &event_;
    std::future<void> done_;
};

// A child process that ends on its own after `life` (or at once when life is 0).
pid_t spawn_child(std::chrono::milliseconds life)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (life.count() > 0)
            usleep(static_cast<useconds_t>(life.count() * 1000));
        _exit(0);
    }
    return pid;
}

class StopControlTest : public testing::Test {
protected:
    void TearDown() override
    {
        keep_running = true;
        stop_event_armed = true;
    }
};

TEST_F(StopControlTest, EventSetByNameFromAnotherProcessEndsTheWait)
{
    StopEvent event;
    const long self = current_process_id();
    ASSERT_TRUE(event.create(self));
    struct stat st {};
    ASSERT_EQ(::stat(shm_path(self).c_str(), &st), 0) << shm_path(self);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    Waiter waiter(event);
    EXPECT_FALSE(waiter.ready_within(200ms)) << "a new event must start unset";
    const pid_t child = fork();
    if (child == 0)
        _exit(signal_stop_event(getppid()) ? 0 : 1);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process could not set the event";
    EXPECT_TRUE(waiter.ready_within(5s));
}

TEST_F(StopControlTest, EventNamedWithAnotherIdDoesNothing)
{
    StopEvent event;
    const long self = current_process_id();
    ASSERT_TRUE(event.create(self));
    Waiter waiter(event);
    // The line number (1) and a neighbour id name events nobody created.
    EXPECT_FALSE(signal_stop_event(1));
    EXPECT_FALSE(signal_stop_event(self + 100000));
    EXPECT_FALSE(signal_stop_event(0));
    EXPECT_FALSE(waiter.ready_within(300ms));
    EXPECT_TRUE(signal_stop_event(self));
    EXPECT_TRUE(waiter.ready_within(5s));
}

TEST_F(StopControlTest, EventStaysSetAndItsNameGoesAwayOnClose)
{
    StopEvent event;
    const long self = current_process_id();
    ASSERT_TRUE(event.create(self));
    event.set();
    for (int i = 0; i < 2; ++i) {
        Waiter waiter(event);
        EXPECT_TRUE(waiter.ready_within(2s)) << "wait " << i;
    }
    event.close();
    EXPECT_FALSE(event.valid());
    EXPECT_FALSE(exists(shm_path(self)));
    EXPECT_FALSE(signal_stop_event(self));
    event.close();   // a second close is harmless
}

TEST_F(StopControlTest, StaleSetEventOfTheSameNameIsReplaced)
{
    const long self = current_process_id();
    sem_t *stale = sem_open(stop_event_name(self).c_str(), O_CREAT, 0600, 1);
    ASSERT_NE(stale, SEM_FAILED);
    sem_close(stale);
    StopEvent event;
    ASSERT_TRUE(event.create(self));
    Waiter waiter(event);
    EXPECT_FALSE(waiter.ready_within(300ms)) << "a left-over set event stopped the new run";
}

TEST_F(StopControlTest, StopEventThreadStopsTheRunAndAbortsTheActiveOutputOnlyWhenArmed)
{
    LoopbackSrtListener listener;
    std::string error;
    ASSERT_TRUE(listener.start("/dev/null", {"--accepts", "0"}, error)) << error;
    for (const bool armed : {true, false}) {
        SCOPED_TRACE(armed ? "armed" : "disarmed");
        keep_running = true;
        stop_event_armed = armed;
        SrtOutput output;
        ASSERT_TRUE(output.start(listener.url("?streamid=stop"), error)) << error;
        StopEvent event;
        ASSERT_TRUE(event.create(current_process_id()));
        std::thread waiter(wait_for_stop_event, std::ref(event));
        testing::internal::CaptureStderr();
        EXPECT_TRUE(signal_stop_event(current_process_id()));
        waiter.join();
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(keep_running.load(), !armed);
        EXPECT_EQ(output.aborted.load(), armed);
        EXPECT_EQ(log.find("SRT closed, buffered TS dropped") != std::string::npos, armed) << log;
        output.close();
    }
}

TEST_F(StopControlTest, ProcessIsRunningTellsLivingFromGoneProcesses)
{
    EXPECT_TRUE(process_is_running(current_process_id()));
    EXPECT_FALSE(process_is_running(0));
    EXPECT_FALSE(process_is_running(-1));

    const pid_t living = spawn_child(10s);
    ASSERT_GT(living, 0);
    EXPECT_TRUE(process_is_running(living));
    kill(living, SIGKILL);

    // Ended but not collected: still has an id, yet counts as gone.
    const auto until = Clock::now() + 5s;
    std::string state;
    while (Clock::now() < until) {
        std::ifstream stat_file("/proc/" + std::to_string(living) + "/stat");
        std::getline(stat_file, state);
        if (state.find(") Z ") != std::string::npos)
            break;
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_NE(state.find(") Z "), std::string::npos) << state;
    EXPECT_FALSE(process_is_running(living));
    waitpid(living, nullptr, 0);
    EXPECT_FALSE(process_is_running(living));
}

TEST_F(StopControlTest, ParentWatchClearsTheFlagWhenTheProcessIsOrBecomesGone)
{
    struct Case {
        const char *name;
        std::chrono::milliseconds life;   // how long the watched process lives
    };
    for (const Case &c : {Case{"already gone", 0ms}, Case{"ends later", 400ms}}) {
        SCOPED_TRACE(c.name);
        const pid_t child = spawn_child(c.life);
        ASSERT_GT(child, 0);
        if (c.life.count() == 0)
            waitpid(child, nullptr, 0);
        std::atomic<bool> flag{true};
        std::atomic<long long> cleared_at_ms{-1};
        const auto begin = Clock::now();
        std::thread watcher([&] {
            watch_parent(child, flag);
            cleared_at_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
        });
        if (c.life.count() > 0) {
            EXPECT_EQ(waitpid(child, nullptr, 0), child);
        }
        const auto ended_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
        watcher.join();
        EXPECT_FALSE(flag.load());
        // One poll interval plus generous slack for a loaded machine.
        EXPECT_LE(cleared_at_ms.load(), ended_ms + 100 + 400) << "ended at " << ended_ms;
        if (c.life.count() > 0) {
            EXPECT_GE(cleared_at_ms.load(), c.life.count() - 50) << "cleared while the process still lived";
        }
    }
}

TEST_F(StopControlTest, ParentWatchEndsWithoutChangesOnceTheFlagIsCleared)
{
    std::atomic<bool> flag{false};
    watch_parent(current_process_id(), flag);   // returns at once
    EXPECT_FALSE(flag.load());

    flag = true;
    std::thread watcher([&] { watch_parent(current_process_id(), flag); });
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(flag.load()) << "a living process was taken for gone";
    const auto begin = Clock::now();
    flag = false;
    watcher.join();
    EXPECT_LT(Clock::now() - begin, 1s);
}

TEST_F(StopControlTest, SigintAndSigtermClearKeepRunningOtherSignalsDoNot)
{
    install_stop_signal_handlers();
    for (const int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        keep_running = true;
        ASSERT_EQ(std::raise(sig), 0);
        EXPECT_FALSE(keep_running.load());
    }
    keep_running = true;
    on_stop_signal(SIGUSR1);
    on_stop_signal(SIGHUP);
    EXPECT_TRUE(keep_running.load());
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

TEST_F(StopControlTest, ShutdownWakesTheDisarmedThreadJoinsAllAndRemovesTheEvent)
{
    LoopbackSrtListener listener;
    std::string error;
    ASSERT_TRUE(listener.start("/dev/null", {}, error)) << error;
    SrtOutput output;
    ASSERT_TRUE(output.start(listener.url("?streamid=shutdown"), error)) << error;
    const pid_t watched = spawn_child(30s);
    ASSERT_GT(watched, 0);

    StopControl control;
    start_stop_control(control, watched);
    ASSERT_TRUE(control.event.valid());
    EXPECT_TRUE(control.event_thread.joinable());
    EXPECT_TRUE(control.watch_thread.joinable());
    EXPECT_TRUE(exists(shm_path(current_process_id())));

    const auto begin = Clock::now();
    shut_down_stop_control(control);
    EXPECT_LT(Clock::now() - begin, 2s);
    EXPECT_FALSE(control.event_thread.joinable());
    EXPECT_FALSE(control.watch_thread.joinable());
    EXPECT_FALSE(keep_running.load());
    EXPECT_FALSE(exists(shm_path(current_process_id())));
    // The run driver's own wake-up must not abort anything.
    EXPECT_FALSE(output.aborted.load());
    kill(watched, SIGKILL);
    waitpid(watched, nullptr, 0);
    output.close();
}

} // namespace
