// Opening inputs: options, stream selection, failures with their texts, the interrupt
// check, and closing in every state. Real files and a real loopback HTTP server.

#include "input_source.h"

#include "ffmpeg_error.h"
#include "loopback_services.h"
#include "stop_control.h"
#include "test_media.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string dict_value(AVDictionary *dictionary, const char *key)
{
    const AVDictionaryEntry *entry = av_dict_get(dictionary, key, nullptr, 0);
    return entry != nullptr ? entry->value : "<absent>";
}

// A TCP listener on 127.0.0.1 that accepts connections into its backlog and never
// answers: an address whose host does not answer.
class SilentListener {
public:
    SilentListener()
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
            ::listen(fd_, 8) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~SilentListener()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/live.ts"; }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

} // namespace

TEST(FfmpegErrorText, CodeBlankAndLibraryTextInParentheses)
{
    EXPECT_EQ(ffmpeg_error_text(AVERROR(EIO)), "-5 (Input/output error)");
    EXPECT_EQ(ffmpeg_error_text(AVERROR(ENOENT)), "-2 (No such file or directory)");
    EXPECT_EQ(ffmpeg_error_text(AVERROR_EOF), std::to_string(AVERROR_EOF) + " (End of file)");
    EXPECT_EQ(ffmpeg_error_text(AVERROR_EXIT), std::to_string(AVERROR_EXIT) + " (Immediate exit requested)");
    // A code the library does not know still gets a text.
    const std::string unknown = ffmpeg_error_text(-123456);
    EXPECT_EQ(unknown.rfind("-123456 (", 0), 0u) << unknown;
    EXPECT_EQ(unknown.back(), ')');
    EXPECT_GT(unknown.size(), std::string("-123456 ()").size());
}

TEST(InputOpenOptions, FixedOptionsAndHlsRule)
{
    struct Case {
        const char *address;
        bool hls;
    };
    const Case cases[] = {
        {"https://cdn.example/live/index.m3u8", true},
        {"https://cdn.example/live/INDEX.M3U8", true},
        {"https://cdn.example/play?type=M3u8&id=1", true},
        {"https://cdn.example/m3u8/segment", true},
        {"https://cdn.example/video.mp4", false},
        {"https://cdn.example/m3u-8/video.mp4", false},
        {"/tmp/file.ts", false},
    };
    for (const Case &c : cases) {
        AVDictionary *options = input_open_options(c.address);
        EXPECT_EQ(dict_value(options, "rw_timeout"), "10000000") << c.address;
        EXPECT_EQ(dict_value(options, "timeout"), "10000000") << c.address;
        EXPECT_EQ(dict_value(options, "stimeout"), "10000000") << c.address;
        EXPECT_EQ(dict_value(options, "user_agent"),
                  "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 "
                  "(KHTML, like Gecko) Version/18.6 Safari/605.1.15")
            << c.address;
        EXPECT_EQ(dict_value(options, "http_multiple"), c.hls ? "0" : "<absent>") << c.address;
        EXPECT_EQ(av_dict_count(options), c.hls ? 5 : 4) << c.address;
        av_dict_free(&options);
    }
}

