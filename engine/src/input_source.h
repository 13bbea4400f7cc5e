#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "packet_queue.h"
#include "packet_time.h"

struct Pacer;

struct AvFormatInputDeleter {
    void operator()(AVFormatContext *context) const { avformat_close_input(&context); }
};
using InputFormatPtr = std::unique_ptr<AVFormatContext, AvFormatInputDeleter>;

// One selected stream: which context, which stream, which media type.
struct InputTrack {
    AVFormatContext *format_context = nullptr;  // not owned
    int stream_index = -1;
    int media_type = AVMEDIA_TYPE_UNKNOWN;      // AVMEDIA_TYPE_VIDEO or AVMEDIA_TYPE_AUDIO
};

// Same 10 s for every protocol's I/O time-out option, in microseconds.
constexpr const char *INPUT_TIMEOUT_US = "10000000";
constexpr const char *INPUT_USER_AGENT =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 "
    "(KHTML, like Gecko) Version/18.6 Safari/605.1.15";

// One media address read with libavformat. Stays at one address for its whole life:
// the interrupt callback and the reader thread point at it. Destruction closes it.
struct InputSource {
    InputSource(std::atomic<bool> *running, int32_t first_track_number, Pacer *pacer);
    ~InputSource();
    InputSource(const InputSource &) = delete;
    InputSource &operator=(const InputSource &) = delete;

    std::atomic<bool> *running;  // may be null; read without a lock
    Pacer *pacer;                // may be null: no pacing
    std::atomic<bool> stop_requested{false};
    int32_t first_track_number;
    InputFormatPtr format_context;
    std::vector<InputTrack> tracks;                  // selection order, video first
    std::map<int, int> stream_to_track;              // stream index -> track number
    TimestampState timestamps;                       // reader thread only while it runs
    PacketQueue queue;
    std::thread reader;
};

// Opens `address` and selects the wanted stream types. On failure returns false and
// replaces `error` with the reason; nothing is logged.
bool open_input(InputSource &input, const std::string &address, bool want_video,
                bool want_audio, std::string &error);

// Options passed to avformat_open_input for `address` (caller frees with av_dict_free).
AVDictionary *input_open_options(const std::string &address);

// AVIOInterruptCB callback; `opaque` is the InputSource. 1 aborts the blocking call.
int input_interrupt_check(void *opaque);

// Stops the reader, empties and closes the queue, closes the demuxer. Safe to repeat,
// also for an input that never opened.
void close_input(InputSource &input);
