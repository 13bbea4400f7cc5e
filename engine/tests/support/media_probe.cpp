#include "media_probe.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <memory>

namespace {

struct InputCloser {
    void operator()(AVFormatContext *ctx) const { avformat_close_input(&ctx); }
};
struct PacketFree {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};

double seconds(int64_t ts, AVRational tb) { return ts * av_q2d(tb); }

}  // namespace

const ProbedStream *ProbedMedia::find(const std::string &type) const {
    for (const auto &s : streams)
        if (s.type == type) return &s;
    return nullptr;
}

ProbedMedia probe_media(const std::string &path) {
    ProbedMedia media;
    AVFormatContext *raw = nullptr;
    int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (rc < 0) {
        media.error = "open failed: " + std::to_string(rc);
        return media;
    }
    std::unique_ptr<AVFormatContext, InputCloser> ctx(raw);
    rc = avformat_find_stream_info(ctx.get(), nullptr);
    if (rc < 0) {
        media.error = "find_stream_info failed: " + std::to_string(rc);
        return media;
    }
    media.format = ctx->iformat ? ctx->iformat->name : "";
    const unsigned n = ctx->nb_streams;
    media.streams.resize(n);
    std::vector<int64_t> last_dts(n, AV_NOPTS_VALUE);
    for (unsigned i = 0; i < n; ++i) {
        const AVCodecParameters *par = ctx->streams[i]->codecpar;
        const char *type = av_get_media_type_string(par->codec_type);
        media.streams[i].type = type ? type : "unknown";
        media.streams[i].codec = avcodec_get_name(par->codec_id);
        media.streams[i].time_base_num = ctx->streams[i]->time_base.num;
        media.streams[i].time_base_den = ctx->streams[i]->time_base.den;
    }
    std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
    while ((rc = av_read_frame(ctx.get(), pkt.get())) >= 0) {
        const unsigned si = static_cast<unsigned>(pkt->stream_index);
        if (si < n) {
            ProbedStream &s = media.streams[si];
            const AVRational tb = ctx->streams[si]->time_base;
            if (pkt->dts == AV_NOPTS_VALUE) {
                s.has_missing_ts = true;
            } else {
                if (s.packets == 0 || last_dts[si] == AV_NOPTS_VALUE) {
                    s.first_dts = seconds(pkt->dts, tb);
                } else if (pkt->dts <= last_dts[si]) {
                    s.dts_increasing = false;
                }
                last_dts[si] = pkt->dts;
                s.last_dts = seconds(pkt->dts, tb);
            }
            const int64_t pts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
            if (pts != AV_NOPTS_VALUE) {
                if (s.packets == 0) s.first_pts = seconds(pts, tb);
                s.end_time = std::max(s.end_time, seconds(pts + std::max<int64_t>(pkt->duration, 0), tb));
            }
            s.dts.push_back(pkt->dts);
            s.pts.push_back(pkt->pts);
            ++s.packets;
        }
        av_packet_unref(pkt.get());
    }
    if (rc != AVERROR_EOF) {
        media.error = "read failed: " + std::to_string(rc);
        return media;
    }
    double start = std::numeric_limits<double>::max();
    for (const auto &s : media.streams) {
        if (s.packets == 0) continue;
        start = std::min({start, s.first_dts, s.first_pts});
        media.end_time = std::max(media.end_time, s.end_time);
    }
    media.start_time = start == std::numeric_limits<double>::max() ? 0 : start;
    media.ok = true;
    return media;
}

int64_t file_size(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}
