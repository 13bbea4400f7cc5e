// Stopping a running engine process from outside: its named stop event, signals and
// the watched parent process; and no stop event left behind however it ends.
#include "loopback_services.h"
#include "process_runner.h"
#include "stop_event.h"
#include "test_media.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool stop_event_exists(long pid)
{
    struct stat st {};
    const std::string path = "/dev/shm/sem" + stop_event_name(pid).replace(0, 1, ".");
    return ::stat(path.c_str(), &st) == 0;
}

class EngineStop : public testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        // Serves every engine run of a test, one after the other.
        ASSERT_TRUE(listener.start("/dev/null", {"--accepts", "0"}, error)) << error;
    }

    // Starts the engine on `media` and waits until it streams.
    void start_streaming(ChildProcess &engine, const std::string &media, const std::vector<std::string> &extra)
    {
        std::vector<std::string> args = {"--media-url", media, "--srt-url", listener.url("?streamid=stop")};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string error;
        ASSERT_TRUE(engine.start(bin_path("kby_nuvix"), args, {}, error)) << error;
        ASSERT_TRUE(engine.wait_for_stdout("{\"event\":\"running\"}", 30s))
            << engine.stdout_text() << engine.stderr_text();
        EXPECT_TRUE(stop_event_exists(engine.pid())) << "a streaming engine has no stop event";
    }

    LoopbackSrtListener listener;
};

TEST_F(EngineStop, OutsideStopsEndTheRunQuietlyWithCodeZero)
{
    const std::string media = test_media::h264_aac_mp4(30.0);
    ASSERT_FALSE(media.empty());
    enum How { EVENT, STOP_PROGRAM, SIGNAL_TERM, SIGNAL_INT, PARENT_ENDS };
    struct Case {
        const char *name;
        How how;
    };
    for (const Case &c : {Case{"stop event", EVENT}, Case{"kby_nuvix_stop program", STOP_PROGRAM},
                          Case{"SIGTERM", SIGNAL_TERM}, Case{"SIGINT", SIGNAL_INT},
                          Case{"watched process ends", PARENT_ENDS}}) {
        SCOPED_TRACE(c.name);
        ChildProcess engine;

        pid_t watched = -1;
        std::vector<std::string> extra;
        if (c.how == PARENT_ENDS) {
            watched = fork();
            if (watched == 0) {
                usleep(30 * 1000 * 1000);
                _exit(0);
            }
            ASSERT_GT(watched, 0);
            extra = {"--watch-pid", std::to_string(watched)};
        }
        start_streaming(engine, media, extra);
        if (HasFatalFailure())
            return;
        const long pid = engine.pid();

        if (c.how == EVENT) {
            // An event named after anything but the engine's id reaches nobody.
            EXPECT_FALSE(signal_stop_event(1));
            std::this_thread::sleep_for(300ms);
            EXPECT_TRUE(stop_event_exists(pid)) << "the engine ended without being stopped";
        }
        const auto begin = Clock::now();
        switch (c.how) {
        case EVENT:
            EXPECT_TRUE(signal_stop_event(pid));
            break;
        case STOP_PROGRAM: {
            const ProcessResult stopper = run_process(bin_path("kby_nuvix_stop"), {std::to_string(pid)});
            EXPECT_EQ(stopper.exit_code, 0) << stopper.err;
            break;
        }
        case SIGNAL_TERM:
            engine.send_signal(SIGTERM);
            break;
        case SIGNAL_INT:
            engine.send_signal(SIGINT);
            break;
        case PARENT_ENDS:
            kill(watched, SIGKILL);
            waitpid(watched, nullptr, 0);
            break;
        }
        const ProcessResult result = engine.wait(15s);
        const auto took = Clock::now() - begin;
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_LT(took, 5s) << "the stop took too long";
        EXPECT_EQ(result.out.find("\"eof\""), std::string::npos) << result.out;
        EXPECT_EQ(result.out.find("\"error\""), std::string::npos) << result.out;
        EXPECT_NE(result.err.find("SRT closed, buffered TS dropped"), std::string::npos) << result.err;
        EXPECT_FALSE(stop_event_exists(pid)) << "stop event left behind";
    }
}

