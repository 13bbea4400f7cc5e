#include "ts_muxer.h"

#include "events_log.h"
#include "ffmpeg_error.h"

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

namespace {

const AVRational MICROSECONDS = {1, 1000000};

// Frees the watches' parsers, the I/O context with its buffer and the output context.
// Every pointer ends up null, so this is safe to repeat.
void release_output(TsMuxer &muxer) {
    muxer.watches.clear();
    if (muxer.output) muxer.output->pb = nullptr;
    muxer.io.reset();
    muxer.io_buffer.reset();
    muxer.output.reset();
}

const AVStream *input_stream(const TsMuxer &muxer, int track) {
    const InputTrack &t = muxer.tracks[static_cast<size_t>(track)];
    return t.format_context->streams[t.stream_index];
}

bool has_valid_track(const TsMuxer &muxer, const QueuedPacket &holder) {
    return holder.packet && holder.track_number >= 0 &&
           static_cast<size_t>(holder.track_number) < muxer.tracks.size();
}

int64_t packet_start_time(const AVPacket &packet) {
    return packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
}

}  // namespace

TsMuxer::TsMuxer() { srt.emplace(); }

TsMuxer::~TsMuxer() { mux_close(*this); }

int ts_write_callback(void *opaque, uint8_t *bytes, int size) {
    auto *muxer = static_cast<TsMuxer *>(opaque);
    if (muxer && muxer->srt && muxer->srt->write(bytes, size)) return size;
    return AVERROR(EIO);
}

bool mux_open(TsMuxer &muxer, const std::vector<InputTrack> &tracks, const std::string &srt_url,
              std::string &error) {
    if (tracks.empty()) {
        error = "No input tracks";
        return false;
    }

    muxer.tracks = tracks;
    std::vector<const AVFormatContext *> inputs;
    muxer.input_index.clear();
    for (const InputTrack &t : tracks) {
        size_t i = 0;
        while (i < inputs.size() && inputs[i] != t.format_context) ++i;
        if (i == inputs.size()) inputs.push_back(t.format_context);
        muxer.input_index.push_back(static_cast<unsigned>(i));
    }
    muxer.start_offset_us.assign(inputs.size(), AV_NOPTS_VALUE);
    muxer.last_dts.assign(tracks.size(), AV_NOPTS_VALUE);

    AVFormatContext *raw = nullptr;
    const int alloc_rc = avformat_alloc_output_context2(&raw, nullptr, "mpegts", nullptr);
    muxer.output.reset(raw);
    if (alloc_rc < 0 || !muxer.output) {
        error = "MPEG-TS output allocation failed: " + ffmpeg_error_text(alloc_rc < 0 ? alloc_rc : AVERROR(ENOMEM));
        release_output(muxer);
        return false;
    }
    AVFormatContext *out = muxer.output.get();
    out->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_AUTO_BSF;
    out->avoid_negative_ts = AVFMT_AVOID_NEG_TS_MAKE_NON_NEGATIVE;

    for (const InputTrack &t : tracks) {
        if (!t.format_context || t.stream_index < 0 ||
            static_cast<unsigned>(t.stream_index) >= t.format_context->nb_streams) {
            error = "Invalid input track";
            release_output(muxer);
            return false;
        }
        const AVStream *in = t.format_context->streams[t.stream_index];
        if (!in || !in->codecpar) {
            error = "Input track has no codec parameters";
            release_output(muxer);
            return false;
        }
        // Refused before any connection is made: nothing reaches the receiver.
        if (in->codecpar->codec_id == AV_CODEC_ID_AV1) {
            error = "AV1 is not supported by Nuvix";
            release_output(muxer);
            return false;
        }
        AVStream *os = avformat_new_stream(out, nullptr);
        if (!os) {
            error = "Failed to create MPEG-TS stream";
            release_output(muxer);
            return false;
        }
        const int rc = avcodec_parameters_copy(os->codecpar, in->codecpar);
        if (rc < 0) {
            error = "Failed to copy codec parameters: " + ffmpeg_error_text(rc);
            release_output(muxer);
            return false;
        }
        os->codecpar->codec_tag = 0;
        os->time_base = in->time_base;
    }

    if (!muxer.srt->start(srt_url, error)) {
        release_output(muxer);
        return false;
    }

    muxer.io_buffer.reset(static_cast<uint8_t *>(av_malloc(TS_IO_BUFFER_SIZE)));
    if (!muxer.io_buffer) {
        error = "Failed to allocate AVIO buffer";
        muxer.srt->close();
        release_output(muxer);
        return false;
    }
    muxer.io.reset(avio_alloc_context(muxer.io_buffer.get(), TS_IO_BUFFER_SIZE, 1, &muxer, nullptr,
                                      ts_write_callback, nullptr));
    if (!muxer.io) {
        error = "Failed to create AVIO context";
        muxer.srt->close();
        release_output(muxer);
        return false;
    }
    muxer.io_buffer.release();  // the I/O context owns it now
    out->pb = muxer.io.get();

    const int header_rc = avformat_write_header(out, nullptr);
    if (header_rc < 0) {
        error = "MPEG-TS header failed: " + ffmpeg_error_text(header_rc);
        muxer.srt->close();
        release_output(muxer);
        return false;
    }
    muxer.opened = true;

    muxer.watches.clear();
    for (const InputTrack &t : tracks)
        muxer.watches.push_back(make_track_watch(t.format_context->streams[t.stream_index]->codecpar));
    return true;
}

