// The shared test fixtures themselves: generated media, the loopback HTTP server and its
// fault modes. The relay tests lean on these, so a fault here must show up here first.

#include "loopback_services.h"
#include "media_probe.h"
#include "test_media.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <cmath>
#include <fstream>

namespace {

// Reads a whole resource through FFmpeg's own HTTP client, as the engine will.
// Returns the bytes read and the final read result (AVERROR_EOF on a clean end).
struct FetchResult {
    int open_rc = 0;
    int64_t bytes = 0;
    int end_rc = 0;
    std::string head;
};

FetchResult fetch(const std::string &url, int64_t seek_to = 0) {
    FetchResult r;
    AVIOContext *io = nullptr;
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "rw_timeout", "5000000", 0);
    r.open_rc = avio_open2(&io, url.c_str(), AVIO_FLAG_READ, nullptr, &opts);
    av_dict_free(&opts);
    if (r.open_rc < 0) return r;
    if (seek_to > 0) avio_seek(io, seek_to, SEEK_SET);
    unsigned char buf[4096];
    for (;;) {
        const int n = avio_read(io, buf, sizeof buf);
        if (n < 0) {
            r.end_rc = n;
            break;
        }
        if (r.head.size() < 16) r.head.append(reinterpret_cast<char *>(buf), std::min(n, 16));
        r.bytes += n;
    }
    avio_closep(&io);
    return r;
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

TEST(TestMedia, GeneratedFilesHaveTheAskedStreams) {
    struct Case {
        std::string path;
        std::vector<std::pair<std::string, std::string>> streams;  // type, codec
        double duration;
    };
    const std::vector<Case> cases = {
        {test_media::h264_aac_mp4(), {{"video", "h264"}, {"audio", "aac"}}, 3.0},
        {test_media::h264_aac_ts(), {{"video", "h264"}, {"audio", "aac"}}, 3.0},
        {test_media::video_only_mp4(), {{"video", "h264"}}, 3.0},
        {test_media::audio_only_m4a(), {{"audio", "aac"}}, 3.0},
        {test_media::hls_vod(), {{"video", "h264"}, {"audio", "aac"}}, 3.0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_FALSE(c.path.empty());
        const ProbedMedia m = probe_media(c.path);
        ASSERT_TRUE(m.ok) << m.error;
        ASSERT_EQ(m.streams.size(), c.streams.size());
        for (size_t i = 0; i < c.streams.size(); ++i) {
            const ProbedStream *s = m.find(c.streams[i].first);
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(s->codec, c.streams[i].second);
            EXPECT_GT(s->packets, 10);
        }
        EXPECT_NEAR(m.duration(), c.duration, 0.25);
    }
}

TEST(TestMedia, OffsetFilesStartWhereAsked) {
    const ProbedMedia v = probe_media(test_media::video_only_ts_at(5.0));
    const ProbedMedia a = probe_media(test_media::audio_only_ts_at(4.9));
    ASSERT_TRUE(v.ok && a.ok) << v.error << a.error;
    EXPECT_NEAR(v.start_time, 5.0, 0.05);
    EXPECT_NEAR(a.start_time, 4.9, 0.05);
}

TEST(TestMedia, Av1FileWhenAnEncoderExists) {
    if (!test_media::has_av1_encoder()) GTEST_SKIP() << "ffmpeg has no AV1 encoder";
    const ProbedMedia m = probe_media(test_media::av1_mp4());
    ASSERT_TRUE(m.ok) << m.error;
    ASSERT_NE(m.find("video"), nullptr);
    EXPECT_EQ(m.find("video")->codec, "av1");
}

TEST(LoopbackHttpServer, ServesWholeFilesRangesAndFaults) {
    const std::string file = test_media::h264_aac_ts();
    ASSERT_FALSE(file.empty());
    const std::string content = read_file(file);
    ASSERT_GT(content.size(), 60000u);

    LoopbackHttpServer server;
    std::string error;
    ASSERT_TRUE(server.start(test_media::data_dir(), error)) << error;
    const std::string name = file.substr(file.rfind('/') + 1);

    const FetchResult whole = fetch(server.url(name));
    ASSERT_EQ(whole.open_rc, 0);
    EXPECT_EQ(whole.bytes, static_cast<int64_t>(content.size()));
    EXPECT_EQ(whole.end_rc, AVERROR_EOF);
    EXPECT_EQ(whole.head, content.substr(0, 16));

    // A seek makes the client ask for a range: the rest of the file, from that offset.
    const FetchResult tail = fetch(server.url(name), 50000);
    ASSERT_EQ(tail.open_rc, 0);
    EXPECT_EQ(tail.bytes, static_cast<int64_t>(content.size()) - 50000);
    EXPECT_EQ(tail.head, content.substr(50000, 16));

    // The cut mode announces the whole file but breaks off: the client sees an I/O error.
    const FetchResult cut = fetch(server.url("cut/40000/" + name));
    ASSERT_EQ(cut.open_rc, 0);
    EXPECT_EQ(cut.bytes, 40000);
    EXPECT_EQ(cut.end_rc, AVERROR(EIO));

    EXPECT_LT(fetch(server.url("missing.ts")).open_rc, 0);
    EXPECT_LT(fetch(server.url("../etc/passwd")).open_rc, 0);
    server.stop();

    // Nobody listens on a closed port: the open fails at once.
    EXPECT_LT(fetch("http://127.0.0.1:" + std::to_string(closed_loopback_port()) + "/x").open_rc, 0);
}
