// The split pipeline through the real program: a video-only and an audio-only address
// over loopback HTTP merged into one TS on a real SRT listener.

#include "relay_harness.h"

#include "media_probe.h"
#include "test_media.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

const std::vector<std::string> RELAYED = {event_line("opening_inputs"), event_line("srt_connected"),
                                          event_line("running"), event_line("eof")};

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

struct SplitResult {
    EngineRun run;
    ProbedMedia out;
};

// Relays video_file + audio_file (with optional fault prefixes) and probes what arrived.
SplitResult relay_split(const std::string &video_file, const std::string &audio_file,
                        const std::string &audio_fault = std::string(),
                        const std::vector<std::string> &listener_args = {}) {
    SplitResult r;
    RelayHarness relay;
    std::string error;
    EXPECT_TRUE(relay.start(error, listener_args)) << error;
    r.run = run_engine({"--video-url", relay.media_url(video_file), "--audio-url",
                        relay.media_url(audio_file, audio_fault), "--srt-url", relay.srt_url()});
    EXPECT_TRUE(relay.listener.wait_connection_closed(10s));
    relay.listener.stop();
    r.out = probe_media(relay.received_path());
    return r;
}

}  // namespace

TEST(SplitPipeline, MergesVideoAndAudioIntoOneStream) {
    const SplitResult r = relay_split(test_media::video_only_mp4(), test_media::audio_only_m4a());
    EXPECT_EQ(r.run.process.exit_code, 0) << r.run.process.err;
    EXPECT_EQ(r.run.events, RELAYED) << r.run.process.err;
    EXPECT_TRUE(contains(r.run.process.err, "kby_nuvix start line=0 split"));
    EXPECT_GT(r.run.seconds, 2.5);
    EXPECT_LT(r.run.seconds, 8.0);
    ASSERT_TRUE(r.out.ok) << r.out.error;
    ASSERT_EQ(r.out.streams.size(), 2u);
    // Track 0 is the video, track 1 the audio.
    EXPECT_EQ(r.out.streams[0].codec, "h264");
    EXPECT_EQ(r.out.streams[1].codec, "aac");
    for (const auto &s : r.out.streams) EXPECT_TRUE(s.dts_increasing) << s.type;
    EXPECT_LT(r.out.start_time, 0.2);
    EXPECT_NEAR(r.out.duration(), 3.0, 0.5);
}

// First video packet at 5 s, first audio packet at about 4.9 s: one common shift by the
// earlier of the two, so the audio starts at 0 and the video about 0.1 s later.
TEST(SplitPipeline, BothInputsShareOneStartOffset) {
    const std::string video = test_media::video_only_ts_at(5.0);
    const std::string audio = test_media::audio_only_ts_at(4.9);
    const ProbedMedia vin = probe_media(video);
    const ProbedMedia ain = probe_media(audio);
    ASSERT_TRUE(vin.ok && ain.ok);
    // The AAC encoder's priming moves the first audio packet a little before 4.9 s.
    const double gap = vin.streams[0].first_dts - ain.streams[0].first_dts;
    ASSERT_NEAR(gap, 0.1, 0.05);

    const SplitResult r = relay_split(video, audio);
    EXPECT_EQ(r.run.process.exit_code, 0) << r.run.process.err;
    ASSERT_TRUE(r.out.ok) << r.out.error;
    const ProbedStream *v = r.out.find("video");
    const ProbedStream *a = r.out.find("audio");
    ASSERT_TRUE(v && a);
    EXPECT_NEAR(a->first_dts, 0.0, 0.005);
    EXPECT_NEAR(v->first_dts, gap, 0.005);
}

