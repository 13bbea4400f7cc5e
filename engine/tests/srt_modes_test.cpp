// The SRT output against the receivers people already run (Debian's srt-live-transmit and
// ffmpeg, started here on loopback) and the engine's own test listener: live mode,
// listener mode, the advice on a transfer-mode refusal, live statistics, the passphrase
// from the input file, and an engine whose readers have gone away.
#include "loopback_services.h"
#include "media_probe.h"
#include "process_runner.h"
#include "relay_harness.h"
#include "stop_event.h"
#include "test_media.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string TO_LIVE = "SRT hint: the receiver expects live mode; add transtype=live to the SRT address";
const std::string TO_FILE = "SRT hint: the receiver expects file mode; remove transtype=live from the SRT address";

// Full path of a program found on PATH; empty when there is none.
std::string program_on_path(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::string();
}

// True once some UDP socket is bound to port (any address, IPv4 or IPv6).
bool udp_port_bound(int port)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X", port);
    for (const char *table : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::ifstream in(table);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot;
            std::string local;
            fields >> slot >> local;
            if (local.size() > 5 && local.compare(local.size() - 5, 5, hex) == 0)
                return true;
        }
    }
    return false;
}

bool wait_udp_port_bound(int port, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (udp_port_bound(port))
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

std::string private_path(const std::string &tag)
{
    static std::atomic<int> counter{0};
    return test_media::data_dir() + "/srt_modes." + std::to_string(::getpid()) + "." +
           std::to_string(counter.fetch_add(1)) + "." + tag;
}

// Removes a file when the test is done with it.
struct TempFile {
    explicit TempFile(const std::string &tag) : path(private_path(tag)) {}
    ~TempFile() { std::remove(path.c_str()); }
    std::string path;
};

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

bool stop_event_exists(long pid)
{
    struct stat st {};
    const std::string path = "/dev/shm/sem" + stop_event_name(pid).replace(0, 1, ".");
    return ::stat(path.c_str(), &st) == 0;
}

// About 2 Mbit/s at a constant rate (filler included), so that the send rate libsrt
// measures can be held against the source's own bitrate.
std::string cbr_media()
{
    return test_media::generate("cbr2m_5.0s.mp4", "va", 5.0,
                                {"-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "25", "-bf",
                                 "0", "-b:v", "2M", "-minrate", "2M", "-maxrate", "2M", "-bufsize", "1M",
                                 "-x264-params", "nal-hrd=cbr", "-c:a", "aac", "-b:a", "64k", "-ac", "2",
                                 "-movflags", "+faststart", "-shortest"});
}

// The received TS holds the source's H.264 and AAC streams over its whole length.
void expect_same_programme(const std::string &received, const std::string &source)
{
    const ProbedMedia got = probe_media(received);
    const ProbedMedia want = probe_media(source);
    ASSERT_TRUE(want.ok) << want.error;
    ASSERT_TRUE(got.ok) << got.error << " (" << file_size(received) << " bytes received)";
    EXPECT_EQ(got.format, "mpegts");
    ASSERT_EQ(got.streams.size(), 2u);
    ASSERT_NE(got.find("video"), nullptr);
    ASSERT_NE(got.find("audio"), nullptr);
    EXPECT_EQ(got.find("video")->codec, "h264");
    EXPECT_EQ(got.find("audio")->codec, "aac");
    EXPECT_NEAR(got.duration(), want.duration(), 0.5);
    // Nothing lost on loopback, not even the last moment a live receiver still holds
    // back when the sender ends.
    ASSERT_NE(want.find("video"), nullptr);
    ASSERT_NE(want.find("audio"), nullptr);
    EXPECT_EQ(got.find("video")->packets, want.find("video")->packets);
    EXPECT_EQ(got.find("audio")->packets, want.find("audio")->packets);
}

// Log lines without their time stamps.
std::vector<std::string> log_messages(const std::string &err)
{
    std::vector<std::string> messages;
    static const std::regex stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  (.*)$");
    for (const auto &line : split_lines(err)) {
        std::smatch m;
        if (std::regex_match(line, m, stamp))
            messages.push_back(m[1]);
    }
    return messages;
}

// Port from "SRT listening on <host>:<port>, waiting for a receiver"; 0 when absent.
int listening_port(const std::string &err, std::string *host = nullptr)
{
    static const std::regex line("SRT listening on (.*):(\\d+), waiting for a receiver");
    std::smatch m;
    if (!std::regex_search(err, m, line))
        return 0;
    if (host)
        *host = m[1];
    return std::stoi(m[2]);
}

// Starts the engine as a listener and waits until it says where it listens.
int start_listening_engine(ChildProcess &engine, const std::vector<std::string> &args)
{
    std::string error;
    if (!engine.start(bin_path("kby_nuvix"), args, {}, error)) {
        ADD_FAILURE() << error;
        return 0;
    }
    if (!engine.wait_for_stderr("waiting for a receiver", 30s)) {
        ADD_FAILURE() << "the engine never listened: " << engine.stderr_text();
        return 0;
    }
    return listening_port(engine.stderr_text());
}

class SrtModes : public testing::Test {
protected:
    void SetUp() override
    {
        live_transmit = program_on_path("srt-live-transmit");
        ffmpeg = program_on_path("ffmpeg");
        ASSERT_FALSE(live_transmit.empty()) << "srt-live-transmit (srt-tools) is not installed";
        ASSERT_FALSE(ffmpeg.empty()) << "ffmpeg is not installed";
    }

    std::string live_transmit;
    std::string ffmpeg;
};

TEST_F(SrtModes, LiveModeReachesThirdPartyReceiversInTheirDefaultSetUp)
{
    const std::string media = test_media::h264_aac_mp4(4.0);
    ASSERT_FALSE(media.empty());
    enum Tool { LIVE_TRANSMIT, FFMPEG };
    for (Tool tool : {LIVE_TRANSMIT, FFMPEG}) {
        SCOPED_TRACE(tool == LIVE_TRANSMIT ? "srt-live-transmit" : "ffmpeg");
        const int port = closed_loopback_port();
        ASSERT_GT(port, 0);
        TempFile received("ts");
        ChildProcess receiver;
        std::string error;
        const std::string port_text = std::to_string(port);
        if (tool == LIVE_TRANSMIT)
            ASSERT_TRUE(receiver.start(live_transmit, {"-a:no", "srt://:" + port_text + "?mode=listener", "file://con"},
                                       {}, error)) << error;
        else
            ASSERT_TRUE(receiver.start(ffmpeg,
                                       {"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i",
                                        "srt://127.0.0.1:" + port_text + "?mode=listener", "-c", "copy", "-f",
                                        "mpegts", received.path},
                                       {}, error)) << error;
        ASSERT_TRUE(wait_udp_port_bound(port, 10s)) << receiver.stderr_text();

        // A media server's stream id, sent as typed.
        const EngineRun run = run_engine(
            {"--media-url", media, "--srt-url", "srt://127.0.0.1:" + port_text + "?streamid=publish:cam1&transtype=live"});
        EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
        EXPECT_EQ(run.events, (std::vector<std::string>{event_line("opening_inputs"),
                                                                      event_line("srt_connected"),
                                                                      event_line("running"), event_line("eof")}));
        const ProcessResult done = receiver.wait(15s);
        EXPECT_FALSE(done.timed_out) << "the receiver did not see the end of the stream";
        EXPECT_EQ(done.exit_code, 0) << done.err;
        if (tool == LIVE_TRANSMIT)
            write_file(received.path, done.out);
        expect_same_programme(received.path, media);
    }
}

TEST_F(SrtModes, FileModeDefaultIsRefusedByALiveReceiverWithAdvice)
{
    // The first run, and the other way round against a file-mode receiver; a
    // refusal for another reason gets no advice.
    const std::string media = test_media::h264_aac_mp4(1.0);
    ASSERT_FALSE(media.empty());
    enum Receiver { LIVE_TRANSMIT, OWN_FILE_LISTENER, OWN_ENCRYPTED_LISTENER };
    struct Case {
        const char *name;
        Receiver receiver;
        std::string query;
        std::string hint;
    };
    const std::vector<Case> cases = {
        {"file-mode engine, live receiver", LIVE_TRANSMIT, "?streamid=x", TO_LIVE},
        {"live engine, file receiver", OWN_FILE_LISTENER, "?streamid=x&transtype=live", TO_FILE},
        {"missing passphrase", OWN_ENCRYPTED_LISTENER, "?streamid=x", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ChildProcess third_party;
        LoopbackSrtListener own;
        std::string error;
        int port = 0;
        if (c.receiver == LIVE_TRANSMIT) {
            port = closed_loopback_port();
            ASSERT_TRUE(third_party.start(live_transmit,
                                          {"srt://:" + std::to_string(port) + "?mode=listener", "file://con"}, {},
                                          error)) << error;
            ASSERT_TRUE(wait_udp_port_bound(port, 10s));
        } else {
            std::vector<std::string> args;
            if (c.receiver == OWN_ENCRYPTED_LISTENER)
                args = {"--passphrase", "0123456789abc"};
            ASSERT_TRUE(own.start("/dev/null", args, error)) << error;
            port = own.port();
        }
        const EngineRun run = run_engine(
            {"--media-url", media, "--srt-url", "srt://127.0.0.1:" + std::to_string(port) + c.query}, 30s);
        EXPECT_EQ(run.process.exit_code, 3) << run.process.err;
        EXPECT_EQ(run.events,
                  (std::vector<std::string>{event_line("opening_inputs"), event_line("error", "mux_open_failed")}));
        const std::vector<std::string> log = log_messages(run.process.err);
        const auto failed = std::find_if(log.begin(), log.end(), [](const std::string &m) {
            return m.rfind("SRT connect failed: ", 0) == 0;
        });
        ASSERT_NE(failed, log.end()) << run.process.err;
        ASSERT_LT(failed + 2, log.end()) << run.process.err;
        if (c.hint.empty()) {
            EXPECT_EQ(run.process.err.find("SRT hint: "), std::string::npos) << run.process.err;
            EXPECT_EQ(*(failed + 1), "SRT connection failed");
        } else {
            EXPECT_EQ(*failed, "SRT connect failed: Connection setup failure: MessageAPI/StreamAPI collision");
            EXPECT_EQ(*(failed + 1), c.hint);
            EXPECT_EQ(*(failed + 2), "SRT connection failed");
        }
        if (c.receiver == LIVE_TRANSMIT)
            third_party.send_signal(SIGTERM);
    }
}

TEST_F(SrtModes, LiveStreamIdAndPassphraseArriveAsGiven)
{
    const std::string media = test_media::h264_aac_mp4(1.0);
    ASSERT_FALSE(media.empty());
    struct Case {
        std::string query;
        std::vector<std::string> listener_args;
        std::string accepted;   // the listener's line for the connection
    };
    const std::vector<Case> cases = {
        {"?streamid=publish:cam1&transtype=live", {"--transtype", "live"}, "accepted streamid=publish:cam1\n"},
        {"?streamid=%23!::r=live/a,m=publish&transtype=live&latency=300", {"--transtype", "live"},
         "accepted streamid=#!::r=live/a,m=publish\n"},
        {"?transtype=live", {"--transtype", "live"}, "accepted streamid=\n"},
        {"?streamid=enc&transtype=live&passphrase=0123456789abc&pbkeylen=32",
         {"--transtype", "live", "--passphrase", "0123456789abc"}, "accepted streamid=enc\n"},
        // The default is untouched: file mode, marked stream id.
        {"?streamid=plain", {}, "accepted streamid=plain*lossless\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.query);
        TempFile received("ts");
        LoopbackSrtListener listener;
        std::string error;
        ASSERT_TRUE(listener.start(received.path, c.listener_args, error)) << error;
        const EngineRun run = run_engine({"--media-url", media, "--srt-url", listener.url(c.query)});
        EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
        EXPECT_EQ(run.events.back(), event_line("eof"));
        ASSERT_TRUE(listener.wait_connection_closed(10s));
        EXPECT_NE(listener.output_text().find(c.accepted), std::string::npos) << listener.output_text();
        expect_same_programme(received.path, media);
    }
}

TEST_F(SrtModes, PassphraseFromTheInputFileOverridesTheAddress)
{
    const std::string media = test_media::h264_aac_mp4(1.0);
    ASSERT_FALSE(media.empty());
    struct Case {
        std::string srt_passphrase_member;
        int exit_code;
    };
    // The listener wants "file pass&1"; the address carries a wrong one.
    const std::vector<Case> cases = {
        {",\n  \"srt_passphrase\": \"file pass&1\"", 0},
        {"", 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.srt_passphrase_member);
        LoopbackSrtListener listener;
        std::string error;
        ASSERT_TRUE(listener.start("/dev/null", {"--passphrase", "file pass&1"}, error)) << error;
        TempFile input("json");
        write_file(input.path, "{\n  \"media_url\": \"" + media + "\"" + c.srt_passphrase_member + "\n}\n");
        const EngineRun run = run_engine({"--input-file", input.path, "--watch-pid", std::to_string(::getpid()),
                                          "--srt-url", listener.url("?streamid=s&passphrase=wrong-pass-1")});
        EXPECT_EQ(run.process.exit_code, c.exit_code) << run.process.err;
        EXPECT_EQ(run.process.err.find("file pass"), std::string::npos) << "the passphrase was logged";
    }
}

TEST_F(SrtModes, ListenerModeServesOneReceiverThatCallsIn)
{
    const std::string media = test_media::h264_aac_mp4(4.0);
    ASSERT_FALSE(media.empty());
    struct Case {
        std::string engine_url;
        std::string shown_host;
        std::string receiver_query;
    };
    const std::vector<Case> cases = {
        {"srt://127.0.0.1:0?mode=listener&transtype=live", "127.0.0.1", ""},
        {"srt://:0?mode=listener", "*", "?transtype=file"},
        {"srt://0.0.0.0:0?mode=listener&transtype=live&latency=200", "0.0.0.0", "?latency=200"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.engine_url);
        ChildProcess engine;
        const int port = start_listening_engine(engine, {"--media-url", media, "--srt-url", c.engine_url});
        ASSERT_GT(port, 0);
        std::string host;
        listening_port(engine.stderr_text(), &host);
        EXPECT_EQ(host, c.shown_host);
        ASSERT_TRUE(engine.wait_for_stdout(event_line("srt_listening"), 5s)) << engine.stdout_text();
        // Nobody has called in yet: the engine waits, however long that takes.
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(engine.stdout_text().find("srt_connected"), std::string::npos);

        ChildProcess receiver;
        std::string error;
        ASSERT_TRUE(receiver.start(live_transmit,
                                   {"-a:no", "srt://127.0.0.1:" + std::to_string(port) + c.receiver_query, "file://con"},
                                   {}, error)) << error;
        const ProcessResult run = engine.wait(60s);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(split_lines(run.out),
                  (std::vector<std::string>{event_line("opening_inputs"), event_line("srt_listening"),
                                            event_line("srt_connected"), event_line("running"), event_line("eof")}));
        const ProcessResult done = receiver.wait(15s);
        EXPECT_EQ(done.exit_code, 0) << done.err;
        TempFile received("ts");
        write_file(received.path, done.out);
        expect_same_programme(received.path, media);
    }
}

TEST_F(SrtModes, ListenerWaitingForAReceiverEndsQuietlyOnAStop)
{
    const std::string media = test_media::h264_aac_mp4(1.0);
    ASSERT_FALSE(media.empty());
    enum How { SIGNAL_TERM, STOP_EVENT, PARENT_ENDS };
    for (How how : {SIGNAL_TERM, STOP_EVENT, PARENT_ENDS}) {
        SCOPED_TRACE(how);
        pid_t watched = -1;
        std::vector<std::string> args = {"--media-url", media, "--srt-url", "srt://127.0.0.1:0?mode=listener"};
        if (how == PARENT_ENDS) {
            watched = fork();
            if (watched == 0) {
                usleep(30 * 1000 * 1000);
                _exit(0);
            }
            ASSERT_GT(watched, 0);
            args.insert(args.end(), {"--watch-pid", std::to_string(watched)});
        }
        ChildProcess engine;
        ASSERT_GT(start_listening_engine(engine, args), 0);
        // Longer than a caller's connect time-out, which does not apply here.
        std::this_thread::sleep_for(3500ms);
        const long pid = engine.pid();
        const auto begin = Clock::now();
        if (how == SIGNAL_TERM)
            engine.send_signal(SIGTERM);
        else if (how == STOP_EVENT)
            EXPECT_TRUE(signal_stop_event(pid));
        else {
            kill(watched, SIGKILL);
            waitpid(watched, nullptr, 0);
        }
        const ProcessResult run = engine.wait(10s);
        EXPECT_LT(Clock::now() - begin, 2s) << "the wait did not notice the stop";
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(split_lines(run.out),
                  (std::vector<std::string>{event_line("opening_inputs"), event_line("srt_listening")}));
        EXPECT_NE(run.err.find("SRT listening stopped, no receiver called in"), std::string::npos) << run.err;
        EXPECT_FALSE(stop_event_exists(pid));
    }
}

TEST_F(SrtModes, ReceiverLeavingAListenerMidRunIsAStreamFailure)
{
    const std::string media = test_media::h264_aac_mp4(30.0);
    ASSERT_FALSE(media.empty());
    ChildProcess engine;
    const int port = start_listening_engine(
        engine, {"--media-url", media, "--srt-url", "srt://127.0.0.1:0?mode=listener&transtype=live"});
    ASSERT_GT(port, 0);
    ChildProcess receiver;
    std::string error;
    ASSERT_TRUE(receiver.start(live_transmit, {"-a:no", "srt://127.0.0.1:" + std::to_string(port), "file://con"}, {},
                               error)) << error;
    ASSERT_TRUE(engine.wait_for_stdout(event_line("running"), 10s)) << engine.stderr_text();
    std::this_thread::sleep_for(1s);
    receiver.send_signal(SIGTERM);
    receiver.wait(10s);
    const ProcessResult run = engine.wait(20s);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 4) << run.err;
    const std::vector<std::string> events = split_lines(run.out);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), event_line("error", "stream_failed"));
    EXPECT_NE(run.err.find("SRT send failed: "), std::string::npos) << run.err;
}

