// The MPEG-TS muxer against a real loopback SRT listener: open checks and their order,
// the start shift, the DTS rules, the calling-order guards and the two ways to end.

#include "ts_muxer.h"

#include "loopback_services.h"
#include "media_probe.h"
#include "packet_reader.h"
#include "test_media.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Where a listener writes what it received; removed again when the test ends.
class ReceivedFile {
public:
    explicit ReceivedFile(const std::string &name)
        : path_(test_media::data_dir() + "/" + name + "." + std::to_string(::getpid()) + ".ts") {}
    ~ReceivedFile() { std::remove(path_.c_str()); }
    operator const std::string &() const { return path_; }

private:
    std::string path_;
};



std::string srt_url(const LoopbackSrtListener &listener) { return listener.url("?streamid=muxer-test"); }

// An opened file input, no pacing, no running flag.
struct OpenedInput {
    std::unique_ptr<InputSource> input = std::make_unique<InputSource>(nullptr, 0, nullptr);
    bool open(const std::string &path, bool video = true, bool audio = true, int32_t first_track = 0) {
        input = std::make_unique<InputSource>(nullptr, first_track, nullptr);
        std::string error;
        const bool ok = open_input(*input, path, video, audio, error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
};

// Every packet of the input, in file order, as the reader would queue them.
std::vector<QueuedPacket> read_all(InputSource &input) {
    std::vector<QueuedPacket> packets;
    start_reader(input);
    QueuedPacket holder;
    while (pop_packet(input, holder)) packets.push_back(std::move(holder));
    stop_reader(input);
    return packets;
}

}  // namespace

TEST(TsMuxer, OpenRefusesBadTracksBeforeAnyConnection) {
    LoopbackSrtListener listener;
    std::string error;
    const ReceivedFile received("refused");
    ASSERT_TRUE(listener.start(received, {}, error)) << error;

    OpenedInput av, av1;
    ASSERT_TRUE(av.open(test_media::h264_aac_mp4()));
    const bool have_av1 = test_media::has_av1_encoder();
    if (have_av1) {
        ASSERT_TRUE(av1.open(test_media::av1_mp4()));
    }

    struct Case {
        const char *name;
        std::vector<InputTrack> tracks;
        std::string error;
    };
    std::vector<Case> cases = {
        {"empty list", {}, "No input tracks"},
        {"no format context", {InputTrack{nullptr, 0, AVMEDIA_TYPE_VIDEO}}, "Invalid input track"},
        {"stream index past the end", {InputTrack{av.input->format_context.get(), 7, AVMEDIA_TYPE_VIDEO}},
         "Invalid input track"},
        {"negative stream index", {InputTrack{av.input->format_context.get(), -1, AVMEDIA_TYPE_VIDEO}},
         "Invalid input track"},
        // The good first track does not let a bad second one through.
        {"bad second track", {av.input->tracks[0], InputTrack{nullptr, 0, AVMEDIA_TYPE_AUDIO}}, "Invalid input track"},
    };
    if (have_av1) cases.push_back({"AV1 video", av1.input->tracks, "AV1 is not supported by Nuvix"});

    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TsMuxer muxer;
        std::string text;
        const auto t0 = Clock::now();
        EXPECT_FALSE(mux_open(muxer, c.tracks, srt_url(listener), text));
        EXPECT_EQ(text, c.error);
        EXPECT_LT(Clock::now() - t0, 1s);
        EXPECT_FALSE(muxer.output);
        EXPECT_EQ(muxer.io, nullptr);
        EXPECT_FALSE(muxer.opened);
        mux_close(muxer);
        EXPECT_TRUE(muxer.tracks.empty());
    }
    // Nothing was refused late: the receiver never saw a caller.
    EXPECT_EQ(listener.output_text().find("accepted"), std::string::npos) << listener.output_text();
    if (!have_av1) GTEST_SKIP() << "ffmpeg has no AV1 encoder; the AV1 case was not run";
}

TEST(TsMuxer, OpenFailsWithTheSrtTextWhenNobodyListens) {
    OpenedInput av;
    ASSERT_TRUE(av.open(test_media::h264_aac_mp4()));
    TsMuxer muxer;
    std::string error;
    const std::string url = "srt://127.0.0.1:" + std::to_string(closed_loopback_port()) + "?streamid=x";
    EXPECT_FALSE(mux_open(muxer, av.input->tracks, url, error));
    EXPECT_EQ(error, "SRT connection failed");
    EXPECT_FALSE(muxer.output);
    EXPECT_EQ(muxer.io, nullptr);
    mux_close(muxer);

    TsMuxer bad_address;
    EXPECT_FALSE(mux_open(bad_address, av.input->tracks, "udp://127.0.0.1:9000", error));
    EXPECT_EQ(error, "SRT URL must start with srt://");
    mux_close(bad_address);
}

