// Reader thread, packet queue and timestamp repair: synthetic packets for the repair
// rules, the queue on its own for capacity and shutdown, and real files served from disk
// and from the loopback HTTP server (with its stall mode) for the reader.

#include "packet_reader.h"

#include "ffmpeg_error.h"
#include "loopback_services.h"
#include "pacer.h"
#include "stop_control.h"
#include "test_media.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr int64_t NONE = AV_NOPTS_VALUE;

QueuedPacket queued(int32_t track, int64_t time_us)
{
    QueuedPacket entry;
    entry.packet.reset(av_packet_alloc());
    av_new_packet(entry.packet.get(), 16);  // a payload, so a leak would show
    entry.track_number = track;
    entry.time_us = time_us;
    return entry;
}

// Waits (bounded) until `condition` holds.
template <typename Condition>
bool wait_until(Condition condition, milliseconds limit)
{
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return condition();
}

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

} // namespace

TEST(PacketTime, RepairsMissingTimestampsAndNeverGoesBack)
{
    struct In {
        int stream;
        int64_t pts;
        int64_t dts;
        int64_t duration;
    };
    struct Out {
        int64_t pts;
        int64_t dts;
        int64_t time_us;
    };
    struct Case {
        const char *name;
        std::vector<In> in;
        std::vector<Out> out;
    };
    // Time base 1/1000: one unit is 1000 microseconds.
    const Case cases[] = {
        {"no timestamps, no durations: steps of 1",
         {{0, NONE, NONE, 0}, {0, NONE, NONE, 0}, {0, NONE, NONE, 0}},
         {{0, 0, 0}, {1, 1, 1000}, {2, 2, 2000}}},
        {"no timestamps, duration 40",
         {{0, NONE, NONE, 40}, {0, NONE, NONE, 40}, {0, NONE, NONE, 40}},
         {{0, 0, 0}, {40, 40, 40000}, {80, 80, 80000}}},
        {"last positive duration is kept",
         {{0, NONE, NONE, 40}, {0, NONE, NONE, 0}, {0, NONE, NONE, -5}},
         {{0, 0, 0}, {40, 40, 40000}, {80, 80, 80000}}},
        {"own duration counts for its own packet",
         {{0, 100, 100, 0}, {0, NONE, NONE, 25}},
         {{100, 100, 100000}, {125, 125, 125000}}},
        {"only a PTS", {{0, 500, NONE, 0}}, {{500, 500, 500000}}},
        {"only a DTS", {{0, NONE, 700, 0}}, {{700, 700, 700000}}},
        {"both kept", {{0, 900, 800, 0}}, {{900, 800, 800000}}},
        {"DTS jumping back keeps the packet's DTS but not its time",
         {{0, 100, 100, 0}, {0, 50, 50, 0}, {0, 120, 120, 0}},
         {{100, 100, 100000}, {50, 50, 100000}, {120, 120, 120000}}},
        {"streams are independent",
         {{0, 1000, 1000, 0}, {1, NONE, NONE, 0}, {1, 10, 10, 0}, {0, 2000, 2000, 0}},
         {{1000, 1000, 1000000}, {0, 0, 0}, {10, 10, 10000}, {2000, 2000, 2000000}}},
        {"made-up DTS follows the last known one",
         {{0, 300, 300, 0}, {0, NONE, NONE, 0}},
         {{300, 300, 300000}, {301, 301, 301000}}},
    };
    for (const Case &c : cases) {
        TimestampState state;
        ASSERT_EQ(c.in.size(), c.out.size());
        for (size_t i = 0; i < c.in.size(); ++i) {
            AVPacket *packet = av_packet_alloc();
            packet->pts = c.in[i].pts;
            packet->dts = c.in[i].dts;
            packet->duration = c.in[i].duration;
            const int64_t time = repair_packet_time(state, c.in[i].stream, AVRational{1, 1000}, *packet);
            EXPECT_EQ(packet->pts, c.out[i].pts) << c.name << " #" << i;
            EXPECT_EQ(packet->dts, c.out[i].dts) << c.name << " #" << i;
            EXPECT_EQ(time, c.out[i].time_us) << c.name << " #" << i;
            av_packet_free(&packet);
        }
    }
}

