// Faults from outside while the real engine runs over loopback: sources that go silent,
// send garbage or lose their segments part-way; receivers that stop reading, freeze or
// die; stops that arrive while an input or the SRT connection is still opening; and many
// start/stop cycles in one process that must leave nothing behind.

#include "relay_harness.h"

#include "media_probe.h"
#include "run_driver.h"
#include "stop_control.h"
#include "stop_event.h"
#include "test_media.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> STREAM_FAILED = {event_line("opening_inputs"), event_line("srt_connected"),
                                                event_line("running"), event_line("error", "stream_failed")};

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

bool path_exists(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The named semaphore that stands for the stop event of engine `pid`.
std::string stop_event_path(long pid) { return "/dev/shm/sem" + stop_event_name(pid).replace(0, 1, "."); }

size_t count_entries(const std::string &dir)
{
    size_t n = 0;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (dirent *e = ::readdir(d)) {
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                ++n;
        }
        ::closedir(d);
    }
    return n;
}

bool write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// A folder of this test program's own files inside the served test-data folder.
std::string fault_dir()
{
    const std::string dir = test_media::data_dir() + "/fault." + std::to_string(::getpid());
    ::mkdir(dir.c_str(), 0700);
    return dir;
}

// Fixed pseudo-random bytes: the same garbage on every run.
std::string garbage_bytes(size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = static_cast<char>(rng() & 0xff);
    return bytes;
}

// Incompressible picture content at a high bit rate (about 8 MB/s): a receiver's
// and the sender's SRT buffers fill within seconds.
std::string high_rate_ts()
{
    return test_media::generate("noise_qp0_10s.ts", "va", 10.0,
                                {"-vf", "noise=alls=100:allf=t", "-c:v", "libx264", "-preset", "ultrafast",
                                 "-qp", "0", "-g", "25", "-c:a", "aac", "-shortest", "-f", "mpegts"});
}

// An SRT listener of our own, so the test can freeze or kill it mid-run.
struct ListenerProcess {
    ChildProcess process;
    int port = 0;

    bool start(const std::vector<std::string> &extra, std::string &error)
    {
        // No --out: what arrives is not kept.
        std::vector<std::string> args = {"--port", "0", "--max-seconds", "120"};
        args.insert(args.end(), extra.begin(), extra.end());
        if (!process.start(bin_path("srt_test_listener"), args, {}, error))
            return false;
        if (!process.wait_for_stdout("listening ", 10s)) {
            error = "listener did not come up: " + process.stderr_text();
            return false;
        }
        // Wait for the whole line, then read the port.
        for (int i = 0; i < 100 && (port = parse_listening_port(process.stdout_text())) == 0; ++i)
            std::this_thread::sleep_for(10ms);
        return port > 0;
    }
    std::string url() const { return "srt://127.0.0.1:" + std::to_string(port) + "?streamid=fault"; }
};

// A UDP or TCP socket on 127.0.0.1 that takes what comes and never answers: an SRT peer
// that ignores the handshake, or an HTTP server that accepts and then says nothing.
class SilentPeer {
public:
    explicit SilentPeer(int type) : fd_(::socket(AF_INET, type | SOCK_CLOEXEC, 0))
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&addr), len) != 0
            || (type == SOCK_STREAM && ::listen(fd_, 4) != 0)
            || ::getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            return;
        port_ = ntohs(addr.sin_port);
        type_ = type;
    }
    ~SilentPeer()
    {
        if (conn_ >= 0)
            ::close(conn_);
        if (fd_ >= 0)
            ::close(fd_);
    }
    int port() const { return port_; }

    // True once a datagram arrived (UDP) or a connection was accepted (TCP).
    bool wait_for_contact(std::chrono::milliseconds timeout)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1)
            return false;
        if (type_ == SOCK_STREAM)
            conn_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        return type_ != SOCK_STREAM || conn_ >= 0;
    }

private:
    int fd_ = -1;
    int conn_ = -1;
    int port_ = 0;
    int type_ = 0;
};

// Starts the engine with args and returns once it has exited (killed after the limit).
struct TimedEngine {
    ChildProcess process;
    Clock::time_point started;

    void start(const std::vector<std::string> &args)
    {
        std::string error;
        started = Clock::now();
        ASSERT_TRUE(process.start(bin_path("kby_nuvix"), args, {}, error)) << error;
    }
};