TEST(TsMuxer, WriteIsRefusedOutsideAnOpenOutput) {
    LoopbackSrtListener listener;
    std::string error;
    const ReceivedFile received("guards");
    ASSERT_TRUE(listener.start(received, {}, error)) << error;
    OpenedInput av;
    ASSERT_TRUE(av.open(test_media::h264_aac_mp4()));
    std::vector<QueuedPacket> packets = read_all(*av.input);
    ASSERT_GT(packets.size(), 4u);

    TsMuxer muxer;
    EXPECT_EQ(mux_write(muxer, packets[0]), AVERROR(EINVAL));
    ASSERT_TRUE(packets[0].packet && packets[0].packet->size > 0) << "the refused packet must stay untouched";

    ASSERT_TRUE(mux_open(muxer, av.input->tracks, srt_url(listener), error)) << error;
    for (int bad : {-1, 2, 99}) {
        QueuedPacket &p = packets[1];
        const int32_t keep = p.track_number;
        p.track_number = bad;
        EXPECT_EQ(mux_write(muxer, p), AVERROR(EINVAL)) << bad;
        p.track_number = keep;
        EXPECT_GT(p.packet->size, 0);
    }
    QueuedPacket empty;
    empty.track_number = 0;
    EXPECT_EQ(mux_write(muxer, empty), AVERROR(EINVAL));

    EXPECT_GE(mux_write(muxer, packets[0]), 0);
    EXPECT_EQ(packets[0].packet->size, 0) << "a written packet's data is handed to FFmpeg";
    mux_finish(muxer, true);
    EXPECT_EQ(mux_write(muxer, packets[2]), AVERROR(EINVAL));
    mux_close(muxer);
}

// A source whose timestamps start 10 s in comes out starting near 0, every track shifted
// by the same amount, each track's DTS strictly increasing.
TEST(TsMuxer, RelayStartsNearZeroAndKeepsTrackTiming) {
    const std::string source = test_media::generate(
        "av_at10_3.0s.ts", "va", 3.0,
        {"-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "25", "-c:a", "aac", "-ac", "2",
         "-muxdelay", "0", "-muxpreload", "0", "-output_ts_offset", "10", "-shortest", "-f", "mpegts"});
    ASSERT_FALSE(source.empty());
    const ProbedMedia in = probe_media(source);
    ASSERT_TRUE(in.ok) << in.error;
    ASSERT_GT(in.start_time, 9.9);

    LoopbackSrtListener listener;
    std::string error;
    const ReceivedFile received("shift");
    ASSERT_TRUE(listener.start(received, {}, error)) << error;
    OpenedInput av;
    ASSERT_TRUE(av.open(source));
    std::vector<QueuedPacket> packets = read_all(*av.input);

    TsMuxer muxer;
    ASSERT_TRUE(mux_open(muxer, av.input->tracks, srt_url(listener), error)) << error;
    for (auto &p : packets) ASSERT_GE(mux_write(muxer, p), 0);
    mux_finish(muxer, true);
    mux_close(muxer);
    ASSERT_TRUE(listener.wait_connection_closed(10s));
    listener.stop();

    const ProbedMedia out = probe_media(received);
    ASSERT_TRUE(out.ok) << out.error;
    ASSERT_EQ(out.streams.size(), 2u);
    const ProbedStream *v = out.find("video");
    const ProbedStream *a = out.find("audio");
    ASSERT_TRUE(v && a);
    EXPECT_EQ(v->codec, "h264");
    EXPECT_EQ(a->codec, "aac");
    EXPECT_TRUE(v->dts_increasing);
    EXPECT_TRUE(a->dts_increasing);
    EXPECT_LT(out.start_time, 0.2);
    EXPECT_NEAR(out.duration(), in.duration(), 0.5);
    // One shift for the whole input: the gap between the tracks' starts survives.
    const double in_gap = in.find("video")->first_pts - in.find("audio")->first_pts;
    EXPECT_NEAR(v->first_pts - a->first_pts, in_gap, 0.002);
}