TEST(PacketTime, RescalesFromTheStreamTimeBase)
{
    TimestampState state;
    AVPacket *packet = av_packet_alloc();
    packet->dts = 135000;
    packet->pts = 138000;
    EXPECT_EQ(repair_packet_time(state, 3, AVRational{1, 90000}, *packet), 1'500'000);
    av_packet_free(&packet);
}

TEST(PacketQueue, HoldsAtMostItsCapacityAndOneTakeLetsOneIn)
{
    PacketQueue queue;
    ASSERT_EQ(queue.capacity, 256u);
    for (int i = 0; i < 256; ++i)
        ASSERT_TRUE(queue_push(queue, queued(0, i)));
    EXPECT_EQ(queue_count(queue), 256u);

    std::atomic<int> pushed{0};
    std::vector<std::future<bool>> blocked;
    for (int i = 0; i < 2; ++i) {
        blocked.push_back(std::async(std::launch::async, [&queue, &pushed, i] {
            const bool ok = queue_push(queue, queued(0, 1000 + i));
            ++pushed;
            return ok;
        }));
    }
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(pushed.load(), 0);
    EXPECT_EQ(queue_count(queue), 256u);

    QueuedPacket holder;
    ASSERT_TRUE(queue_pop(queue, holder));
    EXPECT_EQ(holder.time_us, 0);
    ASSERT_TRUE(wait_until([&] { return pushed.load() == 1; }, milliseconds(2000)));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(pushed.load(), 1);
    EXPECT_EQ(queue_count(queue), 256u);

    queue_close(queue);
    int accepted = 0;
    for (auto &result : blocked)
        accepted += result.get() ? 1 : 0;
    EXPECT_EQ(accepted, 1);  // the second one found the queue closed
    EXPECT_EQ(queue_count(queue), 0u);
}

// A reader that reads ahead finds its queue full most of the time; it must be woken once
// per batch of room, not by every take.
TEST(PacketQueue, WaitForRoomReturnsOnlyOnceTheBatchFits)
{
    PacketQueue queue;
    EXPECT_TRUE(queue_wait_room(queue, 64));  // not full: at once
    for (int i = 0; i < 256; ++i)
        ASSERT_TRUE(queue_push(queue, queued(0, i)));

    auto waiter = std::async(std::launch::async, [&queue] { return queue_wait_room(queue, 64); });
    auto waiting = [&queue] {
        std::lock_guard<std::mutex> lock(queue.mutex);
        return queue.producers_waiting == 1;
    };
    ASSERT_TRUE(wait_until(waiting, milliseconds(2000)));
    QueuedPacket holder;
    for (int i = 0; i < 63; ++i)
        ASSERT_TRUE(queue_pop(queue, holder));
    EXPECT_EQ(waiter.wait_for(milliseconds(150)), std::future_status::timeout) << "woken with room for 63";
    ASSERT_TRUE(queue_pop(queue, holder));
    ASSERT_EQ(waiter.wait_for(milliseconds(2000)), std::future_status::ready);
    EXPECT_TRUE(waiter.get());
    EXPECT_EQ(queue_count(queue), 192u);

    // Closing wakes it with false, as it does a blocked push.
    for (int i = 0; i < 64; ++i)
        ASSERT_TRUE(queue_push(queue, queued(0, 1000 + i)));
    auto closed = std::async(std::launch::async, [&queue] { return queue_wait_room(queue, 64); });
    ASSERT_TRUE(wait_until(waiting, milliseconds(2000)));
    queue_close(queue);
    ASSERT_EQ(closed.wait_for(milliseconds(2000)), std::future_status::ready);
    EXPECT_FALSE(closed.get());
    EXPECT_FALSE(queue_wait_room(queue, 1));
}