void expect_no_stop_event_left(long pid)
{
    EXPECT_FALSE(path_exists(stop_event_path(pid))) << "stop event of engine " << pid << " left behind";
}

}  // namespace

// A source that stops sending while the engine streams: the read gives up after the
// 10-second I/O time-out (not earlier, not never) and the run ends as a read failure.
TEST(FaultInjection, SourceThatGoesSilentFailsAfterTheIoTimeout)
{
    const std::string media = test_media::h264_aac_ts(10.0);
    const std::string video = test_media::video_only_mp4(10.0);
    const std::string audio_ts = test_media::audio_only_ts_at(0.0, 10.0);
    ASSERT_FALSE(media.empty() || video.empty() || audio_ts.empty());
    RelayHarness relay;
    std::string error;
    ASSERT_TRUE(relay.http.start(test_media::data_dir(), error)) << error;
    ListenerProcess listener;
    ASSERT_TRUE(listener.start({"--accepts", "0"}, error)) << error;

    struct Case {
        const char *name;
        std::vector<std::string> inputs;
    };
    // norange: a live-like source. The seekable one answers every later request (range
    // requests too) with the same silence once its first bytes are out.
    const std::vector<Case> cases = {
        {"combined source", {"--media-url", relay.media_url(media, "stall/150000/norange/")}},
        {"seekable combined source", {"--media-url", relay.media_url(media, "stall/150000/")}},
        {"audio of a split run", {"--video-url", relay.media_url(video), "--audio-url",
                                  relay.media_url(audio_ts, "stall/20000/norange/")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TimedEngine engine;
        std::vector<std::string> args = c.inputs;
        args.insert(args.end(), {"--srt-url", listener.url()});
        engine.start(args);
        ASSERT_TRUE(engine.process.wait_for_stdout(event_line("running"), 30s)) << engine.process.stderr_text();
        const auto running = Clock::now();
        const ProcessResult result = engine.process.wait(60s);
        const double after_running = seconds_since(running);
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.exit_code, 5) << result.err;
        EXPECT_EQ(split_lines(result.out), STREAM_FAILED) << result.err;
        EXPECT_TRUE(contains(result.err, "Input read failed: ")) << result.err;
        EXPECT_TRUE(contains(result.err, "timed out")) << result.err;
        // The time-out counts from the last byte, which comes at most a few seconds in.
        EXPECT_GE(after_running, 9.5);
        EXPECT_LT(after_running, 20.0);
        expect_no_stop_event_left(engine.process.pid());
    }
}

// Bytes that are no media at all are refused while opening, whatever the name says.
TEST(FaultInjection, GarbageSourcesAreRefusedAtOpen)
{
    const std::string dir = fault_dir();
    const std::string random_ts = dir + "/garbage.ts";
    const std::string random_mp4 = dir + "/garbage.mp4";
    const std::string html_playlist = dir + "/error_page.m3u8";
    const std::string empty_playlist = dir + "/empty.m3u8";
    ASSERT_TRUE(write_file(random_ts, garbage_bytes(200000, 1)));
    ASSERT_TRUE(write_file(random_mp4, garbage_bytes(200000, 2)));
    ASSERT_TRUE(write_file(html_playlist, "<html><body><h1>502 Bad Gateway</h1></body></html>\n"));
    ASSERT_TRUE(write_file(empty_playlist, "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-ENDLIST\n"));
    const std::string good_video = test_media::video_only_mp4();
    ASSERT_FALSE(good_video.empty());

    RelayHarness relay;
    std::string error;
    ASSERT_TRUE(relay.start(error, {"--accepts", "0"})) << error;

    struct Case {
        const char *name;
        std::vector<std::string> inputs;
        const char *detail;
    };
    const std::vector<Case> cases = {
        {"random bytes named .ts", {"--media-url", relay.media_url(random_ts)}, "input_open_failed"},
        {"random bytes named .mp4", {"--media-url", relay.media_url(random_mp4)}, "input_open_failed"},
        {"an error page as playlist", {"--media-url", relay.media_url(html_playlist)}, "input_open_failed"},
        {"a playlist without segments", {"--media-url", relay.media_url(empty_playlist)}, "input_open_failed"},
        {"random bytes as the audio of a split run",
         {"--video-url", relay.media_url(good_video), "--audio-url", relay.media_url(random_ts)},
         "audio_open_failed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.inputs;
        args.insert(args.end(), {"--srt-url", relay.srt_url()});
        const EngineRun run = run_engine(args, 60s);
        EXPECT_EQ(run.process.exit_code, 2) << run.process.err;
        EXPECT_EQ(run.events, (std::vector<std::string>{event_line("opening_inputs"), event_line("error", c.detail)}))
            << run.process.err;
        EXPECT_LT(run.seconds, 15.0);
    }
    // Nothing was relayed: no input ever reached the SRT stage.
    EXPECT_FALSE(contains(relay.listener.output_text(), "accepted")) << relay.listener.output_text();
    for (const auto &f : {random_ts, random_mp4, html_playlist, empty_playlist})
        std::remove(f.c_str());
    ::rmdir(dir.c_str());
}

// An HLS playlist whose segments start failing part-way: what came before the failure is
// relayed whole and in order, the run ends by itself in bounded time, and the log says
// which segments were lost.
TEST(FaultInjection, HlsSegmentsFailingPartWay)
{
    const std::string playlist = test_media::hls_vod(8.0);
    ASSERT_FALSE(playlist.empty());
    const std::string seg_dir = playlist.substr(0, playlist.rfind('/'));
    RelayHarness relay;
    std::string error;
    ASSERT_TRUE(relay.start(error)) << error;

    // Same segments, but the fifth breaks off after 20000 bytes and the rest are gone.
    std::string text;
    int segment = 0;
    {
        std::ifstream in(playlist);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line[0] != '#') {
                const std::string file = seg_dir + "/" + line;
                if (segment < 4)
                    line = relay.media_url(file);
                else if (segment == 4)
                    line = relay.media_url(file, "cut/20000/");
                else
                    line = relay.media_url(seg_dir + "/missing_" + line);
                ++segment;
            }
            text += line + "\n";
        }
    }
    ASSERT_GE(segment, 7) << "expected 1-second segments";
    const std::string dir = fault_dir();
    const std::string failing = dir + "/failing.m3u8";
    ASSERT_TRUE(write_file(failing, text));

    const EngineRun run = run_engine({"--media-url", relay.media_url(failing), "--srt-url", relay.srt_url()}, 60s);
    std::remove(failing.c_str());
    ::rmdir(dir.c_str());
    EXPECT_FALSE(run.process.timed_out);
    EXPECT_LT(run.seconds, 20.0);
    // The demuxer skips segments it cannot fetch and ends with the playlist, so the run
    // ends as the input's end; the log carries the demuxer's word on every lost segment.
    EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
    ASSERT_GE(run.events.size(), 3u);
    EXPECT_EQ(run.events[2], event_line("running"));
    EXPECT_TRUE(contains(run.process.err, "Failed to open segment")) << run.process.err;

    ASSERT_TRUE(relay.listener.wait_connection_closed(10s));
    relay.listener.stop();
    const ProbedMedia out = probe_media(relay.received_path());
    ASSERT_TRUE(out.ok) << out.error;
    for (const char *type : {"video", "audio"}) {
        const ProbedStream *s = out.find(type);
        ASSERT_NE(s, nullptr) << type;
        EXPECT_TRUE(s->dts_increasing) << type;
        EXPECT_FALSE(s->has_missing_ts) << type;
    }
    // Four whole segments and the beginning of the fifth.
    EXPECT_GE(out.duration(), 3.8);
    EXPECT_LE(out.duration(), 5.2);
}

