#include "run_ending.h"

#include "engine_options.h"
#include "events_log.h"

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