TEST(InputSource, StreamSelectionOnLocalFiles)
{
    const std::string both = test_media::h264_aac_mp4();
    const std::string audio_only = test_media::audio_only_m4a();
    const std::string video_only = test_media::video_only_mp4();
    ASSERT_FALSE(both.empty());
    ASSERT_FALSE(audio_only.empty());
    ASSERT_FALSE(video_only.empty());

    struct Expected {
        int media_type;
        int track_number;
    };
    struct Case {
        const char *name;
        std::string path;
        int32_t first_track;
        bool want_video;
        bool want_audio;
        std::vector<Expected> tracks;  // empty: the open fails
    };
    const Case cases[] = {
        {"both wanted, both present", both, 0, true, true,
         {{AVMEDIA_TYPE_VIDEO, 0}, {AVMEDIA_TYPE_AUDIO, 1}}},
        {"video of a combined source", both, 0, true, false, {{AVMEDIA_TYPE_VIDEO, 0}}},
        {"split audio input", audio_only, 1, false, true, {{AVMEDIA_TYPE_AUDIO, 1}}},
        {"audio only, both wanted", audio_only, 0, true, true, {{AVMEDIA_TYPE_AUDIO, 0}}},
        {"video only, both wanted", video_only, 0, true, true, {{AVMEDIA_TYPE_VIDEO, 0}}},
        {"audio only, video wanted", audio_only, 0, true, false, {}},
        {"video only, audio wanted", video_only, 1, false, true, {}},
        {"nothing wanted", both, 0, false, false, {}},
    };
    for (const Case &c : cases) {
        InputSource input(&keep_running, c.first_track, nullptr);
        std::string error = "previous text";
        const bool ok = open_input(input, c.path, c.want_video, c.want_audio, error);
        ASSERT_EQ(ok, !c.tracks.empty()) << c.name << ": " << error;
        if (!ok) {
            EXPECT_EQ(error, "No requested video or audio stream") << c.name;
            continue;
        }
        EXPECT_EQ(error, "previous text") << c.name;
        ASSERT_EQ(input.tracks.size(), c.tracks.size()) << c.name;
        ASSERT_EQ(input.stream_to_track.size(), c.tracks.size()) << c.name;
        for (size_t i = 0; i < c.tracks.size(); ++i) {
            const InputTrack &track = input.tracks[i];
            EXPECT_EQ(track.format_context, input.format_context.get()) << c.name;
            EXPECT_EQ(track.media_type, c.tracks[i].media_type) << c.name;
            ASSERT_GE(track.stream_index, 0);
            ASSERT_LT(track.stream_index, static_cast<int>(input.format_context->nb_streams));
            EXPECT_EQ(input.format_context->streams[track.stream_index]->codecpar->codec_type,
                      c.tracks[i].media_type)
                << c.name;
            EXPECT_EQ(input.stream_to_track.at(track.stream_index), c.tracks[i].track_number) << c.name;
        }
        EXPECT_TRUE(input.format_context->flags & AVFMT_FLAG_DISCARD_CORRUPT) << c.name;
        EXPECT_EQ(input.format_context->interrupt_callback.opaque, &input) << c.name;
    }
}

TEST(InputSource, OpensOverLoopbackHttp)
{
    const std::string mp4 = test_media::h264_aac_mp4();
    const std::string playlist = test_media::hls_vod();
    ASSERT_FALSE(mp4.empty());
    ASSERT_FALSE(playlist.empty());
    LoopbackHttpServer server;
    std::string error;
    ASSERT_TRUE(server.start(test_media::data_dir(), error)) << error;

    for (const std::string &path : {mp4, playlist}) {
        InputSource input(&keep_running, 0, nullptr);
        ASSERT_TRUE(open_input(input, server.url_for_file(path), true, true, error)) << path << ": " << error;
        ASSERT_EQ(input.tracks.size(), 2u) << path;
        EXPECT_EQ(input.tracks[0].media_type, AVMEDIA_TYPE_VIDEO);
        EXPECT_EQ(input.tracks[1].media_type, AVMEDIA_TYPE_AUDIO);
    }
}

