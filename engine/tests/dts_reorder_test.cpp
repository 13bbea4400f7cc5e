// Time order across the streams of one input: synthetic packet sequences fed in file
// order, released as soon as the reorder allows, as the reader does.

#include "dts_reorder.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int32_t V = 0;  // video is the first track of an input
constexpr int32_t A = 1;

struct Packet {
    int32_t track;
    int64_t time_ms;
};

QueuedPacket queued(const Packet &p)
{
    QueuedPacket entry;
    entry.packet.reset(av_packet_alloc());
    av_new_packet(entry.packet.get(), 16);  // a payload, so a leak would show
    entry.track_number = p.track;
    entry.time_us = p.time_ms * 1000;
    return entry;
}

// One release: the packet, and how many packets had been read when it went.
struct Released {
    int32_t track;
    int64_t time_ms;
    size_t after_reads;
};

std::string text(const std::vector<Released> &list)
{
    std::string s;
    for (const Released &r : list)
        s += std::string(r.track == V ? "V" : "A") + std::to_string(r.time_ms) + "@" +
             std::to_string(r.after_reads) + " ";
    return s;
}

// Feeds `file` in order, taking whatever is ready after each packet; then ends the input.
std::vector<Released> run(DtsReorder &reorder, const std::vector<Packet> &file)
{
    std::vector<Released> out;
    auto take_ready = [&](size_t reads) {
        while (reorder_ready(reorder)) {
            const QueuedPacket entry = reorder_take(reorder);
            EXPECT_TRUE(entry.packet);
            out.push_back({entry.track_number, entry.time_us / 1000, reads});
        }
    };
    for (size_t i = 0; i < file.size(); ++i) {
        reorder_add(reorder, queued(file[i]));
        take_ready(i + 1);
    }
    reorder_end(reorder);
    take_ready(file.size());
    EXPECT_TRUE(reorder.waiting.empty());
    return out;
}

} // namespace

TEST(DtsReorder, ReleasesInTimeOrderAsSoonAsNoEarlierPacketCanCome)
{
    struct Case {
        const char *name;
        std::vector<int32_t> tracks;
        int64_t span_ms;
        size_t packet_limit;
        std::vector<Packet> file;
        std::vector<Released> expected;
    };
    const Case cases[] = {
        {"audio ahead of video in the file",
         {V, A}, 1000, 512,
         {{A, 0}, {A, 21}, {A, 42}, {V, 0}, {A, 64}, {V, 33}, {V, 66}, {A, 85}},
         {{V, 0, 4}, {A, 0, 4}, {A, 21, 6}, {V, 33, 6}, {A, 42, 7}, {A, 64, 7}, {V, 66, 8},
          {A, 85, 8}}},
        {"video ahead of audio in the file",
         {V, A}, 1000, 512,
         {{V, 0}, {V, 40}, {V, 80}, {A, 0}, {A, 50}, {A, 100}, {V, 120}},
         {{V, 0, 4}, {A, 0, 4}, {V, 40, 5}, {A, 50, 5}, {V, 80, 6}, {A, 100, 7}, {V, 120, 7}}},
        {"a tie goes to video, even when audio was read first",
         {V, A}, 1000, 512,
         {{A, 0}, {V, 0}, {A, 40}, {V, 40}},
         {{V, 0, 2}, {A, 0, 2}, {V, 40, 4}, {A, 40, 4}}},
        {"one track needs no waiting",
         {V}, 1000, 512,
         {{V, 0}, {V, 40}, {V, 80}},
         {{V, 0, 1}, {V, 40, 2}, {V, 80, 3}}},
        {"audio stops: video goes once the read-ahead spans the limit",
         {V, A}, 100, 512,
         {{V, 0}, {A, 0}, {V, 50}, {V, 100}, {V, 150}, {V, 200}},
         {{V, 0, 2}, {A, 0, 2}, {V, 50, 5}, {V, 100, 6}, {V, 150, 6}, {V, 200, 6}}},
        {"a track that never delivers holds nothing past the packet limit",
         {V, A}, 1000, 3,
         {{V, 0}, {V, 10}, {V, 20}, {V, 30}, {V, 40}},
         {{V, 0, 3}, {V, 10, 4}, {V, 20, 5}, {V, 30, 5}, {V, 40, 5}}},
        {"video jumps 10 s ahead: audio keeps its order until it jumps too",
         {V, A}, 1000, 512,
         {{V, 0}, {A, 0}, {V, 10000}, {A, 20}, {A, 40}, {V, 10040}, {A, 10000}, {A, 10020}},
         {{V, 0, 2}, {A, 0, 2}, {A, 20, 4}, {A, 40, 5}, {V, 10000, 7}, {A, 10000, 7},
          {A, 10020, 8}, {V, 10040, 8}}},
        {"times held back by the repair (a DTS jumping back) release together",
         {V, A}, 1000, 512,
         {{V, 500}, {A, 500}, {V, 500}, {A, 500}, {V, 540}, {A, 520}},
         {{V, 500, 2}, {A, 500, 2}, {V, 500, 3}, {A, 500, 4}, {A, 520, 6}, {V, 540, 6}}},
    };
    for (const Case &c : cases) {
        DtsReorder reorder;
        reorder_init(reorder, c.tracks, c.span_ms * 1000, c.packet_limit);
        const std::vector<Released> got = run(reorder, c.file);
        EXPECT_EQ(text(got), text(c.expected)) << c.name;
    }
}

TEST(DtsReorder, NothingIsReadyWhenEmptyAndEndingReleasesTheRest)
{
    DtsReorder reorder;
    reorder_init(reorder, {V, A});
    EXPECT_FALSE(reorder_ready(reorder));
    reorder_add(reorder, queued({A, 30}));
    reorder_add(reorder, queued({A, 10}));  // not a valid input order, but kept sorted
    EXPECT_FALSE(reorder_ready(reorder));   // video has not shown up yet
    reorder_end(reorder);
    ASSERT_TRUE(reorder_ready(reorder));
    EXPECT_EQ(reorder_take(reorder).time_us, 10'000);
    ASSERT_TRUE(reorder_ready(reorder));
    EXPECT_EQ(reorder_take(reorder).time_us, 30'000);
    EXPECT_FALSE(reorder_ready(reorder));
}

TEST(DtsReorder, InitDropsWhatWasWaiting)
{
    DtsReorder reorder;
    reorder_init(reorder, {V, A});
    reorder_add(reorder, queued({V, 0}));
    reorder_add(reorder, queued({V, 40}));
    reorder_end(reorder);
    reorder_init(reorder, {V, A});
    EXPECT_TRUE(reorder.waiting.empty());
    EXPECT_FALSE(reorder.ended);
    reorder_add(reorder, queued({V, 0}));
    EXPECT_FALSE(reorder_ready(reorder));  // the old packets' times count no more
}
