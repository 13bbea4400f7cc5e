#include "split_pipeline.h"

#include "events_log.h"
#include "input_source.h"
#include "merge_decision.h"
#include "pacer.h"
#include "run_ending.h"
#include "run_stats.h"
#include "packet_reader.h"
#include "start_position.h"
#include "stop_control.h"
#include "ts_muxer.h"

namespace {

// Takes the next packet of `input` into `holder` and tells the merge about it.
void take_head(InputSource &input, QueuedPacket &holder, bool &has_head, int64_t &time) {
    has_head = pop_packet(input, holder);
    if (has_head) time = holder.time_us;
}

}  // namespace

int run_split(const EngineOptions &options) {
    // The muxer is declared after both inputs so that it is gone before their streams.
    // Both readers read ahead unpaced; every packet the merge picks is paced on one
    // clock just before it is written.
    Pacer pacer;
    InputSource video(&keep_running, 0, nullptr);
    InputSource audio(&keep_running, 1, nullptr);
    std::string error;

    emit_event("opening_inputs");
    if (!open_input(video, options.video_url, true, false, error)) {
        log_line("Video input: " + error);
        emit_event("error", "video_open_failed");
        close_input(audio);
        close_input(video);
        return RESULT_INPUT_OPEN_FAILED;
    }
    if (!open_input(audio, options.audio_url, false, true, error)) {
        log_line("Audio input: " + error);
        emit_event("error", "audio_open_failed");
        close_input(audio);
        close_input(video);
        return RESULT_INPUT_OPEN_FAILED;
    }

    apply_start_position(video, &audio, options.start_offset_us);

    std::vector<InputTrack> tracks = video.tracks;
    tracks.insert(tracks.end(), audio.tracks.begin(), audio.tracks.end());

    TsMuxer muxer;
    if (!mux_open(muxer, tracks, options.srt_url, error)) {
        const int result = end_failed_open(muxer, error);
        mux_close(muxer);
        close_input(audio);
        close_input(video);
        return result;
    }
    emit_event("srt_connected");
    emit_event("running");
    RunStats stats;
    start_run_stats(stats, options.stats_interval);

    start_reader(video);
    start_reader(audio);

    QueuedPacket video_head;
    QueuedPacket audio_head;
    MergeState merge;
    take_head(video, video_head, merge.video_has_head, merge.video_time);
    take_head(audio, audio_head, merge.audio_has_head, merge.audio_time);
    if (merge.video_has_head && merge.audio_has_head) align_start(muxer, video_head, audio_head);

    int result = RESULT_OK;
    while (keep_running.load()) {
        const MergeAction action = merge_next(merge);
        if (action == MergeAction::END) break;
        if (action == MergeAction::CUT_AUDIO) {
            audio.stop_requested.store(true);
            continue;
        }
        if (action == MergeAction::CUT_VIDEO) {
            video.stop_requested.store(true);
            continue;
        }
        const bool is_video = action == MergeAction::WRITE_VIDEO;
        if (!pacer_wait_running(pacer, is_video ? video_head.time_us : audio_head.time_us, keep_running)) break;
        merge_written(merge, action);
        if (mux_write(muxer, is_video ? video_head : audio_head) < 0) {
            result = RESULT_MUX_WRITE_FAILED;
            break;
        }
        if (is_video)
            take_head(video, video_head, merge.video_has_head, merge.video_time);
        else
            take_head(audio, audio_head, merge.audio_has_head, merge.audio_time);
        report_run_stats(stats, *muxer.srt);
    }

    const bool stopped = !keep_running.load();
    if ((reader_result(video) < 0 || reader_result(audio) < 0) && !stopped) result = RESULT_INPUT_READ_FAILED;
    stop_reader(video);
    stop_reader(audio);

    result = end_run_output(muxer, stopped, result);
    log_run_stats_summary(stats, *muxer.srt);

    video_head.packet.reset();
    audio_head.packet.reset();
    mux_close(muxer);
    close_input(audio);
    close_input(video);
    return result;
}
