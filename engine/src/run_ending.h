#pragma once

#include "ts_muxer.h"

#include <string>

// Ends the output side of a run that has stopped relaying. A stop abandons the muxer and
// counts as success with no final event; otherwise the muxer finishes and the run's last
// event line ("eof" or "error"/"stream_failed") is written. Returns the run's result.
int end_run_output(TsMuxer &muxer, bool stopped, int result);

// After mux_open failed: logs error and writes "error"/"mux_open_failed" (result 3), except
// for a listener that a stop ended while it waited for its receiver: that run was
// stopped, not failed (result 0, no event).
int end_failed_open(TsMuxer &muxer, const std::string &error);
