#include "track_watch.h"

#include <cstring>
#include <string>

#include "events_log.h"

namespace {

// Older FFmpeg flags whose fields precede the sample rate in the side data layout.
constexpr uint32_t PARAM_CHANGE_CHANNEL_COUNT = 0x0001;
constexpr uint32_t PARAM_CHANGE_CHANNEL_LAYOUT = 0x0002;
constexpr uint32_t PARAM_CHANGE_SAMPLE_RATE = 0x0004;
constexpr uint32_t PARAM_CHANGE_DIMENSIONS = 0x0008;

uint32_t read_le32(const uint8_t *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

int32_t read_le32_signed(const uint8_t *bytes)
{
    const uint32_t value = read_le32(bytes);
    int32_t result;
    std::memcpy(&result, &value, sizeof result);
    return result;
}

// What the stream and the packet say about the codec right now. The extradata is a
// view, copied only when it is stored.
struct CurrentParameters {
    int32_t codec_id = AV_CODEC_ID_NONE;
    int32_t width = 0;
    int32_t height = 0;
    int32_t sample_rate = 0;
    int32_t channels = 0;
    const uint8_t *extradata = nullptr;
    size_t extradata_size = 0;
};

void apply_param_change_side_data(const AVPacket &packet, CurrentParameters &current)
{
    size_t size = 0;
    const uint8_t *data = av_packet_get_side_data(&packet, AV_PKT_DATA_PARAM_CHANGE, &size);
    if (data == nullptr || size < 4)
        return;
    const uint32_t flags = read_le32(data);
    size_t offset = 4;
    if (flags & PARAM_CHANGE_CHANNEL_COUNT)
        offset += 4;
    if (flags & PARAM_CHANGE_CHANNEL_LAYOUT)
        offset += 8;
    if (flags & PARAM_CHANGE_SAMPLE_RATE) {
        if (offset > size || size - offset < 4)
            return;
        const int32_t sample_rate = read_le32_signed(data + offset);
        if (sample_rate > 0)
            current.sample_rate = sample_rate;
        offset += 4;
    }
    if (flags & PARAM_CHANGE_DIMENSIONS) {
        if (offset > size || size - offset < 8)
            return;
        const int32_t width = read_le32_signed(data + offset);
        const int32_t height = read_le32_signed(data + offset + 4);
        if (width > 0 && height > 0) {
            current.width = width;
            current.height = height;
        }
    }
}

void apply_parser(TrackWatch &watch, const AVPacket &packet, CurrentParameters &current)
{
    if (!watch.parser || !watch.codec_context || packet.data == nullptr || packet.size <= 0)
        return;
    uint8_t *out = nullptr;
    int out_size = 0;
    av_parser_parse2(watch.parser.get(), watch.codec_context.get(), &out, &out_size,
                     packet.data, packet.size, packet.pts, packet.dts, packet.pos);

    const AVCodecParserContext &parser = *watch.parser;
    if (parser.width > 0 && parser.height > 0) {
        current.width = parser.width;
        current.height = parser.height;
    } else if (parser.coded_width > 0 && parser.coded_height > 0) {
        current.width = parser.coded_width;
        current.height = parser.coded_height;
    }
    // The context starts with the opening values and keeps them unless a parser writes
    // new ones (the AAC parser never does); only a value the parser moved away from the
    // opening value is news, otherwise it would hide changes seen in side data.
    const AVCodecContext &context = *watch.codec_context;
    if (context.sample_rate > 0 && context.sample_rate != watch.parser_base_sample_rate)
        current.sample_rate = context.sample_rate;
    if (context.ch_layout.nb_channels > 0 && context.ch_layout.nb_channels != watch.parser_base_channels)
        current.channels = context.ch_layout.nb_channels;
}

std::string codec_name(int32_t codec_id)
{
    const char *name = avcodec_get_name(static_cast<AVCodecID>(codec_id));
    return name != nullptr ? name : "unknown";
}

} // namespace

TrackWatch make_track_watch(const AVCodecParameters *parameters)
{
    TrackWatch watch;
    if (parameters == nullptr)
        return watch;
    watch.codec_id = parameters->codec_id;
    watch.width = parameters->width;
    watch.height = parameters->height;
    watch.sample_rate = parameters->sample_rate;
    watch.channels = parameters->ch_layout.nb_channels;
    if (parameters->extradata != nullptr && parameters->extradata_size > 0)
        watch.extradata.assign(parameters->extradata, parameters->extradata + parameters->extradata_size);

    watch.parser.reset(av_parser_init(parameters->codec_id));
    if (!watch.parser)
        return watch;
    watch.codec_context.reset(avcodec_alloc_context3(nullptr));
    if (!watch.codec_context ||
        avcodec_parameters_to_context(watch.codec_context.get(), parameters) < 0) {
        watch.codec_context.reset();
        watch.parser.reset();
        return watch;
    }
    // Demuxed packets are whole frames: the parser then reads each packet as it comes
    // instead of buffering it until the next one.
    watch.parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    watch.parser_base_sample_rate = watch.codec_context->sample_rate;
    watch.parser_base_channels = watch.codec_context->ch_layout.nb_channels;
    return watch;
}

void watch_parameters(std::vector<TrackWatch> &watches, int track_number,
                      const AVStream *stream, const AVPacket *packet)
{
    if (track_number < 0 || static_cast<size_t>(track_number) >= watches.size())
        return;
    if (stream == nullptr || stream->codecpar == nullptr || packet == nullptr)
        return;
    TrackWatch &watch = watches[static_cast<size_t>(track_number)];
    const AVCodecParameters &parameters = *stream->codecpar;

    CurrentParameters current;
    current.codec_id = parameters.codec_id;
    current.width = parameters.width;
    current.height = parameters.height;
    current.sample_rate = parameters.sample_rate;
    current.channels = parameters.ch_layout.nb_channels;
    if (parameters.extradata != nullptr && parameters.extradata_size > 0) {
        current.extradata = parameters.extradata;
        current.extradata_size = static_cast<size_t>(parameters.extradata_size);
    }

    apply_param_change_side_data(*packet, current);

    size_t new_extradata_size = 0;
    const uint8_t *new_extradata =
        av_packet_get_side_data(packet, AV_PKT_DATA_NEW_EXTRADATA, &new_extradata_size);
    if (new_extradata != nullptr && new_extradata_size > 0) {
        current.extradata = new_extradata;
        current.extradata_size = new_extradata_size;
    }

    apply_parser(watch, *packet, current);

    const bool codec_changed = current.codec_id != watch.codec_id && current.codec_id != AV_CODEC_ID_NONE;
    const bool size_changed = (current.width != watch.width || current.height != watch.height) &&
                              current.width > 0 && current.height > 0;
    const bool sample_rate_changed = current.sample_rate != watch.sample_rate && current.sample_rate > 0;
    const bool channels_changed = current.channels != watch.channels && current.channels > 0;
    const bool extradata_changed =
        current.extradata_size != watch.extradata.size() ||
        (current.extradata_size > 0 &&
         std::memcmp(current.extradata, watch.extradata.data(), current.extradata_size) != 0);

    if (!codec_changed && !size_changed && !sample_rate_changed && !channels_changed && !extradata_changed)
        return;

    std::string message = "Stream parameters changed track=" + std::to_string(track_number);
    if (codec_changed)
        message += " codec " + codec_name(watch.codec_id) + " -> " + codec_name(current.codec_id);
    if (size_changed)
        message += " " + std::to_string(watch.width) + "x" + std::to_string(watch.height) + " -> " +
                   std::to_string(current.width) + "x" + std::to_string(current.height);
    if (sample_rate_changed)
        message += " sample_rate " + std::to_string(watch.sample_rate) + " -> " +
                   std::to_string(current.sample_rate);
    if (channels_changed)
        message += " channels " + std::to_string(watch.channels) + " -> " + std::to_string(current.channels);
    if (extradata_changed) {
        message += " extradata " + std::to_string(watch.extradata.size());
        if (current.extradata_size == watch.extradata.size())
            message += " bytes replaced";
        else
            message += " -> " + std::to_string(current.extradata_size) + " bytes";
    }
    log_line(message);

    if (codec_changed)
        watch.codec_id = current.codec_id;
    if (size_changed) {
        watch.width = current.width;
        watch.height = current.height;
    }
    if (sample_rate_changed)
        watch.sample_rate = current.sample_rate;
    if (channels_changed)
        watch.channels = current.channels;
    if (extradata_changed)
        watch.extradata.assign(current.extradata, current.extradata + current.extradata_size);
}