// Receivers that stop taking data: the run ends as a write failure (exit 4) within the
// 2-second send time-out plus the 5-second queue stall of the moment it happens.
TEST(FaultInjection, ReceiverFaultsEndTheRunAsAWriteFailure)
{
    const std::string normal = test_media::h264_aac_ts(30.0);
    const std::string fast = high_rate_ts();
    ASSERT_FALSE(normal.empty() || fast.empty());
    LoopbackHttpServer http;
    std::string error;
    ASSERT_TRUE(http.start(test_media::data_dir(), error)) << error;
    auto url = [&http](const std::string &file) {
        return http.url(file.substr(test_media::data_dir().size() + 1));
    };

    struct Case {
        const char *name;
        std::vector<std::string> listener_args;
        std::string media;
        int signal;         // sent to the listener one second into the run; 0: none
        double limit;       // seconds from the fault (or from "running") to the exit
    };
    const std::vector<Case> cases = {
        // Never reads: the receive buffer, then the send buffer fill up (about 20 MB).
        {"receiver stops reading", {"--mode", "noread"}, url(fast), 0, 2.0 + 5.0 + 5.0},
        {"receiver frozen", {}, url(normal), SIGSTOP, 2.0 + 5.0 + 2.0},
        {"receiver killed", {}, url(normal), SIGKILL, 2.0 + 5.0 + 2.0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ListenerProcess listener;
        ASSERT_TRUE(listener.start(c.listener_args, error)) << error;
        TimedEngine engine;
        engine.start({"--media-url", c.media, "--srt-url", listener.url()});
        ASSERT_TRUE(engine.process.wait_for_stdout(event_line("running"), 30s)) << engine.process.stderr_text();
        auto fault = Clock::now();
        if (c.signal != 0) {
            std::this_thread::sleep_for(1s);
            fault = Clock::now();
            ASSERT_TRUE(listener.process.send_signal(c.signal));
        }
        const ProcessResult result = engine.process.wait(60s);
        const double after_fault = seconds_since(fault);
        if (c.signal == SIGSTOP)
            listener.process.send_signal(SIGCONT);
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.exit_code, 4) << result.err;
        EXPECT_EQ(split_lines(result.out), STREAM_FAILED) << result.err;
        EXPECT_TRUE(contains(result.err, "SRT send failed: ") || contains(result.err, "SRT output queue stalled"))
            << result.err;
        EXPECT_LT(after_fault, c.limit) << result.err;
        expect_no_stop_event_left(engine.process.pid());
    }
}

