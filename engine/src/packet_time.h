#pragma once

#include <cstdint>
#include <map>

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/rational.h>
}

// Per-stream timestamp memory of one input's reader, keyed by stream index.
struct TimestampState {
    std::map<int, int64_t> last_packet_time_us;
    std::map<int, int64_t> last_dts;                // stream time base
    std::map<int, int64_t> last_positive_duration;  // stream time base
};

// Fills a missing DTS/PTS of `packet` (stream `stream_index`, time base `time_base`)
// and returns its packet time in microseconds, never below the stream's previous one.
int64_t repair_packet_time(TimestampState &state, int stream_index, AVRational time_base,
                           AVPacket &packet);
