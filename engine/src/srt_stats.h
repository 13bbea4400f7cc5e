#pragma once

#include <srt/srt.h>

#include <cstdint>
#include <string>

// What libsrt measured on the sending socket, as the "srt_stats" event line and the
// end-of-run summary show it.
struct SrtStats {
    double mbps = 0;          // send rate since the previous sample, Mbit/s
    double rtt_ms = 0;        // smoothed round-trip time
    int64_t sent = 0;         // data packets sent, retransmissions included
    int64_t lost = 0;         // packets the receiver reported lost
    int64_t retrans = 0;      // packets sent again
    int32_t buffer_ms = 0;    // time span of the unacknowledged data in the send buffer
    uint64_t bytes = 0;       // payload bytes sent, retransmissions included
};

SrtStats stats_from_trace(const SRT_TRACEBSTATS &trace);

// {"event":"srt_stats","mbps":6.21,"rtt_ms":3.1,"sent":...,"lost":...,"retrans":...,
// "buffer_ms":...,"bytes":...}: members always in this order, mbps with two decimals and
// rtt_ms with one, no blanks, no line end.
std::string stats_event_line(const SrtStats &stats);

// "SRT stats: <bytes> bytes in <sent> packets, lost <lost>, retransmitted <retrans>, RTT <rtt> ms"
std::string stats_summary_text(const SrtStats &stats);
