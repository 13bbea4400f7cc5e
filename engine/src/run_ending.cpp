#include "run_ending.h"

#include "engine_options.h"
#include "events_log.h"
#include "stop_control.h"

int end_run_output(TsMuxer &muxer, bool stopped, int result)
{
    if (stopped) {
        mux_abandon(muxer);
        return RESULT_OK;
    }
    // Returns once the SRT output has sent everything, so "eof" means delivered.
    mux_finish(muxer, result == RESULT_OK);
    if (result == RESULT_OK)
        emit_event("eof");
    else
        emit_event("error", "stream_failed");
    return result;
}

int end_failed_open(TsMuxer &muxer, const std::string &error)
{
    if (muxer.srt && muxer.srt->address.listener && !keep_running.load())
        return RESULT_OK;
    log_line(error);
    emit_event("error", "mux_open_failed");
    return RESULT_MUX_OPEN_FAILED;
}