// A packet whose DTS does not move forward is moved to previous + 1 with its PTS shifted
// alike; a first packet without any timestamp gets 0.
TEST(TsMuxer, DtsIsForcedUpwardAndMissingTimesFilled) {
    LoopbackSrtListener listener;
    std::string error;
    const ReceivedFile received("dts");
    ASSERT_TRUE(listener.start(received, {}, error)) << error;
    OpenedInput v;
    ASSERT_TRUE(v.open(test_media::video_only_mp4(), true, false));
    std::vector<QueuedPacket> packets = read_all(*v.input);
    ASSERT_GT(packets.size(), 10u);

    // Writing hands the packet to FFmpeg, so the original times are kept aside.
    std::vector<int64_t> dts;
    for (const auto &p : packets) dts.push_back(p.packet->dts);

    TsMuxer muxer;
    ASSERT_TRUE(mux_open(muxer, v.input->tracks, srt_url(listener), error)) << error;

    packets[0].packet->dts = AV_NOPTS_VALUE;
    packets[0].packet->pts = AV_NOPTS_VALUE;
    ASSERT_GE(mux_write(muxer, packets[0]), 0);
    EXPECT_EQ(muxer.last_dts[0], 0);

    // The offset comes from the first packet that has a time: packet 1 lands on 0 too,
    // and is pushed to 1.
    ASSERT_GE(mux_write(muxer, packets[1]), 0);
    EXPECT_EQ(muxer.last_dts[0], 1);

    for (size_t i = 2; i < 5; ++i) ASSERT_GE(mux_write(muxer, packets[i]), 0);
    const int64_t before = muxer.last_dts[0];
    // Packet 5 repeats the DTS of packet 4 and its PTS lies 2 frames later.
    const int64_t frame = dts[5] - dts[4];
    ASSERT_GT(frame, 0);
    packets[5].packet->dts = dts[4];
    packets[5].packet->pts = dts[4] + 2 * frame;
    ASSERT_GE(mux_write(muxer, packets[5]), 0);
    EXPECT_EQ(muxer.last_dts[0], before + 1);
    // A DTS below the previous one is moved too.
    packets[6].packet->dts = dts[1];
    packets[6].packet->pts = dts[1];
    ASSERT_GE(mux_write(muxer, packets[6]), 0);
    EXPECT_EQ(muxer.last_dts[0], before + 2);
    for (size_t i = 7; i < packets.size(); ++i) ASSERT_GE(mux_write(muxer, packets[i]), 0);
    mux_finish(muxer, true);
    mux_close(muxer);
    ASSERT_TRUE(listener.wait_connection_closed(10s));
    listener.stop();

    const ProbedMedia out = probe_media(received);
    ASSERT_TRUE(out.ok) << out.error;
    const ProbedStream *s = out.find("video");
    ASSERT_TRUE(s);
    ASSERT_EQ(s->packets, static_cast<int64_t>(packets.size()));
    EXPECT_TRUE(s->dts_increasing);
    // In the 90 kHz output: packet 5 sits one tick after packet 4, 2 frames of delay kept.
    ASSERT_EQ(s->time_base_den, 90000);
    EXPECT_EQ(s->dts[5], s->dts[4] + 1);
    EXPECT_EQ(s->pts[5] - s->dts[5], 2 * 3600);
    EXPECT_EQ(s->dts[6], s->dts[5] + 1);
    EXPECT_EQ(s->dts[1] - s->dts[0], 1);
}

// Without a trailer the last buffered audio never reaches the receiver, but what the
// SRT output held is still delivered.
TEST(TsMuxer, FinishWithoutTrailerStillDrains) {
    OpenedInput av;
    ASSERT_TRUE(av.open(test_media::h264_aac_mp4()));
    int64_t sizes[2] = {0, 0};
    for (int ok = 0; ok < 2; ++ok) {
        LoopbackSrtListener listener;
        std::string error;
        const ReceivedFile received(ok ? "trailer" : "no-trailer");
        ASSERT_TRUE(listener.start(received, {}, error)) << error;
        std::string text;
        ASSERT_TRUE(av.open(test_media::h264_aac_mp4()));
        std::vector<QueuedPacket> packets = read_all(*av.input);
        TsMuxer muxer;
        ASSERT_TRUE(mux_open(muxer, av.input->tracks, srt_url(listener), error)) << error;
        for (auto &p : packets) ASSERT_GE(mux_write(muxer, p), 0);
        mux_finish(muxer, ok == 1);
        EXPECT_FALSE(muxer.output);
        mux_close(muxer);
        ASSERT_TRUE(listener.wait_connection_closed(10s));
        listener.stop();
        sizes[ok] = file_size(received);
    }
    EXPECT_GT(sizes[0], 100000);
    EXPECT_LT(sizes[0], sizes[1]);
}
