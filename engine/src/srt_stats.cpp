#include "srt_stats.h"

#include <cmath>
#include <cstdio>

namespace {

// libsrt counts each packet's bytes together with its headers (IPv4 20, UDP 8, SRT 16),
// whatever the address family; the figures report the payload.
constexpr uint64_t PACKET_HEADER_BYTES = 44;

// Fixed-point text independent of any locale; a value libsrt could not measure
// (not a number, infinite, negative) reads as 0.
std::string fixed(double value, int decimals)
{
    if (!std::isfinite(value) || value < 0)
        value = 0;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

} // namespace

SrtStats stats_from_trace(const SRT_TRACEBSTATS &trace)
{
    SrtStats stats;
    stats.mbps = trace.mbpsSendRate;
    stats.rtt_ms = trace.msRTT;
    stats.sent = trace.pktSentTotal;
    stats.lost = trace.pktSndLossTotal;
    stats.retrans = trace.pktRetransTotal;
    stats.buffer_ms = trace.msSndBuf;
    const uint64_t headers = static_cast<uint64_t>(trace.pktSentTotal > 0 ? trace.pktSentTotal : 0) *
                             PACKET_HEADER_BYTES;
    stats.bytes = trace.byteSentTotal > headers ? trace.byteSentTotal - headers : 0;
    return stats;
}

std::string stats_event_line(const SrtStats &stats)
{
    return "{\"event\":\"srt_stats\",\"mbps\":" + fixed(stats.mbps, 2) + ",\"rtt_ms\":" + fixed(stats.rtt_ms, 1) +
           ",\"sent\":" + std::to_string(stats.sent) + ",\"lost\":" + std::to_string(stats.lost) +
           ",\"retrans\":" + std::to_string(stats.retrans) + ",\"buffer_ms\":" + std::to_string(stats.buffer_ms) +
           ",\"bytes\":" + std::to_string(stats.bytes) + "}";
}

std::string stats_summary_text(const SrtStats &stats)
{
    return "SRT stats: " + std::to_string(stats.bytes) + " bytes in " + std::to_string(stats.sent) +
           " packets, lost " + std::to_string(stats.lost) + ", retransmitted " + std::to_string(stats.retrans) +
           ", RTT " + fixed(stats.rtt_ms, 1) + " ms";
}