TEST(PacketQueue, KeepsOrderAndReplacesTheHoldersPacket)
{
    PacketQueue queue;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(queue_push(queue, queued(i % 2, i * 10)));
    queue_finish(queue, 0);
    QueuedPacket holder = queued(7, 999);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(queue_pop(queue, holder));
        EXPECT_EQ(holder.time_us, i * 10);
        EXPECT_EQ(holder.track_number, i % 2);
        ASSERT_TRUE(holder.packet);
    }
    EXPECT_FALSE(queue_pop(queue, holder));
}

TEST(PacketQueue, FinishedAndClosedStates)
{
    {
        // finished: what is queued can still be taken, then nothing more; result kept.
        PacketQueue queue;
        ASSERT_TRUE(queue_push(queue, queued(0, 1)));
        queue_finish(queue, AVERROR(EIO));
        QueuedPacket holder;
        EXPECT_TRUE(queue_pop(queue, holder));
        EXPECT_FALSE(queue_pop(queue, holder));
        EXPECT_EQ(queue_result(queue), AVERROR(EIO));
    }
    {
        // closed: entries are freed and nothing can be taken or added.
        PacketQueue queue;
        ASSERT_TRUE(queue_push(queue, queued(0, 1)));
        ASSERT_TRUE(queue_push(queue, queued(0, 2)));
        queue_close(queue);
        EXPECT_EQ(queue_count(queue), 0u);
        QueuedPacket holder;
        EXPECT_FALSE(queue_pop(queue, holder));
        EXPECT_FALSE(queue_push(queue, queued(0, 3)));
        EXPECT_EQ(queue_count(queue), 0u);
    }
    // A taker waiting on an empty queue is woken by both endings.
    for (bool close : {false, true}) {
        PacketQueue queue;
        auto taker = std::async(std::launch::async, [&queue] {
            QueuedPacket holder;
            return queue_pop(queue, holder);
        });
        EXPECT_EQ(taker.wait_for(milliseconds(100)), std::future_status::timeout);
        if (close)
            queue_close(queue);
        else
            queue_finish(queue, 0);
        ASSERT_EQ(taker.wait_for(milliseconds(2000)), std::future_status::ready);
        EXPECT_FALSE(taker.get());
    }
}

