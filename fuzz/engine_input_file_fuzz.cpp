// The ingest input file readers on arbitrary file text: the value readers directly, and
// read_input_file on a real file holding the same text.

#include "engine_options.h"
#include "fuzz_check.h"
#include "input_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);

    for (const char *key : {"media_url", "video_url", "audio_url", "page_url", "start_sec"}) {
        const std::string value = json_string_value(text, key);
        FUZZ_CHECK(value.size() <= text.size(), "value longer than the file");
        FUZZ_CHECK(json_int_value(text, key) >= 0, "negative number read");
    }
    const std::string unescaped = json_unescape(text);
    FUZZ_CHECK(unescaped.size() <= text.size(), "unescaping grew the text");
    // Text without a backslash is its own unescaping.
    if (text.find('\\') == std::string::npos)
        FUZZ_CHECK(unescaped == text, "text without escapes changed");

    const std::string path = fuzz::scratch_dir() + "/input.json";
    FILE *f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr, "scratch file opened");
    FUZZ_CHECK(std::fwrite(text.data(), 1, text.size(), f) == text.size(), "scratch file written");
    std::fclose(f);

    EngineOptions options;
    options.input_file = path;
    options.media_url = "left over";
    std::string error;
    FUZZ_CHECK(read_input_file(options, error), "an existing file was refused");
    FUZZ_CHECK(options.media_url == json_string_value(text, "media_url"), "media_url differs");
    FUZZ_CHECK(options.video_url == json_string_value(text, "video_url"), "video_url differs");
    FUZZ_CHECK(options.audio_url == json_string_value(text, "audio_url"), "audio_url differs");
    const int32_t start_sec = json_int_value(text, "start_sec");
    FUZZ_CHECK(options.start_offset_us == (start_sec > 0 ? int64_t{start_sec} * 1000000 : 0),
               "start offset differs");
    struct stat info {};
    FUZZ_CHECK(::stat(path.c_str(), &info) != 0, "input file left behind");
    return 0;
}
