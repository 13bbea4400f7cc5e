// Order of writes when two inputs are merged, and the cut of the longer input, driven
// over plain sequences of packet times the way the split pipeline drives it.

#include "merge_decision.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Replays the split pipeline's loop over two finished sequences (times in ms). Returns the
// writes as "V<t>"/"A<t>" and reports which reader got a cut.
struct Replay {
    std::vector<std::string> writes;
    std::string cut;  // "", "audio" or "video"
};

Replay replay(const std::vector<int64_t> &video, const std::vector<int64_t> &audio) {
    Replay r;
    MergeState s;
    size_t vi = 0, ai = 0;
    auto take_video = [&] {
        s.video_has_head = vi < video.size();
        if (s.video_has_head) s.video_time = video[vi++] * 1000;
    };
    auto take_audio = [&] {
        s.audio_has_head = ai < audio.size();
        if (s.audio_has_head) s.audio_time = audio[ai++] * 1000;
    };
    take_video();
    take_audio();
    for (int guard = 0; guard < 10000; ++guard) {
        const MergeAction a = merge_next(s);
        if (a == MergeAction::END) return r;
        if (a == MergeAction::CUT_AUDIO || a == MergeAction::CUT_VIDEO) {
            EXPECT_TRUE(r.cut.empty()) << "second cut";
            r.cut = a == MergeAction::CUT_AUDIO ? "audio" : "video";
            continue;
        }
        merge_written(s, a);
        if (a == MergeAction::WRITE_VIDEO) {
            r.writes.push_back("V" + std::to_string(s.video_time / 1000));
            take_video();
        } else {
            r.writes.push_back("A" + std::to_string(s.audio_time / 1000));
            take_audio();
        }
    }
    ADD_FAILURE() << "merge did not end";
    return r;
}

using Seq = std::vector<int64_t>;
using Out = std::vector<std::string>;

}  // namespace

TEST(MergeDecision, OrderAndCut) {
    struct Case {
        const char *name;
        Seq video, audio;
        Out writes;
        std::string cut;
    };
    const std::vector<Case> cases = {
        // Earlier first, equal times to video. The audio at 106 lies beyond the last
        // video packet (80): the cut drops it.
        {"interleave, ties to video", {0, 40, 80}, {0, 21, 42, 64, 85, 106},
         {"V0", "A0", "A21", "V40", "A42", "A64", "V80"}, "audio"},
        // Video ends at 60: audio up to and including 60 goes out, later audio does not.
        {"video shorter", {0, 20, 40, 60}, {0, 30, 60, 90, 120},
         {"V0", "A0", "V20", "A30", "V40", "V60", "A60"}, "audio"},
        // Audio ends at 100: V80 went out in order before A100, V120 lies beyond the cut.
        {"audio shorter", {0, 40, 80, 120, 160}, {0, 50, 100},
         {"V0", "A0", "V40", "A50", "V80", "A100"}, "video"},
        {"no video at all", {}, {0, 10, 20}, {}, ""},
        {"no audio at all", {0, 40}, {}, {}, ""},
        // The audio head at 40 is still waiting when the video ends; the cut lets it out.
        {"both end together", {0, 40}, {0, 40}, {"V0", "A0", "V40", "A40"}, "audio"},
        // The whole audio lies before the last video: nothing is left to cut.
        {"audio all earlier", {0, 100}, {10, 20}, {"V0", "A10", "A20"}, "video"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Replay r = replay(c.video, c.audio);
        EXPECT_EQ(r.writes, c.writes);
        EXPECT_EQ(r.cut, c.cut);
    }
}

TEST(MergeDecision, CutWritesQueuedPacketsUpToTheCutTime) {
    // Video ends at 40 while audio has already queued packets up to 100: the cut writes
    // the audio packets at or before 40 that were still waiting behind the video.
    MergeState s;
    s.video_has_head = false;
    s.audio_has_head = true;
    s.audio_time = 30000;
    s.last_video_written = 40000;
    s.last_audio_written = 20000;
    EXPECT_EQ(merge_next(s), MergeAction::CUT_AUDIO);
    EXPECT_EQ(merge_next(s), MergeAction::WRITE_AUDIO);
    merge_written(s, MergeAction::WRITE_AUDIO);
    EXPECT_EQ(s.last_audio_written, 30000);
    s.audio_time = 40000;
    EXPECT_EQ(merge_next(s), MergeAction::WRITE_AUDIO);
    s.audio_time = 40001;
    EXPECT_EQ(merge_next(s), MergeAction::END);
}