struct StatsLine {
    double mbps;
    double rtt_ms;
    long long sent, lost, retrans, buffer_ms, bytes;
};

TEST_F(SrtModes, LiveStatisticsComeOnlyWithTheOption)
{
    const std::string media = cbr_media();
    ASSERT_FALSE(media.empty());
    const ProbedMedia source = probe_media(media);
    ASSERT_TRUE(source.ok) << source.error;
    const double source_mbps = static_cast<double>(file_size(media)) * 8 / source.duration() / 1e6;

    for (bool with_stats : {false, true}) {
        SCOPED_TRACE(with_stats ? "--stats-interval 1" : "no option");
        LoopbackSrtListener listener;
        TempFile received("ts");
        std::string error;
        ASSERT_TRUE(listener.start(received.path, {"--transtype", "live"}, error)) << error;
        std::vector<std::string> args = {"--media-url", media, "--srt-url", listener.url("?transtype=live")};
        if (with_stats)
            args.insert(args.end(), {"--stats-interval", "1"});
        const EngineRun run = run_engine(args);
        EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
        ASSERT_GE(run.events.size(), 4u);
        EXPECT_EQ(run.events[2], event_line("running"));
        EXPECT_EQ(run.events.back(), event_line("eof"));
        static const std::regex shape("\\{\"event\":\"srt_stats\",\"mbps\":(\\d+\\.\\d\\d),\"rtt_ms\":(\\d+\\.\\d),"
                                      "\"sent\":(\\d+),\"lost\":(\\d+),\"retrans\":(\\d+),\"buffer_ms\":(-?\\d+),"
                                      "\"bytes\":(\\d+)\\}");
        std::vector<StatsLine> stats;
        for (size_t i = 3; i + 1 < run.events.size(); ++i) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(run.events[i], m, shape)) << run.events[i];
            stats.push_back({std::stod(m[1]), std::stod(m[2]), std::stoll(m[3]), std::stoll(m[4]), std::stoll(m[5]),
                             std::stoll(m[6]), std::stoll(m[7])});
        }
        static const std::regex summary("SRT stats: (\\d+) bytes in (\\d+) packets, lost (\\d+), retransmitted "
                                        "(\\d+), RTT (\\d+\\.\\d) ms");
        std::smatch m;
        const bool has_summary = std::regex_search(run.process.err, m, summary);
        if (!with_stats) {
            EXPECT_EQ(run.events.size(), 4u) << "event lines without the option";
            EXPECT_FALSE(has_summary) << run.process.err;
            continue;
        }
        // A 5-second clip: a line per second while it plays.
        ASSERT_GE(stats.size(), 3u);
        EXPECT_LE(stats.size(), 6u);
        for (size_t i = 1; i < stats.size(); ++i) {
            EXPECT_GT(stats[i].bytes, stats[i - 1].bytes);
            EXPECT_GT(stats[i].sent, stats[i - 1].sent);
            EXPECT_GE(stats[i].lost + stats[i].retrans, 0);
        }
        // Whole intervals of steady sending measure the source's rate (TS and SRT
        // headers add a few per cent); one late wake-up on a busy machine moves a single
        // interval, so their mean is held against it.
        double sum = 0;
        for (size_t i = 1; i + 1 < stats.size(); ++i) {
            EXPECT_GT(stats[i].mbps, 0.0) << "line " << i;
            sum += stats[i].mbps;
        }
        EXPECT_NEAR(sum / static_cast<double>(stats.size() - 2), source_mbps, 0.2 * source_mbps);
        // While the clip plays every packet carries a full 1316-byte chunk of TS.
        for (const StatsLine &line : stats)
            EXPECT_EQ(line.bytes, line.sent * 1316);
        EXPECT_LE(stats.back().rtt_ms, 100.0);
        ASSERT_TRUE(has_summary) << run.process.err;
        const long long total_bytes = std::stoll(m[1]);
        const long long retransmitted = std::stoll(m[4]);
        EXPECT_GE(total_bytes, stats.back().bytes);
        EXPECT_GE(std::stoll(m[2]), stats.back().sent);
        // The payload total is what the receiver got, plus whatever went twice.
        ASSERT_TRUE(listener.wait_connection_closed(10s));
        EXPECT_GE(total_bytes, file_size(received.path));
        EXPECT_LE(total_bytes, file_size(received.path) + retransmitted * 1316);
        EXPECT_EQ(run.process.err.find("SRT stats: ", static_cast<size_t>(m.position(0)) + 1), std::string::npos)
            << "one summary only";
    }
}