TEST(InputSource, OpenFailuresCarryTheirTexts)
{
    const int closed_port = closed_loopback_port();
    ASSERT_GT(closed_port, 0);
    const std::string missing = test_media::data_dir() + "/does-not-exist.ts";
    const std::string not_media = test_media::data_dir() + "/zeros-" + std::to_string(::getpid()) + ".bin";
    {
        std::FILE *file = std::fopen(not_media.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        const std::vector<char> zeros(4096, 0);
        std::fwrite(zeros.data(), 1, zeros.size(), file);
        std::fclose(file);
    }
    struct Case {
        std::string address;
        std::string error;  // expected text; a trailing '*' matches any rest
    };
    const Case cases[] = {
        {missing, "avformat_open_input: -2 (No such file or directory)"},
        {"http://127.0.0.1:" + std::to_string(closed_port) + "/live.m3u8",
         "avformat_open_input: -111 (Connection refused)"},
        {not_media, "avformat_open_input: " + ffmpeg_error_text(AVERROR_INVALIDDATA)},
    };
    for (const Case &c : cases) {
        InputSource input(&keep_running, 0, nullptr);
        std::string error;
        EXPECT_FALSE(open_input(input, c.address, true, true, error)) << c.address;
        if (c.error.back() == '*')
            EXPECT_EQ(error.rfind(c.error.substr(0, c.error.size() - 1), 0), 0u) << error;
        else
            EXPECT_EQ(error, c.error) << c.address;
        EXPECT_FALSE(input.format_context) << c.address;
        EXPECT_TRUE(input.tracks.empty());
        close_input(input);  // after a failed open, and again in the destructor
    }
    std::remove(not_media.c_str());
}

TEST(InputSource, InterruptCheckFollowsBothFlags)
{
    EXPECT_EQ(input_interrupt_check(nullptr), 1);

    std::atomic<bool> running{true};
    InputSource input(&running, 0, nullptr);
    EXPECT_EQ(input_interrupt_check(&input), 0);
    input.stop_requested = true;
    EXPECT_EQ(input_interrupt_check(&input), 1);
    input.stop_requested = false;
    running = false;
    EXPECT_EQ(input_interrupt_check(&input), 1);

    InputSource unwatched(nullptr, 0, nullptr);
    EXPECT_EQ(input_interrupt_check(&unwatched), 0);
}

TEST(InputSource, StopRequestAbortsAnOpenThatWouldHang)
{
    SilentListener silent;
    ASSERT_GT(silent.port(), 0);
    InputSource input(&keep_running, 0, nullptr);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        input.stop_requested = true;
    });
    std::string error;
    const auto started = Clock::now();
    const bool ok = open_input(input, silent.url(), true, true, error);
    const auto elapsed = Clock::now() - started;
    stopper.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "avformat_open_input: " + ffmpeg_error_text(AVERROR_EXIT));
    EXPECT_LT(elapsed, std::chrono::seconds(3));
}

// keep_running can only be cleared, so the clearing runs in a child process.
TEST(InputSourceDeathTest, ClearedRunFlagAbortsAnOpenThatWouldHang)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    SilentListener silent;
    ASSERT_GT(silent.port(), 0);
    EXPECT_EXIT(
        {
            InputSource input(&keep_running, 0, nullptr);
            std::thread stopper([] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                keep_running = false;
            });
            std::string error;
            const auto started = Clock::now();
            const bool ok = open_input(input, silent.url(), true, true, error);
            const auto elapsed = Clock::now() - started;
            stopper.join();
            std::fprintf(stderr, "result=%d error=%s\n", ok ? 1 : 0, error.c_str());
            std::exit(!ok && elapsed < std::chrono::seconds(3) ? 0 : 1);
        },
        testing::ExitedWithCode(0), "result=0 error=avformat_open_input: -[0-9]+ \\(Immediate exit requested\\)");
}

TEST(InputSource, SilentHostFailsAfterTheTenSecondTimeout)
{
    SilentListener silent;
    ASSERT_GT(silent.port(), 0);
    InputSource input(&keep_running, 0, nullptr);
    std::string error;
    const auto started = Clock::now();
    EXPECT_FALSE(open_input(input, silent.url(), true, true, error));
    const auto elapsed = Clock::now() - started;
    EXPECT_EQ(error.rfind("avformat_open_input: ", 0), 0u) << error;
    EXPECT_GE(elapsed, std::chrono::seconds(9));
    EXPECT_LT(elapsed, std::chrono::seconds(30));
}

TEST(InputSource, CloseIsHarmlessInEveryState)
{
    {
        InputSource never_opened(&keep_running, 0, nullptr);
        close_input(never_opened);
        close_input(never_opened);
    }
    const std::string path = test_media::h264_aac_mp4();
    ASSERT_FALSE(path.empty());
    InputSource input(&keep_running, 0, nullptr);
    std::string error;
    ASSERT_TRUE(open_input(input, path, true, true, error)) << error;
    close_input(input);
    EXPECT_FALSE(input.format_context);
    EXPECT_TRUE(input.tracks.empty());
    EXPECT_TRUE(input.stop_requested);
}
