#include "run_stats.h"

#include "events_log.h"

void start_run_stats(RunStats &stats, int32_t interval_seconds)
{
    stats.interval = std::chrono::seconds(interval_seconds > 0 ? interval_seconds : 0);
    stats.next_due = std::chrono::steady_clock::now() + stats.interval;
}

void report_run_stats(RunStats &stats, SrtOutput &output)
{
    if (stats.interval == std::chrono::steady_clock::duration::zero())
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now < stats.next_due)
        return;
    // After a long wait for a packet the next line is one interval from now, not a burst.
    stats.next_due += stats.interval;
    if (stats.next_due <= now)
        stats.next_due = now + stats.interval;
    SrtStats sample;
    if (output.sample_stats(sample))
        emit_event_object(stats_event_line(sample));
}

void log_run_stats_summary(const RunStats &stats, SrtOutput &output)
{
    if (stats.interval == std::chrono::steady_clock::duration::zero())
        return;
    SrtStats totals;
    if (output.final_stats(totals))
        log_line(stats_summary_text(totals));
}