// The output ends where the shorter input ends, whichever one that is.
TEST(SplitPipeline, EndsWithTheShorterInput) {
    struct Case {
        const char *name;
        std::string video, audio;
        std::string shorter, longer;
    };
    const std::vector<Case> cases = {
        {"video shorter", test_media::video_only_mp4(2.0), test_media::audio_only_m4a(3.0), "video", "audio"},
        {"audio shorter", test_media::video_only_mp4(3.0), test_media::audio_only_m4a(2.0), "audio", "video"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const SplitResult r = relay_split(c.video, c.audio);
        EXPECT_EQ(r.run.process.exit_code, 0) << r.run.process.err;
        EXPECT_EQ(r.run.events, RELAYED) << r.run.process.err;
        EXPECT_LT(r.run.seconds, 5.0);
        ASSERT_TRUE(r.out.ok) << r.out.error;
        const ProbedStream *shorter = r.out.find(c.shorter);
        const ProbedStream *longer = r.out.find(c.longer);
        ASSERT_TRUE(shorter && longer);
        EXPECT_NEAR(r.out.duration(), 2.0, 0.3);
        // Nothing of the longer input beyond the last packet of the shorter one.
        EXPECT_LE(longer->last_dts, shorter->last_dts + 1e-6);
        EXPECT_GT(longer->last_dts, shorter->last_dts - 0.1);
    }
}

TEST(SplitPipeline, OpenFailuresNameTheInput) {
    RelayHarness relay;
    std::string error;
    ASSERT_TRUE(relay.start(error)) << error;
    const std::string video = relay.media_url(test_media::video_only_mp4());
    const std::string audio = relay.media_url(test_media::audio_only_m4a());
    const std::string nobody = "http://127.0.0.1:" + std::to_string(closed_loopback_port()) + "/x.mp4";
    const std::string no_srt = "srt://127.0.0.1:" + std::to_string(closed_loopback_port()) + "?streamid=x";
    struct Case {
        const char *name;
        std::string video, audio, srt;
        std::string detail;
        int code;
        std::string log;
    };
    const std::vector<Case> cases = {
        {"bad video address", nobody, audio, relay.srt_url(), "video_open_failed", 2, "Video input: avformat_open_input: "},
        {"bad audio address", video, nobody, relay.srt_url(), "audio_open_failed", 2, "Audio input: avformat_open_input: "},
        {"video address carries audio only", audio, audio, relay.srt_url(), "video_open_failed", 2,
         "Video input: No requested video or audio stream"},
        {"audio address carries video only", video, video, relay.srt_url(), "audio_open_failed", 2,
         "Audio input: No requested video or audio stream"},
        {"nobody listens for SRT", video, audio, no_srt, "mux_open_failed", 3, "SRT connection failed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const EngineRun run = run_engine({"--video-url", c.video, "--audio-url", c.audio, "--srt-url", c.srt});
        EXPECT_EQ(run.process.exit_code, c.code);
        EXPECT_EQ(run.events, (std::vector<std::string>{event_line("opening_inputs"), event_line("error", c.detail)}));
        EXPECT_TRUE(contains(run.process.err, c.log)) << run.process.err;
    }
    EXPECT_FALSE(contains(relay.listener.output_text(), "accepted"));
}

// A failure while running ends the merge at once: the audio source breaking off (the
// video is cut at the same time) or the receiver going away.
TEST(SplitPipeline, FailuresWhileRunningAreStreamFailures) {
    // Media far longer than the failure point, so a slow machine (or a sanitizer build)
    // cannot blur "ended at the failure" with "ended with the media".
    const std::string audio = test_media::audio_only_ts_at(0.0, 10.0);
    const std::string video = test_media::video_only_mp4(10.0);
    ASSERT_FALSE(audio.empty() || video.empty());
    struct Case {
        const char *name;
        std::string audio_fault;
        std::vector<std::string> listener_args;
        int code;
        std::string log;
    };
    const std::vector<Case> cases = {
        {"audio source breaks off", "cut/30000/", {}, 5, "Input read failed: "},
        {"receiver closes", "", {"--mode", "close-after-bytes=30000"}, 4, "MPEG-TS write failed: "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const SplitResult r = relay_split(video, audio, c.audio_fault, c.listener_args);
        EXPECT_EQ(r.run.process.exit_code, c.code) << r.run.process.err;
        EXPECT_EQ(r.run.events,
                  (std::vector<std::string>{event_line("opening_inputs"), event_line("srt_connected"),
                                            event_line("running"), event_line("error", "stream_failed")}));
        EXPECT_TRUE(contains(r.run.process.err, c.log)) << r.run.process.err;
        EXPECT_LT(r.run.seconds, 8.0) << "the run must end at the failure, not at the end of the media";
    }
}

TEST(SplitPipeline, StopEndsWithoutAFinalEvent) {
    RelayHarness relay;
    std::string error;
    ASSERT_TRUE(relay.start(error)) << error;
    ChildProcess engine;
    ASSERT_TRUE(engine.start(bin_path("kby_nuvix"),
                             {"--video-url", relay.media_url(test_media::video_only_mp4(6.0)), "--audio-url",
                              relay.media_url(test_media::audio_only_m4a(6.0)), "--srt-url", relay.srt_url()},
                             {}, error))
        << error;
    ASSERT_TRUE(engine.wait_for_stdout(event_line("running"), 15s)) << engine.stderr_text();
    std::this_thread::sleep_for(1s);
    engine.send_signal(SIGINT);
    const ProcessResult r = engine.wait(15s);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(split_lines(r.out), (std::vector<std::string>{event_line("opening_inputs"), event_line("srt_connected"),
                                                            event_line("running")}));
}
