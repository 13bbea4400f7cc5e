#pragma once

#include "srt_output.h"

#include <chrono>
#include <cstdint>

// The opt-in live statistics of a run (--stats-interval): one "srt_stats" event line per
// interval while relaying and one summary log line at the end. Driven by the pipeline
// loop on the main thread, which keeps event lines single-writer; the loop turns at
// least once per packet, so the lines come on time while media flows.
struct RunStats {
    std::chrono::steady_clock::duration interval{};    // zero: statistics are off
    std::chrono::steady_clock::time_point next_due{};
};

// Arms the statistics right after "running"; 0 seconds leaves them off.
void start_run_stats(RunStats &stats, int32_t interval_seconds);

// Writes one "srt_stats" line when an interval has passed since the last one.
void report_run_stats(RunStats &stats, SrtOutput &output);

// After the output has ended: logs the summary of the connection, when statistics are on.
void log_run_stats_summary(const RunStats &stats, SrtOutput &output);