int mux_write(TsMuxer &muxer, QueuedPacket &holder) {
    if (!muxer.opened || !muxer.output || !has_valid_track(muxer, holder)) return AVERROR(EINVAL);

    const int track = holder.track_number;
    const AVStream *in = input_stream(muxer, track);
    const AVStream *out = muxer.output->streams[track];
    AVPacket *pkt = holder.packet.get();

    watch_parameters(muxer.watches, track, in, pkt);

    int64_t &offset = muxer.start_offset_us[muxer.input_index[static_cast<size_t>(track)]];
    const int64_t first = packet_start_time(*pkt);
    if (first != AV_NOPTS_VALUE && offset == AV_NOPTS_VALUE) offset = av_rescale_q(first, in->time_base, MICROSECONDS);
    if (offset != AV_NOPTS_VALUE) {
        const int64_t shift = av_rescale_q(offset, MICROSECONDS, in->time_base);
        if (pkt->dts != AV_NOPTS_VALUE) pkt->dts -= shift;
        if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= shift;
    }

    av_packet_rescale_ts(pkt, in->time_base, out->time_base);
    pkt->stream_index = track;
    pkt->pos = -1;

    int64_t &last = muxer.last_dts[static_cast<size_t>(track)];
    if (pkt->dts == AV_NOPTS_VALUE) pkt->dts = pkt->pts;
    if (pkt->dts == AV_NOPTS_VALUE) pkt->dts = last == AV_NOPTS_VALUE ? 0 : last + std::max<int64_t>(pkt->duration, 1);
    if (pkt->pts == AV_NOPTS_VALUE) pkt->pts = pkt->dts;

    // Keeps PTS - DTS unchanged, so a frame's presentation delay survives the nudge.
    if (last != AV_NOPTS_VALUE && pkt->dts <= last) {
        pkt->pts += last - pkt->dts + 1;
        pkt->dts = last + 1;
    }
    last = pkt->dts;

    // The readers and the merge already hand packets over in time order, so the muxer's
    // own interleaving would only hold each one back until every other track has a
    // later packet. The flush hands the packet's TS to the SRT output at once instead of
    // when the I/O buffer fills.
    int rc = av_write_frame(muxer.output.get(), pkt);
    av_packet_unref(pkt);
    if (rc >= 0) {
        avio_flush(muxer.io.get());
        if (muxer.io->error < 0) rc = muxer.io->error;
    }
    if (rc < 0) log_line("MPEG-TS write failed: " + ffmpeg_error_text(rc));
    return rc;
}

void align_start(TsMuxer &muxer, const QueuedPacket &first_a, const QueuedPacket &first_b) {
    int64_t earliest = AV_NOPTS_VALUE;
    for (const QueuedPacket *holder : {&first_a, &first_b}) {
        if (!has_valid_track(muxer, *holder)) continue;
        const int64_t t = packet_start_time(*holder->packet);
        if (t == AV_NOPTS_VALUE) continue;
        const int64_t us = av_rescale_q(t, input_stream(muxer, holder->track_number)->time_base, MICROSECONDS);
        if (earliest == AV_NOPTS_VALUE || us < earliest) earliest = us;
    }
    if (earliest == AV_NOPTS_VALUE) return;
    for (int64_t &offset : muxer.start_offset_us) offset = earliest;
}

void mux_finish(TsMuxer &muxer, bool ok) {
    if (!muxer.output && !muxer.io) {
        muxer.watches.clear();
        return;
    }
    if (muxer.opened && ok && muxer.output) {
        const int rc = av_write_trailer(muxer.output.get());
        if (rc < 0) log_line("MPEG-TS trailer failed: " + ffmpeg_error_text(rc));
    }
    muxer.opened = false;
    if (muxer.srt) muxer.srt->finish();
    release_output(muxer);
}

void mux_abandon(TsMuxer &muxer) {
    muxer.opened = false;
    if (muxer.srt) muxer.srt->close();
    release_output(muxer);
}

void mux_close(TsMuxer &muxer) {
    if (muxer.output || muxer.io) {
        muxer.opened = false;
        if (muxer.srt) muxer.srt->finish();
        release_output(muxer);
    } else {
        muxer.watches.clear();
    }
    muxer.srt.reset();
    muxer.watches.clear();
    muxer.last_dts.clear();
    muxer.start_offset_us.clear();
    muxer.input_index.clear();
    muxer.tracks.clear();
}
