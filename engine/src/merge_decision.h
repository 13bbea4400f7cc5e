#pragma once

#include <cstdint>

// Which head the split pipeline writes next. Kept free of FFmpeg and threads so the
// order of a merge can be checked over plain sequences of packet times.
//
// While both inputs have a head the earlier one goes first, ties to video. When one
// input has run out, the other is cut where the ended one stopped: its heads are
// written while their time is not above the last written time of the ended input.
// An input that never delivered a packet cuts nothing.

constexpr int64_t MERGE_NO_TIME = INT64_MIN;

struct MergeState {
    bool video_has_head = false;
    int64_t video_time = 0;                     // reader's packet time of the video head, us
    bool audio_has_head = false;
    int64_t audio_time = 0;
    int64_t last_video_written = MERGE_NO_TIME; // time of the last video packet written
    int64_t last_audio_written = MERGE_NO_TIME;
    bool cut_started = false;                   // CUT_* has been returned once
};

enum class MergeAction {
    WRITE_VIDEO,  // write the video head, then take the next one
    WRITE_AUDIO,
    CUT_VIDEO,    // audio ran out: stop the video reader; queued packets stay takeable
    CUT_AUDIO,    // video ran out: stop the audio reader
    END,
};

// The next step for the current heads. Returns CUT_* once, on the first call after
// one input has run out, before any write of the cut.
MergeAction merge_next(MergeState &state);

// Records the time of the head that WRITE_VIDEO or WRITE_AUDIO has just written.
void merge_written(MergeState &state, MergeAction action);
