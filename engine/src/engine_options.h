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
