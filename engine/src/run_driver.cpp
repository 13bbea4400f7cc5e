#include "run_driver.h"

#include "broken_pipe.h"
#include "combined_pipeline.h"
#include "engine_options.h"
#include "events_log.h"
#include "split_pipeline.h"
#include "stop_control.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/log.h>
}

#include <cstdio>
#include <string>

const char USAGE_TEXT[] =
    "Usage:\n"
    "  kby_nuvix --input-file <json> --srt-url <url> [--line N] [--watch-pid PID]\n"
    "  kby_nuvix --media-url <url> --srt-url <url>\n"
    "  kby_nuvix --video-url <url> --audio-url <url> --srt-url <url>\n";

namespace {

std::string library_line()
{
    const char *version = av_version_info();
    unsigned lavf = avformat_version();
    return std::string("ffmpeg ") + (version ? version : "?") + " lavf "
        + std::to_string(lavf >> 16) + "." + std::to_string((lavf >> 8) & 0xff) + "."
        + std::to_string(lavf & 0xff);
}

} // namespace

int run_driver(int argc, char **argv)
{
    install_stop_signal_handlers();
    // Whoever reads the event or log lines may go away first (a closed window, "| head");
    // the run still has to end through its normal path and remove its stop event.
    ignore_broken_pipe();

    av_log_set_level(AV_LOG_WARNING);
    avformat_network_init();
    log_line(library_line());

    EngineOptions options;
    std::string error;
    if (!parse_arguments(argc, argv, options, error)) {
        std::fputs(USAGE_TEXT, stdout);
        std::fflush(stdout);
        log_line(error);
        emit_event("error", "bad_arguments");
        avformat_network_deinit();
        return RESULT_BAD_ARGUMENTS;
    }
    const bool combined = !options.media_url.empty();
    log_line("kby_nuvix start line=" + std::to_string(options.line)
             + (combined ? " combined" : " split"));

    StopControl stop_control;
    start_stop_control(stop_control, options.watch_pid);

    const int result = combined ? run_combined(options) : run_split(options);

    shut_down_stop_control(stop_control);

    avformat_network_deinit();
    return result;
}