TEST_F(EngineStop, NoStopEventIsLeftAfterANormalEndOrAnArgumentError)
{
    const std::string media = test_media::h264_aac_mp4(1.0);
    ASSERT_FALSE(media.empty());
    {
        ChildProcess engine;
        std::string error;
        ASSERT_TRUE(engine.start(bin_path("kby_nuvix"),
                                 {"--media-url", media, "--srt-url", listener.url("?streamid=end")}, {}, error))
            << error;
        const long pid = engine.pid();
        const ProcessResult result = engine.wait(30s);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_NE(result.out.find("{\"event\":\"eof\"}"), std::string::npos) << result.out;
        // The driver's own wake-up of the stop-event thread aborts nothing early: the
        // one drop line comes from the muxer's end, after the high-water line.
        EXPECT_LT(result.err.find("SRT queue high-water"), result.err.find("SRT closed, buffered TS dropped"))
            << result.err;
        EXPECT_FALSE(stop_event_exists(pid));
    }
    {
        ChildProcess refused;
        std::string error;
        ASSERT_TRUE(refused.start(bin_path("kby_nuvix"), {"--media-url", media}, {}, error)) << error;
        const long pid = refused.pid();
        const ProcessResult result = refused.wait(30s);
        EXPECT_EQ(result.exit_code, 1) << result.err;
        EXPECT_FALSE(stop_event_exists(pid));
    }
}

TEST(EngineStopProgram, RefusesBadIdsAndProcessesWithoutAStopEvent)
{
    struct Case {
        const char *name;
        std::vector<std::string> args;
        int code;
    };
    // This test's own process is no engine: it has no stop event.
    const std::vector<Case> cases = {
        {"no argument", {}, 2},
        {"not a number", {"12abc"}, 2},
        {"zero", {"0"}, 2},
        {"two ids", {"1", "2"}, 2},
        {"a process without a stop event", {std::to_string(getpid())}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const ProcessResult result = run_process(bin_path("kby_nuvix_stop"), c.args);
        EXPECT_EQ(result.exit_code, c.code) << result.err;
    }
}

TEST_F(EngineStop, NameOfAKilledEnginesEventCanBeRemovedAfterwards)
{
    const std::string media = test_media::h264_aac_mp4(30.0);
    ASSERT_FALSE(media.empty());
    ChildProcess engine;
    start_streaming(engine, media, {});
    if (HasFatalFailure())
        return;
    const long pid = engine.pid();
    engine.send_signal(SIGKILL);
    const ProcessResult result = engine.wait(10s);
    EXPECT_EQ(result.term_signal, SIGKILL);
    // A killed engine cannot clean up; whoever saw it end removes the name.
    EXPECT_TRUE(stop_event_exists(pid));
    remove_stop_event(pid);
    EXPECT_FALSE(stop_event_exists(pid));
    EXPECT_FALSE(signal_stop_event(pid));
    remove_stop_event(pid);   // nothing left: harmless
}

TEST_F(EngineStop, WatchedProcessGoneFromTheStartEndsTheRunEarly)
{
    const std::string media = test_media::h264_aac_mp4(30.0);
    ASSERT_FALSE(media.empty());
    const pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    ASSERT_GT(gone, 0);
    waitpid(gone, nullptr, 0);
    const auto begin = Clock::now();
    const ProcessResult result =
        run_process(bin_path("kby_nuvix"),
                    {"--media-url", media, "--srt-url", listener.url("?streamid=gone"), "--watch-pid",
                     std::to_string(gone)},
                    30s);
    EXPECT_LT(Clock::now() - begin, 10s) << "the engine streamed on without its parent";
    // Stopped after opening (0) or while opening the input (2) or the output (3).
    EXPECT_TRUE(result.exit_code == 0 || result.exit_code == 2 || result.exit_code == 3) << result.exit_code;
    EXPECT_EQ(result.out.find("\"eof\""), std::string::npos) << result.out;
}

} // namespace
