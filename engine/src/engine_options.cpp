#include "engine_options.h"

#include "input_file.h"
#include "srt_url.h"

#include <cerrno>
#include <cstdlib>

std::string option_value(int argc, const char *const *argv, const std::string &name)
{
    const std::string prefix = name + "=";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] ? argv[i] : "";
        if (arg.compare(0, prefix.size(), prefix) == 0)
            return arg.substr(prefix.size());
        if (arg == name && i + 1 < argc)
            return argv[i + 1] ? argv[i + 1] : "";
    }
    return std::string();
}

bool parse_int_option(const std::string &value, int32_t minimum, const std::string &name,
                      int32_t &out, std::string &error)
{
    if (value.empty()) {
        out = 0;
        return true;
    }
    errno = 0;
    char *end = nullptr;
    const char *begin = value.c_str();
    long number = std::strtol(begin, &end, 10);
    // long is 64 bits here: a value beyond 32 bits counts as out of range as well.
    bool whole = end != begin && end == begin + value.size();
    if (errno == ERANGE || !whole || number < minimum || number > INT32_MAX) {
        error = name + " has an invalid value";
        return false;
    }
    out = static_cast<int32_t>(number);
    return true;
}

bool parse_arguments(int argc, const char *const *argv, EngineOptions &options,
                     std::string &error)
{
    options.input_file = option_value(argc, argv, "--input-file");
    options.srt_url = option_value(argc, argv, "--srt-url");
    options.media_url = option_value(argc, argv, "--media-url");
    options.video_url = option_value(argc, argv, "--video-url");
    options.audio_url = option_value(argc, argv, "--audio-url");
    const std::string line = option_value(argc, argv, "--line");
    const std::string watch_pid = option_value(argc, argv, "--watch-pid");
    const std::string stats_interval = option_value(argc, argv, "--stats-interval");

    if (!parse_int_option(line, 0, "--line", options.line, error))
        return false;
    if (!parse_int_option(watch_pid, 1, "--watch-pid", options.watch_pid, error))
        return false;
    if (!parse_int_option(stats_interval, 1, "--stats-interval", options.stats_interval, error))
        return false;
    if (!options.input_file.empty() && options.watch_pid == 0) {
        error = "--watch-pid is required with --input-file";
        return false;
    }
    if (!read_input_file(options, error))
        return false;
    if (options.srt_url.empty()) {
        error = "--srt-url is required";
        return false;
    }
    // The passphrase travels in the input file so that it never shows on a command line.
    options.srt_url = srt_url_with_passphrase(options.srt_url, options.srt_passphrase);
    bool combined = !options.media_url.empty();
    bool split = !options.video_url.empty() && !options.audio_url.empty();
    if (combined == split) {
        error = "Specify media_url or both video_url and audio_url";
        return false;
    }
    return true;
}
