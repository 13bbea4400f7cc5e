// Start seek: where reading begins after apply_start_position, and what it logs.

#include "start_position.h"

#include "input_source.h"
#include "packet_reader.h"
#include "stop_control.h"
#include "test_media.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace {

std::vector<std::string> log_texts(const std::string &captured)
{
    std::vector<std::string> texts;
    std::istringstream in(captured);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() > 21 && line[4] == '-' && line[19] == ' ')
            texts.push_back(line.substr(21));
    }
    return texts;
}

// Packet time (microseconds) of the first packet the reader delivers.
int64_t first_packet_time(InputSource &input)
{
    start_reader(input);
    QueuedPacket holder;
    const bool got = pop_packet(input, holder);
    stop_reader(input);
    return got ? holder.time_us : -1;
}

using Lines = std::vector<std::string>;

} // namespace

TEST(StartPosition, SeeksBothInputsOrFallsBackToTheBeginning)
{
    const std::string video = test_media::video_only_mp4();
    const std::string audio = test_media::audio_only_m4a();
    ASSERT_FALSE(video.empty());
    ASSERT_FALSE(audio.empty());

    struct Case {
        const char *name;
        int64_t start_us;
        bool second_opened;
        Lines logged;
        int64_t min_first_us;  // range of the video input's first packet time
        int64_t max_first_us;
    };
    const Case cases[] = {
        {"zero: no seek, no line", 0, true, {}, 0, 0},
        {"negative: no seek, no line", -5'000'000, true, {}, 0, 0},
        // Key frames every second: a start 2.9 s in lands on the one at 2 s.
        {"both inputs reach it", 2'900'000, true, {"Start at 2s"}, 1'900'000, 2'900'000},
        {"whole seconds logged", 1'500'000, true, {"Start at 1s"}, 900'000, 1'500'000},
        {"one input cannot seek", 2'900'000, false, {"Start seek failed, reading from the beginning"}, 0, 0},
    };
    for (const Case &c : cases) {
        InputSource first(&keep_running, 0, nullptr);
        InputSource second(&keep_running, 1, nullptr);
        std::string error;
        ASSERT_TRUE(open_input(first, video, true, false, error)) << error;
        if (c.second_opened) {
            ASSERT_TRUE(open_input(second, audio, false, true, error)) << error;
        }
        testing::internal::CaptureStderr();
        apply_start_position(first, &second, c.start_us);
        EXPECT_EQ(log_texts(testing::internal::GetCapturedStderr()), c.logged) << c.name;
        const int64_t first_time = first_packet_time(first);
        EXPECT_GE(first_time, c.min_first_us) << c.name;
        EXPECT_LE(first_time, c.max_first_us) << c.name;
        if (c.second_opened && c.start_us > 0) {
            const int64_t audio_time = first_packet_time(second);
            EXPECT_GT(audio_time, c.start_us - 1'000'000) << c.name;
            EXPECT_LE(audio_time, c.start_us) << c.name;
        }
    }
}

TEST(StartPosition, SingleInputSeek)
{
    const std::string path = test_media::h264_aac_mp4();
    ASSERT_FALSE(path.empty());
    InputSource input(&keep_running, 0, nullptr);
    std::string error;
    ASSERT_TRUE(open_input(input, path, true, true, error)) << error;
    testing::internal::CaptureStderr();
    apply_start_position(input, nullptr, 2'000'000);
    EXPECT_EQ(log_texts(testing::internal::GetCapturedStderr()), Lines{"Start at 2s"});
    EXPECT_GE(first_packet_time(input), 1'900'000);
}

TEST(SeekInput, FailuresAndNegativeTimes)
{
    InputSource closed(&keep_running, 0, nullptr);
    std::string error = "earlier";
    EXPECT_FALSE(seek_input(closed, 1'000'000, error));
    EXPECT_EQ(error, "Input is not open");

    const std::string path = test_media::h264_aac_mp4();
    ASSERT_FALSE(path.empty());
    InputSource input(&keep_running, 0, nullptr);
    ASSERT_TRUE(open_input(input, path, true, true, error)) << error;
    error = "untouched";
    EXPECT_TRUE(seek_input(input, 2'000'000, error));
    EXPECT_TRUE(seek_input(input, -3'000'000, error));  // counts as 0
    EXPECT_EQ(error, "untouched");
    EXPECT_LT(first_packet_time(input), 100'000);
}
