#pragma once

#include "ts_muxer.h"

// Ends the output side of a run that has stopped relaying. A stop abandons the muxer and
// counts as success with no final event; otherwise the muxer finishes and the run's last
// event line ("eof" or "error"/"stream_failed") is written. Returns the run's result.
int end_run_output(TsMuxer &muxer, bool stopped, int result);
