#pragma once

#include <cstdint>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

struct AvParserDeleter {
    void operator()(AVCodecParserContext *parser) const { av_parser_close(parser); }
};
struct AvCodecContextDeleter {
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};

// Last known coding parameters of one output track; moves forward with each change.
struct TrackWatch {
    std::unique_ptr<AVCodecParserContext, AvParserDeleter> parser;       // null: no parser
    std::unique_ptr<AVCodecContext, AvCodecContextDeleter> codec_context; // set with parser
    int32_t codec_id = AV_CODEC_ID_NONE;
    int32_t width = 0;
    int32_t height = 0;
    int32_t sample_rate = 0;
    int32_t channels = 0;
    std::vector<uint8_t> extradata;
    // Audio values the parser's codec context was filled with at open; the parser only
    // reports news when it moves them.
    int32_t parser_base_sample_rate = 0;
    int32_t parser_base_channels = 0;
};

// Watch seeded from `parameters` (the input stream's at muxer open), with a bitstream
// parser when the codec has one. A null `parameters` gives an empty watch.
TrackWatch make_track_watch(const AVCodecParameters *parameters);

// Compares what `stream` and `packet` say now with watches[track_number] and logs one
// "Stream parameters changed track=..." line when something changed. Never fails;
// leaves stream and packet untouched. Does nothing for a bad track number or null input.
void watch_parameters(std::vector<TrackWatch> &watches, int track_number,
                      const AVStream *stream, const AVPacket *packet);
