#include "start_position.h"

#include <cstdint>

#include "events_log.h"
#include "ffmpeg_error.h"
#include "input_source.h"

bool seek_input(InputSource &input, int64_t time_us, std::string &error)
{
    if (!input.format_context) {
        error = "Input is not open";
        return false;
    }
    const int64_t target = time_us < 0 ? 0 : time_us;
    // Stream index -1: the times are in AV_TIME_BASE (microseconds).
    const int code = avformat_seek_file(input.format_context.get(), -1, INT64_MIN, target, target, 0);
    if (code < 0) {
        error = ffmpeg_error_text(code);
        return false;
    }
    return true;
}

void apply_start_position(InputSource &first, InputSource *second, int64_t start_us)
{
    if (start_us <= 0)
        return;
    std::string error;
    bool ok = seek_input(first, start_us, error);
    if (second != nullptr && !seek_input(*second, start_us, error))
        ok = false;
    if (ok) {
        log_line("Start at " + std::to_string(start_us / 1000000) + "s");
        return;
    }
    log_line("Start seek failed, reading from the beginning");
    seek_input(first, 0, error);
    if (second != nullptr)
        seek_input(*second, 0, error);
}