// The stop event while the engine is still opening: the opening is cut short at once
// (well before its own time-out) and reported as that opening's failure.
TEST(FaultInjection, StopDuringOpeningFailsThatOpening)
{
    const std::string media = test_media::h264_aac_mp4();
    ASSERT_FALSE(media.empty());
    LoopbackHttpServer http;
    std::string error;
    ASSERT_TRUE(http.start(test_media::data_dir(), error)) << error;
    const std::string good = http.url(media.substr(test_media::data_dir().size() + 1));

    struct Case {
        const char *name;
        int socket_type;    // the silent peer: TCP for an input, UDP for SRT
        bool split;
        int code;
        const char *detail;
        const char *log;
    };
    const std::vector<Case> cases = {
        {"input open", SOCK_STREAM, false, 2, "input_open_failed", "avformat_open_input: "},
        {"video open of a split run", SOCK_STREAM, true, 2, "video_open_failed", "Video input: "},
        {"SRT connection", SOCK_DGRAM, false, 3, "mux_open_failed", "SRT connect failed: "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SilentPeer peer(c.socket_type);
        ASSERT_GT(peer.port(), 0);
        const std::string silent_http = "http://127.0.0.1:" + std::to_string(peer.port()) + "/live.ts";
        const std::string silent_srt = "srt://127.0.0.1:" + std::to_string(peer.port()) + "?streamid=fault";
        std::vector<std::string> args;
        if (c.socket_type == SOCK_DGRAM)
            args = {"--media-url", good, "--srt-url", silent_srt};
        else if (c.split)
            args = {"--video-url", silent_http, "--audio-url", good, "--srt-url", silent_srt};
        else
            args = {"--media-url", silent_http, "--srt-url", silent_srt};
        TimedEngine engine;
        engine.start(args);
        ASSERT_TRUE(peer.wait_for_contact(20s)) << engine.process.stderr_text();
        // Give the engine's set-up a moment to get its stop event in place (it exists
        // before any opening starts; this only guards a slow machine).
        const auto deadline = Clock::now() + 5s;
        while (!path_exists(stop_event_path(engine.process.pid())) && Clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        const auto stop = Clock::now();
        ASSERT_TRUE(signal_stop_event(engine.process.pid()));
        const ProcessResult result = engine.process.wait(30s);
        const double after_stop = seconds_since(stop);
        EXPECT_EQ(result.exit_code, c.code) << result.err;
        EXPECT_EQ(split_lines(result.out),
                  (std::vector<std::string>{event_line("opening_inputs"), event_line("error", c.detail)}))
            << result.err;
        EXPECT_TRUE(contains(result.err, c.log)) << result.err;
        // The SRT connect time-out is 3 s and the input I/O time-out 10 s: far beyond.
        EXPECT_LT(after_stop, 1.5) << result.err;
        expect_no_stop_event_left(engine.process.pid());
    }
}

// The engine's whole run, from the command line to shutdown, a hundred times in a row in
// one process, each stopped through its stop event while it streams: every run ends with
// code 0 and afterwards the process has the threads and file descriptors it had before,
// no stop event and none of the input files.
TEST(FaultInjection, HundredStartStopCyclesLeaveNothingBehind)
{
    const std::string media = test_media::h264_aac_mp4(30.0);
    ASSERT_FALSE(media.empty());
    LoopbackHttpServer http;
    ListenerProcess listener;
    std::string error;
    ASSERT_TRUE(http.start(test_media::data_dir(), error)) << error;
    ASSERT_TRUE(listener.start({"--accepts", "0", "--max-seconds", "600"}, error)) << error;
    const std::string media_url = http.url(media.substr(test_media::data_dir().size() + 1));
    const std::string dir = fault_dir();

    // Event lines go to standard output: read them through a pipe for the cycles.
    int pipe_fds[2];
    ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
    std::fflush(stdout);
    const int saved_stdout = ::dup(1);
    ASSERT_GE(saved_stdout, 0);
    ASSERT_EQ(::dup2(pipe_fds[1], 1), 1);
    ::close(pipe_fds[1]);

    std::mutex mutex;
    std::condition_variable changed;
    std::string captured;   // guarded by mutex
    std::thread reader([&] {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(pipe_fds[0], buf, sizeof buf)) > 0) {
            std::lock_guard<std::mutex> lock(mutex);
            captured.append(buf, static_cast<size_t>(n));
            changed.notify_all();
        }
    });
    auto running_count = [&captured] {
        size_t n = 0;
        for (size_t at = 0; (at = captured.find(event_line("running"), at)) != std::string::npos; ++at)
            ++n;
        return n;
    };

    const long pid = ::getpid();
    std::vector<int> results;
    std::vector<std::string> problems;
    size_t threads_before = 0, fds_before = 0;
    const int cycles = 100;
    for (int i = 0; i <= cycles; ++i) {
        if (i == 1) {
            // Measured after one warm-up run: libraries keep what they set up once.
            threads_before = count_entries("/proc/self/task");
            fds_before = count_entries("/proc/self/fd");
        }
        const std::string input = dir + "/kby-nuvix-cycle-" + std::to_string(i) + ".json";
        if (!write_file(input, "{\n  \"media_url\": \"" + media_url + "\"\n}\n")) {
            problems.push_back("cannot write " + input);
            break;
        }
        keep_running.store(true);
        stop_event_armed.store(true);
        const std::vector<std::string> args = {"kby_nuvix", "--input-file", input, "--srt-url", listener.url(),
                                               "--line", std::to_string(i), "--watch-pid", std::to_string(pid)};
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        int result = -1;
        std::thread run([&] { result = run_driver(static_cast<int>(args.size()), argv.data()); });
        bool streaming;
        {
            std::unique_lock<std::mutex> lock(mutex);
            streaming = changed.wait_for(lock, 30s, [&] { return running_count() >= static_cast<size_t>(i) + 1; });
        }
        if (!streaming)
            problems.push_back("cycle " + std::to_string(i) + " never streamed");
        if (!signal_stop_event(pid))
            problems.push_back("cycle " + std::to_string(i) + ": no stop event to set");
        if (!streaming)
            keep_running.store(false);  // still end this run, through the flag
        run.join();
        results.push_back(result);
        if (path_exists(input))
            problems.push_back("cycle " + std::to_string(i) + " left its input file");
        if (!problems.empty())
            break;
    }
    const size_t threads_after = count_entries("/proc/self/task");
    const size_t fds_after = count_entries("/proc/self/fd");

    std::fflush(stdout);
    ::dup2(saved_stdout, 1);
    ::close(saved_stdout);
    reader.join();  // the pipe's last writer (our fd 1) is gone: end of file
    ::close(pipe_fds[0]);
    keep_running.store(true);
    stop_event_armed.store(true);

    EXPECT_TRUE(problems.empty()) << problems.front();
    ASSERT_EQ(results.size(), static_cast<size_t>(cycles) + 1);
    for (size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(results[i], 0) << "cycle " << i;
    EXPECT_EQ(threads_after, threads_before) << "threads left running";
    EXPECT_EQ(fds_after, fds_before) << "file descriptors left open";
    EXPECT_FALSE(path_exists(stop_event_path(pid))) << "stop event left behind";
    EXPECT_EQ(count_entries(dir), 0u) << "input files left behind";
    ::rmdir(dir.c_str());
    // Every run streamed and was stopped quietly: three events each, none after them.
    const std::vector<std::string> lines = split_lines(captured);
    EXPECT_EQ(lines.size(), 3u * (cycles + 1));
}
