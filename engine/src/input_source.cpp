#include "input_source.h"

#include "ffmpeg_error.h"
#include "packet_reader.h"

namespace {

bool contains_m3u8_any_case(const std::string &address)
{
    std::string lowered = address;
    for (char &c : lowered) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered.find("m3u8") != std::string::npos;
}

void select_stream(InputSource &input, AVMediaType type)
{
    const int stream_index = av_find_best_stream(input.format_context.get(), type, -1, -1, nullptr, 0);
    if (stream_index < 0)
        return;
    const int track_number = input.first_track_number + static_cast<int>(input.tracks.size());
    input.tracks.push_back(InputTrack{input.format_context.get(), stream_index, type});
    input.stream_to_track[stream_index] = track_number;
}

} // namespace

InputSource::InputSource(std::atomic<bool> *running_flag, int32_t first_track, Pacer *run_pacer)
    : running(running_flag), pacer(run_pacer), first_track_number(first_track)
{
}

InputSource::~InputSource() { close_input(*this); }

AVDictionary *input_open_options(const std::string &address)
{
    AVDictionary *options = nullptr;
    av_dict_set(&options, "rw_timeout", INPUT_TIMEOUT_US, 0);
    av_dict_set(&options, "timeout", INPUT_TIMEOUT_US, 0);
    av_dict_set(&options, "stimeout", INPUT_TIMEOUT_US, 0);
    av_dict_set(&options, "user_agent", INPUT_USER_AGENT, 0);
    // HLS: one connection per segment is more reliable with the platforms' servers.
    if (contains_m3u8_any_case(address))
        av_dict_set(&options, "http_multiple", "0", 0);
    return options;
}

bool open_input(InputSource &input, const std::string &address, bool want_video,
                bool want_audio, std::string &error)
{
    AVFormatContext *context = avformat_alloc_context();
    if (context == nullptr) {
        error = "avformat_alloc_context failed";
        return false;
    }
    context->interrupt_callback.callback = input_interrupt_check;
    context->interrupt_callback.opaque = &input;
    context->flags |= AVFMT_FLAG_DISCARD_CORRUPT;
    // The run never uses the duration. Estimating it from the last timestamps seeks to the
    // end of a seekable MPEG-TS source several times; from a server that went silent each
    // seek costs a full I/O time-out, so the open took a minute instead of ten seconds.
    context->skip_estimate_duration_from_pts = 1;

    AVDictionary *options = input_open_options(address);
    int code = avformat_open_input(&context, address.c_str(), nullptr, &options);
    av_dict_free(&options);  // what no component took is dropped
    if (code < 0) {
        // FFmpeg freed the context and set the pointer to null.
        error = "avformat_open_input: " + ffmpeg_error_text(code);
        return false;
    }
    input.format_context.reset(context);

    code = avformat_find_stream_info(context, nullptr);
    if (code < 0) {
        error = "avformat_find_stream_info: " + ffmpeg_error_text(code);
        return false;
    }

    if (want_video)
        select_stream(input, AVMEDIA_TYPE_VIDEO);
    if (want_audio)
        select_stream(input, AVMEDIA_TYPE_AUDIO);
    if (input.tracks.empty()) {
        error = "No requested video or audio stream";
        return false;
    }
    return true;
}

int input_interrupt_check(void *opaque)
{
    const auto *input = static_cast<const InputSource *>(opaque);
    if (input == nullptr || input->stop_requested.load())
        return 1;
    if (input->running != nullptr && !input->running->load())
        return 1;
    return 0;
}

void close_input(InputSource &input)
{
    stop_reader(input);
    input.tracks.clear();
    input.stream_to_track.clear();
    input.timestamps = TimestampState{};
    input.format_context.reset();
}
