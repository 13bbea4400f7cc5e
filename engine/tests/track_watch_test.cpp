// Parameter change watch: synthetic streams and packets with side data, real H.264
// packets whose picture size switches, and a relay of such a source through the engine.

#include "track_watch.h"

#include "loopback_services.h"
#include "relay_harness.h"
#include "test_media.h"

#include <gtest/gtest.h>

#include <unistd.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct FormatContextDeleter {
    void operator()(AVFormatContext *context) const { avformat_free_context(context); }
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;

struct PacketDeleter {
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;

// Texts of the log lines in `captured`, without their timestamps.
std::vector<std::string> log_texts(const std::string &captured)
{
    std::vector<std::string> texts;
    std::istringstream in(captured);
    std::string line;
    const size_t stamp = std::strlen("YYYY-MM-DD HH:MM:SS  ");
    while (std::getline(in, line))
        texts.push_back(line.size() >= stamp ? line.substr(stamp) : line);
    return texts;
}

void set_extradata(AVCodecParameters &parameters, const std::vector<uint8_t> &bytes)
{
    av_freep(&parameters.extradata);
    parameters.extradata_size = 0;
    if (bytes.empty())
        return;
    parameters.extradata = static_cast<uint8_t *>(av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(parameters.extradata, bytes.data(), bytes.size());
    parameters.extradata_size = static_cast<int>(bytes.size());
}

// One stream in a context of its own, parameters as a demuxer would leave them.
struct SyntheticStream {
    FormatContextPtr context{avformat_alloc_context()};
    AVStream *stream = avformat_new_stream(context.get(), nullptr);

    AVCodecParameters &parameters() { return *stream->codecpar; }
};

SyntheticStream video_stream(AVCodecID codec, int width, int height)
{
    SyntheticStream s;
    s.parameters().codec_type = AVMEDIA_TYPE_VIDEO;
    s.parameters().codec_id = codec;
    s.parameters().width = width;
    s.parameters().height = height;
    return s;
}

SyntheticStream audio_stream(AVCodecID codec, int sample_rate, int channels)
{
    SyntheticStream s;
    s.parameters().codec_type = AVMEDIA_TYPE_AUDIO;
    s.parameters().codec_id = codec;
    s.parameters().sample_rate = sample_rate;
    av_channel_layout_default(&s.parameters().ch_layout, channels);
    return s;
}

Packet payload_packet(int size = 32)
{
    Packet packet(av_packet_alloc());
    av_new_packet(packet.get(), size);
    std::memset(packet->data, 0, static_cast<size_t>(size));
    return packet;
}

// AV_PKT_DATA_PARAM_CHANGE side data made of little-endian 32-bit words.
void add_param_change(AVPacket &packet, const std::vector<uint32_t> &words)
{
    uint8_t *data = av_packet_new_side_data(&packet, AV_PKT_DATA_PARAM_CHANGE, words.size() * 4);
    for (size_t i = 0; i < words.size(); ++i)
        AV_WL32(data + 4 * i, words[i]);
}

void add_new_extradata(AVPacket &packet, const std::vector<uint8_t> &bytes)
{
    uint8_t *data = av_packet_new_side_data(&packet, AV_PKT_DATA_NEW_EXTRADATA, bytes.size());
    std::memcpy(data, bytes.data(), bytes.size());
}

std::vector<TrackWatch> watches_for(AVStream *stream, int count = 1)
{
    std::vector<TrackWatch> watches;
    for (int i = 0; i < count; ++i)
        watches.push_back(make_track_watch(stream->codecpar));
    return watches;
}

// Runs the watch and returns the log texts it wrote.
std::vector<std::string> watch_logged(std::vector<TrackWatch> &watches, int track,
                                      const AVStream *stream, const AVPacket *packet)
{
    av_log_set_level(AV_LOG_QUIET);  // parsers complain about the made-up payloads
    testing::internal::CaptureStderr();
    watch_parameters(watches, track, stream, packet);
    return log_texts(testing::internal::GetCapturedStderr());
}

using Lines = std::vector<std::string>;

} // namespace

TEST(TrackWatchOpen, SeedsFromParametersAndHasParserOnlyWhenTheCodecHasOne)
{
    SyntheticStream h264 = video_stream(AV_CODEC_ID_H264, 1280, 720);
    set_extradata(h264.parameters(), std::vector<uint8_t>(40, 7));
    TrackWatch video = make_track_watch(h264.stream->codecpar);
    EXPECT_EQ(video.codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(video.width, 1280);
    EXPECT_EQ(video.height, 720);
    EXPECT_EQ(video.extradata, std::vector<uint8_t>(40, 7));
    EXPECT_TRUE(video.parser);
    EXPECT_TRUE(video.codec_context);

    SyntheticStream aac = audio_stream(AV_CODEC_ID_AAC, 44100, 2);
    TrackWatch audio = make_track_watch(aac.stream->codecpar);
    EXPECT_EQ(audio.sample_rate, 44100);
    EXPECT_EQ(audio.channels, 2);
    EXPECT_TRUE(audio.extradata.empty());

    SyntheticStream pcm = audio_stream(AV_CODEC_ID_PCM_S16LE, 48000, 2);
    TrackWatch plain = make_track_watch(pcm.stream->codecpar);
    EXPECT_FALSE(plain.parser);
    EXPECT_FALSE(plain.codec_context);

    TrackWatch empty = make_track_watch(nullptr);
    EXPECT_EQ(empty.codec_id, AV_CODEC_ID_NONE);
    EXPECT_FALSE(empty.parser);
}

TEST(TrackWatch, IdenticalParametersLogNothing)
{
    SyntheticStream s = video_stream(AV_CODEC_ID_H264, 1280, 720);
    set_extradata(s.parameters(), std::vector<uint8_t>(40, 1));
    auto watches = watches_for(s.stream);
    for (int i = 0; i < 3; ++i) {
        Packet packet = payload_packet();
        EXPECT_EQ(watch_logged(watches, 0, s.stream, packet.get()), Lines{});
    }
}

TEST(TrackWatch, MissingInputsOrBadTrackNumbersDoNothing)
{
    SyntheticStream s = video_stream(AV_CODEC_ID_RAWVIDEO, 1280, 720);
    auto watches = watches_for(s.stream);
    s.parameters().width = 1920;  // would be reported if the watch ran
    s.parameters().height = 1080;
    Packet packet = payload_packet();

    EXPECT_EQ(watch_logged(watches, -1, s.stream, packet.get()), Lines{});
    EXPECT_EQ(watch_logged(watches, 1, s.stream, packet.get()), Lines{});
    EXPECT_EQ(watch_logged(watches, 0, nullptr, packet.get()), Lines{});
    EXPECT_EQ(watch_logged(watches, 0, s.stream, nullptr), Lines{});
    AVCodecParameters *parameters = s.stream->codecpar;
    s.stream->codecpar = nullptr;
    EXPECT_EQ(watch_logged(watches, 0, s.stream, packet.get()), Lines{});
    s.stream->codecpar = parameters;
    std::vector<TrackWatch> none;
    EXPECT_EQ(watch_logged(none, 0, s.stream, packet.get()), Lines{});
    EXPECT_EQ(watches[0].width, 1280);  // nothing moved forward
}

TEST(TrackWatch, SizeSwitchIsReportedOnceOnTheFirstPacketThatShowsIt)
{
    SyntheticStream s = video_stream(AV_CODEC_ID_RAWVIDEO, 1280, 720);
    auto watches = watches_for(s.stream);
    Packet before = payload_packet();
    EXPECT_EQ(watch_logged(watches, 0, s.stream, before.get()), Lines{});

    s.parameters().width = 1920;
    s.parameters().height = 1080;
    for (int i = 0; i < 3; ++i) {
        Packet packet = payload_packet();
        const Lines expected = i == 0 ? Lines{"Stream parameters changed track=0 1280x720 -> 1920x1080"} : Lines{};
        EXPECT_EQ(watch_logged(watches, 0, s.stream, packet.get()), expected) << "packet " << i;
    }
    EXPECT_EQ(watches[0].width, 1920);
    EXPECT_EQ(watches[0].height, 1080);
}

TEST(TrackWatch, OnlyUsableValuesCount)
{
    struct Case {
        const char *name;
        AVCodecID codec;
        int width;
        int height;
    };
    // A codec that turns into "none" and half-known sizes are not changes.
    const Case cases[] = {
        {"codec none", AV_CODEC_ID_NONE, 1280, 720},
        {"width zero", AV_CODEC_ID_RAWVIDEO, 0, 1080},
        {"height zero", AV_CODEC_ID_RAWVIDEO, 1920, 0},
        {"negative", AV_CODEC_ID_RAWVIDEO, -1, -1},
    };
    for (const Case &c : cases) {
        SyntheticStream s = video_stream(AV_CODEC_ID_RAWVIDEO, 1280, 720);
        auto watches = watches_for(s.stream);
        s.parameters().codec_id = c.codec;
        s.parameters().width = c.width;
        s.parameters().height = c.height;
        Packet packet = payload_packet();
        EXPECT_EQ(watch_logged(watches, 0, s.stream, packet.get()), Lines{}) << c.name;
        EXPECT_EQ(watches[0].codec_id, AV_CODEC_ID_RAWVIDEO) << c.name;
    }
}

TEST(TrackWatch, ParamChangeSideData)
{
    constexpr uint32_t RATE = 0x4;
    constexpr uint32_t SIZE = 0x8;
    constexpr uint32_t COUNT = 0x1;
    constexpr uint32_t LAYOUT = 0x2;
    struct Case {
        const char *name;
        std::vector<uint32_t> words;
        std::string expected;  // empty: nothing logged
    };
    const std::string prefix = "Stream parameters changed track=0";
    const Case cases[] = {
        {"sample rate", {RATE, 48000}, prefix + " sample_rate 44100 -> 48000"},
        {"sample rate zero", {RATE, 0}, ""},
        {"sample rate negative", {RATE, static_cast<uint32_t>(-48000)}, ""},
        {"sample rate missing", {RATE}, ""},
        {"flags only", {0}, ""},
        {"size", {SIZE, 1920, 1080}, prefix + " 1280x720 -> 1920x1080"},
        {"size one value zero", {SIZE, 1920, 0}, ""},
        {"size truncated", {SIZE, 1920}, ""},
        {"rate and size", {RATE | SIZE, 32000, 640, 360}, prefix + " 640x360 -> 640x360"},
        // older channel fields come first in the layout and are skipped
        {"after channel count", {COUNT | RATE, 6, 22050}, prefix + " sample_rate 44100 -> 22050"},
        {"after channel layout", {LAYOUT | RATE, 3, 0, 24000}, prefix + " sample_rate 44100 -> 24000"},
    };
    for (const Case &c : cases) {
        // A track of both kinds so every field can show; AAC has a parser whose context
        // keeps the opening values, which must not hide the side data's news.
        SyntheticStream s = audio_stream(AV_CODEC_ID_AAC, 44100, 2);
        s.parameters().width = 1280;
        s.parameters().height = 720;
        auto watches = watches_for(s.stream);
        Packet packet = payload_packet();
        add_param_change(*packet, c.words);
        std::string expected = c.expected;
        if (std::string(c.name) == "rate and size")
            expected = prefix + " 1280x720 -> 640x360 sample_rate 44100 -> 32000";
        const Lines logged = watch_logged(watches, 0, s.stream, packet.get());
        EXPECT_EQ(logged, expected.empty() ? Lines{} : Lines{expected}) << c.name;
    }
}

TEST(TrackWatch, SideDataShorterThanFlagsIsIgnored)
{
    SyntheticStream s = audio_stream(AV_CODEC_ID_PCM_S16LE, 44100, 2);
    auto watches = watches_for(s.stream);
    Packet packet = payload_packet();
    uint8_t *data = av_packet_new_side_data(packet.get(), AV_PKT_DATA_PARAM_CHANGE, 3);
    data[0] = 0x4;
    data[1] = data[2] = 0;
    EXPECT_EQ(watch_logged(watches, 0, s.stream, packet.get()), Lines{});
}

TEST(TrackWatch, ExtradataChangesAreReportedByLength)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> before;
        std::vector<uint8_t> after;
        std::string expected;
    };
    std::vector<uint8_t> forty(40, 1);
    std::vector<uint8_t> forty_other = forty;
    forty_other[39] = 2;
    const std::string prefix = "Stream parameters changed track=0 extradata ";
    const Case cases[] = {
        {"same length", forty, forty_other, prefix + "40 bytes replaced"},
        {"longer", forty, std::vector<uint8_t>(42, 1), prefix + "40 -> 42 bytes"},
        {"gone", forty, {}, prefix + "40 -> 0 bytes"},
        {"new", {}, {9, 9, 9}, prefix + "0 -> 3 bytes"},
        {"unchanged", forty, forty, ""},
    };
    for (const Case &c : cases) {
        SyntheticStream s = video_stream(AV_CODEC_ID_RAWVIDEO, 640, 360);
        set_extradata(s.parameters(), c.before);
        auto watches = watches_for(s.stream);
        set_extradata(s.parameters(), c.after);
        Packet packet = payload_packet();
        const Lines logged = watch_logged(watches, 0, s.stream, packet.get());
        EXPECT_EQ(logged, c.expected.empty() ? Lines{} : Lines{c.expected}) << c.name;
        EXPECT_EQ(watches[0].extradata, c.after) << c.name;
        Packet next = payload_packet();
        EXPECT_EQ(watch_logged(watches, 0, s.stream, next.get()), Lines{}) << c.name;
    }
}

