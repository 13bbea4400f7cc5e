#include "packet_time.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
}

int64_t repair_packet_time(TimestampState &state, int stream_index, AVRational time_base,
                           AVPacket &packet)
{
    if (packet.duration > 0)
        state.last_positive_duration[stream_index] = packet.duration;

    if (packet.dts == AV_NOPTS_VALUE && packet.pts != AV_NOPTS_VALUE)
        packet.dts = packet.pts;
    if (packet.dts == AV_NOPTS_VALUE && packet.pts == AV_NOPTS_VALUE) {
        const auto last = state.last_dts.find(stream_index);
        if (last == state.last_dts.end()) {
            packet.dts = 0;
        } else {
            const auto duration = state.last_positive_duration.find(stream_index);
            packet.dts = last->second +
                         (duration == state.last_positive_duration.end() ? 1 : duration->second);
        }
    }
    if (packet.pts == AV_NOPTS_VALUE)
        packet.pts = packet.dts;
    state.last_dts[stream_index] = packet.dts;

    int64_t time_us = av_rescale_q(packet.dts, time_base, AVRational{1, AV_TIME_BASE});
    const auto previous = state.last_packet_time_us.find(stream_index);
    if (previous != state.last_packet_time_us.end() && time_us < previous->second)
        time_us = previous->second;
    state.last_packet_time_us[stream_index] = time_us;
    return time_us;
}