TEST(PacketReader, ReadsEveryPacketOfTheSelectedStreams)
{
    const std::string path = test_media::h264_aac_ts();
    ASSERT_FALSE(path.empty());

    // What a plain demux of the same file holds, per stream.
    std::map<int, int> expected_counts;
    {
        AVFormatContext *context = nullptr;
        ASSERT_EQ(avformat_open_input(&context, path.c_str(), nullptr, nullptr), 0);
        AVPacket *packet = av_packet_alloc();
        while (av_read_frame(context, packet) >= 0) {
            ++expected_counts[packet->stream_index];
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        avformat_close_input(&context);
    }

    struct Case {
        const char *name;
        bool want_video;
        bool want_audio;
        int32_t first_track;
    };
    for (const Case c : {Case{"both", true, true, 0}, Case{"audio as track 1", false, true, 1}}) {
        InputSource input(&keep_running, c.first_track, nullptr);
        std::string error;
        ASSERT_TRUE(open_input(input, path, c.want_video, c.want_audio, error)) << error;
        start_reader(input);
        std::map<int32_t, int> counts;
        std::map<int32_t, int64_t> last_time;
        int64_t last_any = INT64_MIN;
        QueuedPacket holder;
        while (pop_packet(input, holder)) {
            ASSERT_TRUE(holder.packet);
            ASSERT_NE(holder.packet->dts, AV_NOPTS_VALUE);
            ASSERT_NE(holder.packet->pts, AV_NOPTS_VALUE);
            const auto track = holder.track_number;
            ASSERT_EQ(input.stream_to_track.at(holder.packet->stream_index), track) << c.name;
            if (last_time.count(track) != 0) {
                EXPECT_GE(holder.time_us, last_time[track]) << c.name;
            }
            // Across tracks too, although the file interleaves them loosely.
            EXPECT_GE(holder.time_us, last_any) << c.name;
            last_any = holder.time_us;
            last_time[track] = holder.time_us;
            ++counts[track];
        }
        EXPECT_EQ(reader_result(input), 0) << c.name;
        ASSERT_EQ(counts.size(), input.tracks.size()) << c.name;
        for (const InputTrack &track : input.tracks) {
            const int32_t number = input.stream_to_track.at(track.stream_index);
            EXPECT_EQ(counts[number], expected_counts[track.stream_index]) << c.name;
        }
        stop_reader(input);
        EXPECT_FALSE(input.reader.joinable());
    }
}

TEST(PacketReader, PacedPacketsReachTheQueueNoEarlierThanTheirTime)
{
    const std::string path = test_media::h264_aac_ts(2.0);
    ASSERT_FALSE(path.empty());
    Pacer pacer;
    InputSource input(&keep_running, 0, &pacer);
    std::string error;
    ASSERT_TRUE(open_input(input, path, true, true, error)) << error;

    const auto started = Clock::now();
    start_reader(input);
    std::vector<std::pair<Clock::time_point, int64_t>> arrivals;
    QueuedPacket holder;
    while (pop_packet(input, holder))
        arrivals.emplace_back(Clock::now(), holder.time_us);
    const auto elapsed = Clock::now() - started;
    ASSERT_GT(arrivals.size(), 50u);
    EXPECT_EQ(reader_result(input), 0);

    Clock::time_point origin_instant;
    int64_t origin_time = 0;
    {
        std::lock_guard<std::mutex> lock(pacer.mutex);
        ASSERT_TRUE(pacer.started);
        origin_instant = pacer.origin_instant;
        origin_time = pacer.origin_time_us;
    }
    int64_t last_time = origin_time;
    for (const auto &arrival : arrivals) {
        const int64_t ahead = std::max<int64_t>(0, arrival.second - origin_time);
        EXPECT_GE(arrival.first, origin_instant + std::chrono::microseconds(ahead));
        last_time = std::max(last_time, arrival.second);
    }
    // Real-time overall: about the media's own length, not the few milliseconds a
    // local file takes to read.
    const auto media = std::chrono::microseconds(last_time - origin_time);
    EXPECT_GE(elapsed, media);
    EXPECT_LT(elapsed, media + std::chrono::seconds(2));
}

TEST(PacketReader, StopReaderEndsAReaderBlockedOnAFullQueue)
{
    const std::string path = test_media::h264_aac_ts(8.0);
    ASSERT_FALSE(path.empty());
    InputSource input(&keep_running, 0, nullptr);
    std::string error;
    ASSERT_TRUE(open_input(input, path, true, true, error)) << error;
    start_reader(input);
    ASSERT_TRUE(wait_until([&] { return queue_count(input.queue) == 256; }, milliseconds(10000)));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(queue_count(input.queue), 256u);  // the reader waits for room

    const auto start = Clock::now();
    stop_reader(input);
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    EXPECT_FALSE(input.reader.joinable());
    EXPECT_EQ(queue_count(input.queue), 0u);
    EXPECT_EQ(reader_result(input), 0);
    QueuedPacket holder;
    EXPECT_FALSE(pop_packet(input, holder));
    stop_reader(input);  // again: harmless
}

TEST(PacketReader, StopReaderEndsAReaderWaitingForThePacer)
{
    const std::string path = test_media::h264_aac_ts();
    ASSERT_FALSE(path.empty());
    Pacer pacer;
    // Origin a minute before the file's packets: the first one is due in a minute.
    std::atomic<bool> never{false};
    ASSERT_TRUE(pacer_wait(pacer, -60'000'000, never, nullptr));
    InputSource input(&keep_running, 0, &pacer);
    std::string error;
    ASSERT_TRUE(open_input(input, path, true, true, error)) << error;
    start_reader(input);
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(queue_count(input.queue), 0u);

    const auto start = Clock::now();
    stop_reader(input);
    EXPECT_LT(Clock::now() - start, milliseconds(500));
    EXPECT_EQ(reader_result(input), 0);
}

TEST(PacketReader, StalledNetworkSource)
{
    // MP4 with its index first: opening reads only the start, so only reading stalls.
    const std::string path = test_media::h264_aac_mp4(8.0);
    ASSERT_FALSE(path.empty());
    LoopbackHttpServer server;
    std::string error;
    ASSERT_TRUE(server.start(test_media::data_dir(), error)) << error;
    // The first two thirds arrive, then the server goes quiet without closing.
    std::FILE *file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fclose(file);
    const std::string name = path.substr(path.rfind('/') + 1);
    const std::string url = server.url("stall/" + std::to_string(size * 2 / 3) + "/" + name);

    struct Case {
        const char *name;
        bool stop;
    };
    for (const Case c : {Case{"stopped while reading", true}, Case{"time-out is a read failure", false}}) {
        // Video only: the queue never fills, so the reader ends up inside av_read_frame.
        InputSource input(&keep_running, 0, nullptr);
        ASSERT_TRUE(open_input(input, url, true, false, error)) << error;
        testing::internal::CaptureStderr();
        start_reader(input);
        uint64_t seen = 0;
        ASSERT_TRUE(wait_until(
            [&] {
                const uint64_t now = queue_count(input.queue);
                const bool settled = now > 0 && now == seen;
                seen = now;
                std::this_thread::sleep_for(milliseconds(200));
                return settled;
            },
            milliseconds(8000)))
            << c.name;
        if (c.stop) {
            const auto start = Clock::now();
            stop_reader(input);
            EXPECT_LT(Clock::now() - start, milliseconds(1500)) << c.name;
            EXPECT_EQ(reader_result(input), 0) << c.name;
            EXPECT_EQ(log_texts(testing::internal::GetCapturedStderr()), std::vector<std::string>{}) << c.name;
        } else {
            // The 10-second I/O time-out ends the read as a failure, logged once.
            QueuedPacket holder;
            const auto start = Clock::now();
            while (pop_packet(input, holder)) {
            }
            const auto waited = Clock::now() - start;
            const int32_t result = reader_result(input);
            const auto lines = log_texts(testing::internal::GetCapturedStderr());
            EXPECT_LT(result, 0) << c.name;
            EXPECT_EQ(lines, std::vector<std::string>{"Input read failed: " + ffmpeg_error_text(result)}) << c.name;
            EXPECT_LT(waited, std::chrono::seconds(25)) << c.name;
            stop_reader(input);
        }
    }
}

// keep_running can only be cleared, so the clearing runs in a child process.
TEST(PacketReaderDeathTest, ClearedRunFlagEndsTheReaderAsAStop)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string path = test_media::h264_aac_ts(8.0);
    ASSERT_FALSE(path.empty());
    EXPECT_EXIT(
        {
            Pacer pacer;
            InputSource input(&keep_running, 0, &pacer);
            std::string error;
            if (!open_input(input, path, true, true, error))
                std::exit(2);
            start_reader(input);
            QueuedPacket holder;
            if (!pop_packet(input, holder))
                std::exit(3);
            keep_running = false;
            const auto start = Clock::now();
            while (pop_packet(input, holder)) {
            }
            const auto ended = Clock::now() - start;
            std::fprintf(stderr, "result=%d\n", reader_result(input));
            stop_reader(input);
            std::exit(ended < milliseconds(1000) ? 0 : 4);
        },
        testing::ExitedWithCode(0), "result=0");
}

TEST(PacketReader, InputThatNeverOpenedEndsAtOnce)
{
    InputSource input(&keep_running, 0, nullptr);
    start_reader(input);
    auto taker = std::async(std::launch::async, [&input] {
        QueuedPacket holder;
        return pop_packet(input, holder);
    });
    ASSERT_EQ(taker.wait_for(milliseconds(2000)), std::future_status::ready);
    EXPECT_FALSE(taker.get());
    EXPECT_EQ(reader_result(input), AVERROR(EINVAL));
    stop_reader(input);
}