TEST(TrackWatch, NewExtradataSideDataThenTheStreamsOwnAgain)
{
    SyntheticStream s = video_stream(AV_CODEC_ID_RAWVIDEO, 640, 360);
    set_extradata(s.parameters(), std::vector<uint8_t>(40, 1));
    auto watches = watches_for(s.stream);

    Packet with_side_data = payload_packet();
    add_new_extradata(*with_side_data, std::vector<uint8_t>(42, 5));
    EXPECT_EQ(watch_logged(watches, 0, s.stream, with_side_data.get()),
              Lines{"Stream parameters changed track=0 extradata 40 -> 42 bytes"});

    Packet plain = payload_packet();
    EXPECT_EQ(watch_logged(watches, 0, s.stream, plain.get()),
              Lines{"Stream parameters changed track=0 extradata 42 -> 40 bytes"});
    Packet again = payload_packet();
    EXPECT_EQ(watch_logged(watches, 0, s.stream, again.get()), Lines{});
}

TEST(TrackWatch, SeveralChangesShareOneLineInFixedOrder)
{
    SyntheticStream s = audio_stream(AV_CODEC_ID_PCM_S16LE, 44100, 2);
    s.parameters().width = 640;
    s.parameters().height = 360;
    auto watches = watches_for(s.stream, 3);

    s.parameters().codec_id = AV_CODEC_ID_PCM_S16BE;
    s.parameters().width = 1280;
    s.parameters().height = 720;
    s.parameters().sample_rate = 48000;
    av_channel_layout_uninit(&s.parameters().ch_layout);
    av_channel_layout_default(&s.parameters().ch_layout, 6);
    set_extradata(s.parameters(), {1, 2, 3});

    Packet packet = payload_packet();
    EXPECT_EQ(watch_logged(watches, 2, s.stream, packet.get()),
              Lines{"Stream parameters changed track=2 codec pcm_s16le -> pcm_s16be 640x360 -> 1280x720"
                    " sample_rate 44100 -> 48000 channels 2 -> 6 extradata 0 -> 3 bytes"});
    // Only track 2 moved forward.
    EXPECT_EQ(watches[2].codec_id, AV_CODEC_ID_PCM_S16BE);
    EXPECT_EQ(watches[0].codec_id, AV_CODEC_ID_PCM_S16LE);
    Packet next = payload_packet();
    EXPECT_EQ(watch_logged(watches, 2, s.stream, next.get()), Lines{});
    Packet other = payload_packet();
    EXPECT_EQ(watch_logged(watches, 0, s.stream, other.get()).size(), 1u);
}

