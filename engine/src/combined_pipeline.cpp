#include "combined_pipeline.h"

#include "events_log.h"
#include "input_source.h"
#include "pacer.h"
#include "run_ending.h"
#include "run_stats.h"
#include "packet_reader.h"
#include "start_position.h"
#include "stop_control.h"
#include "ts_muxer.h"

int run_combined(const EngineOptions &options) {
    // Declaration order is teardown order in reverse: the muxer goes before the input
    // whose streams it reads, the pacer after both. The reader reads ahead unpaced into
    // its queue; this thread paces each packet just before writing it, so the two
    // threads meet once per refill of the queue instead of once per packet.
    Pacer pacer;
    InputSource input(&keep_running, 0, nullptr);
    std::string error;

    emit_event("opening_inputs");
    if (!open_input(input, options.media_url, true, true, error)) {
        log_line(error);
        emit_event("error", "input_open_failed");
        close_input(input);
        return RESULT_INPUT_OPEN_FAILED;
    }

    apply_start_position(input, nullptr, options.start_offset_us);

    TsMuxer muxer;
    if (!mux_open(muxer, input.tracks, options.srt_url, error)) {
        const int result = end_failed_open(muxer, error);
        mux_close(muxer);
        close_input(input);
        return result;
    }
    emit_event("srt_connected");
    emit_event("running");
    RunStats stats;
    start_run_stats(stats, options.stats_interval);

    start_reader(input);

    QueuedPacket holder;
    int result = RESULT_OK;
    while (keep_running.load()) {
        if (!pop_packet(input, holder)) break;
        if (!pacer_wait_running(pacer, holder.time_us, keep_running)) break;
        if (mux_write(muxer, holder) < 0) {
            result = RESULT_MUX_WRITE_FAILED;
            break;
        }
        report_run_stats(stats, *muxer.srt);
    }

    const bool stopped = !keep_running.load();
    if (reader_result(input) < 0 && !stopped) result = RESULT_INPUT_READ_FAILED;
    stop_reader(input);

    result = end_run_output(muxer, stopped, result);
    log_run_stats_summary(stats, *muxer.srt);

    holder.packet.reset();
    mux_close(muxer);
    close_input(input);
    return result;
}
