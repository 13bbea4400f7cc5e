#pragma once

#include <cstdint>
#include <string>

// Run options from the command line and the ingest input file. A local of the run
// driver; the pipelines read it by reference.
struct EngineOptions {
    int32_t line = 0;
    int32_t watch_pid = 0;          // 0: no parent to watch
    std::string input_file;
    std::string srt_url;
    std::string media_url;          // non-empty: combined mode
    std::string video_url;          // split mode, with audio_url
    std::string audio_url;
    int64_t start_offset_us = 0;    // only from the ingest input file
    std::string srt_passphrase;     // only from the ingest input file; overrides the address's
    int32_t stats_interval = 0;     // --stats-interval seconds; 0: no live statistics
};

// Exit codes of the engine; the pipelines return them as their result.
enum ResultCode : int {
    RESULT_OK = 0,              // end of input, or stopped after opening
    RESULT_BAD_ARGUMENTS = 1,
    RESULT_INPUT_OPEN_FAILED = 2,
    RESULT_MUX_OPEN_FAILED = 3,
    RESULT_MUX_WRITE_FAILED = 4,
    RESULT_INPUT_READ_FAILED = 5,
};

// Value of one option, either "--name=value" or "--name" "value"; empty when absent.
// The first occurrence wins; a lone "--name" standing last is passed over.
std::string option_value(int argc, const char *const *argv, const std::string &name);

// Checks one integer option value: empty gives 0; otherwise the whole text must be a
// base-10 number that fits 32 bits and is at least minimum. On false, error is
// "<name> has an invalid value".
bool parse_int_option(const std::string &value, int32_t minimum, const std::string &name,
                      int32_t &out, std::string &error);

// Fills and validates options from the command line, reading (and deleting) the ingest
// input file when --input-file is given. On false, error holds one message.
bool parse_arguments(int argc, const char *const *argv, EngineOptions &options,
                     std::string &error);