TEST(TrackWatch, WatchLeavesPacketAndStreamUntouched)
{
    SyntheticStream s = video_stream(AV_CODEC_ID_H264, 1280, 720);
    auto watches = watches_for(s.stream);
    Packet packet = payload_packet(64);
    for (int i = 0; i < 64; ++i)
        packet->data[i] = static_cast<uint8_t>(i);
    packet->pts = 1234;
    packet->dts = 1200;
    add_param_change(*packet, {0x8, 1920, 1080});
    testing::internal::CaptureStderr();
    watch_parameters(watches, 0, s.stream, packet.get());
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(packet->pts, 1234);
    EXPECT_EQ(packet->dts, 1200);
    EXPECT_EQ(packet->size, 64);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(packet->data[i], i);
    EXPECT_EQ(s.parameters().width, 1280);
    EXPECT_EQ(s.parameters().height, 720);
}

namespace {

const std::vector<std::string> H264_TS = {"-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
                                          "-g", "25", "-bf", "0", "-b:v", "300k", "-c:a", "aac",
                                          "-b:a", "64k", "-ac", "2", "-muxdelay", "0", "-muxpreload", "0",
                                          "-shortest", "-f", "mpegts"};

std::vector<std::string> with(std::vector<std::string> first, const std::vector<std::string> &second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// MPEG-TS whose video is 1280x720 for two seconds and 1920x1080 for the next two: two
// generated segments, the second with timestamps continuing, joined byte for byte.
std::string size_switch_ts()
{
    const std::string small = test_media::generate("switch_part1_720.ts", "va", 2.0,
                                                   with({"-vf", "scale=1280:720"}, H264_TS));
    const std::string large = test_media::generate(
        "switch_part2_1080.ts", "va", 2.0, with({"-vf", "scale=1920:1080", "-output_ts_offset", "2"}, H264_TS));
    if (small.empty() || large.empty())
        return {};
    const std::string joined = test_media::data_dir() + "/switch_720_1080.ts";
    const std::string partial = joined + "." + std::to_string(::getpid()) + ".tmp";
    {
        std::ofstream out(partial, std::ios::binary);
        for (const std::string &part : {small, large}) {
            std::ifstream in(part, std::ios::binary);
            out << in.rdbuf();
        }
        if (!out)
            return {};
    }
    return std::rename(partial.c_str(), joined.c_str()) == 0 ? joined : std::string();
}

} // namespace

TEST(TrackWatchOnRealPackets, H264PictureSizeSwitchSeenByTheParserOnce)
{
    const std::string path = size_switch_ts();
    ASSERT_FALSE(path.empty());
    AVFormatContext *raw = nullptr;
    ASSERT_EQ(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext *)> context(
        raw, [](AVFormatContext *c) { avformat_close_input(&c); });
    ASSERT_GE(avformat_find_stream_info(context.get(), nullptr), 0);
    const int video = av_find_best_stream(context.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int audio = av_find_best_stream(context.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    ASSERT_GE(video, 0);
    ASSERT_GE(audio, 0);
    const AVStream *video_stream = context->streams[video];
    ASSERT_EQ(video_stream->codecpar->width, 1280);
    ASSERT_EQ(video_stream->codecpar->height, 720);

    std::vector<TrackWatch> watches;
    watches.push_back(make_track_watch(video_stream->codecpar));
    watches.push_back(make_track_watch(context->streams[audio]->codecpar));
    ASSERT_TRUE(watches[0].parser);

    Packet packet(av_packet_alloc());
    int video_packets = 0;
    av_log_set_level(AV_LOG_QUIET);  // the join of the two parts upsets the demuxer once
    testing::internal::CaptureStderr();
    while (av_read_frame(context.get(), packet.get()) >= 0) {
        const int track = packet->stream_index == video ? 0 : packet->stream_index == audio ? 1 : -1;
        if (track >= 0) {
            watch_parameters(watches, track, context->streams[packet->stream_index], packet.get());
            video_packets += track == 0 ? 1 : 0;
        }
        av_packet_unref(packet.get());
    }
    const Lines logged = log_texts(testing::internal::GetCapturedStderr());
    EXPECT_GE(video_packets, 90);  // 4 s at 25 fps
    EXPECT_EQ(logged, Lines{"Stream parameters changed track=0 1280x720 -> 1920x1080"});
}

TEST(TrackWatchRelay, SizeSwitchInASourceIsLoggedOnceAndTheRunEnds)
{
    const std::string path = size_switch_ts();
    ASSERT_FALSE(path.empty());
    RelayHarness relay;
    std::string error;
    ASSERT_TRUE(relay.start(error)) << error;
    const EngineRun run = run_engine({"--media-url", relay.media_url(path), "--srt-url", relay.srt_url()},
                                     std::chrono::seconds(60));
    EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
    ASSERT_FALSE(run.events.empty()) << run.process.err;
    EXPECT_EQ(run.events.back(), event_line("eof")) << run.process.err;

    std::vector<std::string> changes;
    for (const std::string &line : split_lines(run.process.err)) {
        const size_t at = line.find("Stream parameters changed");
        if (at != std::string::npos)
            changes.push_back(line.substr(at));
    }
    EXPECT_EQ(changes, Lines{"Stream parameters changed track=0 1280x720 -> 1920x1080"}) << run.process.err;
}