// Starts kby_nuvix with both standard outputs into one pipe; returns the read end.
pid_t spawn_engine_into_pipe(const std::vector<std::string> &args, int &read_end)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    // The test's own SIGPIPE setting must not decide the outcome.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> texts = {bin_path("kby_nuvix")};
    texts.insert(texts.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &t : texts)
        argv.push_back(&t[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, texts[0].c_str(), &actions, &attr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(fds[1]);
    read_end = fds[0];
    return pid;
}

// Exit status of pid within timeout; killed and -1 when it does not end.
int wait_exit(pid_t pid, std::chrono::milliseconds timeout, int &term_signal)
{
    const auto deadline = Clock::now() + timeout;
    int status = 0;
    term_signal = 0;
    while (Clock::now() < deadline) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            if (WIFSIGNALED(status))
                term_signal = WTERMSIG(status);
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(20ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

// Reads from fd until text has arrived (or timeout).
bool read_until(int fd, const std::string &text, std::chrono::milliseconds timeout)
{
    std::string seen;
    const auto deadline = Clock::now() + timeout;
    char buffer[4096];
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        seen.append(buffer, static_cast<size_t>(n));
        if (seen.find(text) != std::string::npos)
            return true;
    }
    return false;
}

TEST_F(SrtModes, ReadersThatGoAwayDoNotKillTheEngine)
{
    const std::string media = test_media::h264_aac_mp4(2.0);
    const std::string long_media = test_media::h264_aac_mp4(30.0);
    ASSERT_FALSE(media.empty());
    ASSERT_FALSE(long_media.empty());
    LoopbackSrtListener listener;
    std::string error;
    ASSERT_TRUE(listener.start("/dev/null", {"--accepts", "0"}, error)) << error;
    {
        SCOPED_TRACE("| head -n 1");
        int out = -1;
        const pid_t pid = spawn_engine_into_pipe({"--media-url", media, "--srt-url", listener.url("?streamid=p")}, out);
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(read_until(out, "\n", 10s));
        ::close(out);   // everything the engine writes from now on goes nowhere
        int term_signal = 0;
        EXPECT_EQ(wait_exit(pid, 30s, term_signal), 0);
        EXPECT_EQ(term_signal, 0);
        EXPECT_FALSE(stop_event_exists(pid));
    }
    {
        SCOPED_TRACE("window killed while streaming");
        const pid_t window = fork();
        if (window == 0) {
            usleep(60 * 1000 * 1000);
            _exit(0);
        }
        ASSERT_GT(window, 0);
        int out = -1;
        const pid_t pid = spawn_engine_into_pipe(
            {"--media-url", long_media, "--srt-url", listener.url("?streamid=w"), "--watch-pid", std::to_string(window)},
            out);
        ASSERT_GT(pid, 0);
        const bool running = read_until(out, event_line("running"), 20s);
        ::close(out);
        ::kill(window, SIGKILL);
        ::waitpid(window, nullptr, 0);
        ASSERT_TRUE(running);
        int term_signal = 0;
        EXPECT_EQ(wait_exit(pid, 10s, term_signal), 0);
        EXPECT_EQ(term_signal, 0);
        EXPECT_FALSE(stop_event_exists(pid)) << "stop event left behind";
    }
}

} // namespace
