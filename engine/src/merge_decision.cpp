#include "merge_decision.h"

MergeAction merge_next(MergeState &state) {
    if (state.video_has_head && state.audio_has_head)
        return state.video_time <= state.audio_time ? MergeAction::WRITE_VIDEO : MergeAction::WRITE_AUDIO;

    if (!state.video_has_head && state.audio_has_head && state.last_video_written != MERGE_NO_TIME) {
        if (!state.cut_started) {
            state.cut_started = true;
            return MergeAction::CUT_AUDIO;
        }
        return state.audio_time <= state.last_video_written ? MergeAction::WRITE_AUDIO : MergeAction::END;
    }
    if (!state.audio_has_head && state.video_has_head && state.last_audio_written != MERGE_NO_TIME) {
        if (!state.cut_started) {
            state.cut_started = true;
            return MergeAction::CUT_VIDEO;
        }
        return state.video_time <= state.last_audio_written ? MergeAction::WRITE_VIDEO : MergeAction::END;
    }
    return MergeAction::END;
}

void merge_written(MergeState &state, MergeAction action) {
    if (action == MergeAction::WRITE_VIDEO) state.last_video_written = state.video_time;
    if (action == MergeAction::WRITE_AUDIO) state.last_audio_written = state.audio_time;
}
