#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "input_source.h"
#include "packet_queue.h"
#include "srt_output.h"
#include "track_watch.h"

// Size of the one I/O buffer through which all TS bytes leave the muxer.
constexpr int TS_IO_BUFFER_SIZE = 32768;

struct AvFormatOutputDeleter {
    void operator()(AVFormatContext *context) const { avformat_free_context(context); }
};
// Frees the I/O context together with the buffer it holds now (FFmpeg may have replaced
// the one it was given).
struct AvioContextDeleter {
    void operator()(AVIOContext *io) const {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct AvFreeDeleter {
    void operator()(uint8_t *block) const { av_free(block); }
};

// MPEG-TS muxing of the selected tracks into the SRT output, without re-encoding.
// Lives on the pipeline thread only; the sender thread touches nothing but `srt`,
// and only through the output's own locks. The muxer itself holds no lock.
//
// Calling order: mux_open, mux_write..., (align_start at most once before the first
// write), then mux_finish or mux_abandon (neither after a failed open), then mux_close.
// Every input format context must stay open until the output has been released: the
// muxer reads the input streams' parameters and time bases on every write.
struct TsMuxer {
    TsMuxer();
    ~TsMuxer();
    TsMuxer(const TsMuxer &) = delete;
    TsMuxer &operator=(const TsMuxer &) = delete;

    std::vector<InputTrack> tracks;        // position = track number = output stream index
    std::vector<unsigned> input_index;     // per track: which distinct input it belongs to
    std::vector<int64_t> start_offset_us;  // per input; AV_NOPTS_VALUE until known
    std::vector<int64_t> last_dts;         // per track, output time base; AV_NOPTS_VALUE at first
    std::vector<TrackWatch> watches;       // per track, from open to release
    std::unique_ptr<AVFormatContext, AvFormatOutputDeleter> output;
    std::unique_ptr<AVIOContext, AvioContextDeleter> io;   // write-only, ts_write_callback
    std::unique_ptr<uint8_t, AvFreeDeleter> io_buffer;      // until the I/O context takes it
    std::optional<SrtOutput> srt;          // constructed with the muxer, destroyed by mux_close
    bool opened = false;                   // header written; packets accepted
};

// Opens the "mpegts" output over `srt_url` and writes the header. On false `error`
// says why and everything opened so far was released; only mux_close remains.
bool mux_open(TsMuxer &muxer, const std::vector<InputTrack> &tracks, const std::string &srt_url,
              std::string &error);

// Shifts, rescales and writes one packet. FFmpeg takes over the packet's data; the
// holder keeps an empty packet. Returns the FFmpeg result (negative: failure, logged),
// or AVERROR(EINVAL) without touching the packet when not open or the track is bad.
int mux_write(TsMuxer &muxer, QueuedPacket &holder);

// One common start offset for all inputs: the earlier of the two first packets.
void align_start(TsMuxer &muxer, const QueuedPacket &first_a, const QueuedPacket &first_b);

// Normal end: trailer when ok, then the SRT output drains and closes.
void mux_finish(TsMuxer &muxer, bool ok);

// End after a stop: no trailer, queued TS bytes are dropped.
void mux_abandon(TsMuxer &muxer);

// Final teardown, also after a failed mux_open. Safe to repeat.
void mux_close(TsMuxer &muxer);

// AVIO write callback: hands the bytes to the muxer's SRT output.
int ts_write_callback(void *opaque, uint8_t *bytes, int size);
