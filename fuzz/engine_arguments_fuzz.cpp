// parse_arguments on arbitrary command lines. Input: the arguments separated by NUL
// bytes; after a 0xFF byte, the text of an ingest input file that is then named with
// --input-file (the only file the target lets the engine read and delete).

#include "engine_options.h"
#include "fuzz_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

bool file_exists(const std::string &path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

bool write_text(const std::string &path, const std::string &text)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<std::string> halves = fuzz::split(data, size, '\xff', 2);
    const std::vector<std::string> pieces =
        fuzz::split(reinterpret_cast<const uint8_t *>(halves[0].data()), halves[0].size(), '\0', 24);

    std::vector<std::string> args{"kby_nuvix"};
    for (const std::string &piece : pieces) {
        // Arbitrary paths would be read and deleted: only the target's own file is named.
        if (piece.rfind("--input-file", 0) != 0)
            args.push_back(piece);
    }
    const std::string path = fuzz::scratch_dir() + "/input.json";
    const bool with_file = halves.size() == 2;
    if (with_file) {
        FUZZ_CHECK(write_text(path, halves[1]), "scratch file written");
        // Both spellings of the option, chosen by the input's length.
        if (size % 2) {
            args.push_back("--input-file=" + path);
        } else {
            args.push_back("--input-file");
            args.push_back(path);
        }
    }

    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);

    EngineOptions options;
    std::string error;
    const bool ok = parse_arguments(static_cast<int>(args.size()), argv.data(), options, error);

    if (ok) {
        FUZZ_CHECK(!options.srt_url.empty(), "accepted without an SRT address");
        const bool combined = !options.media_url.empty();
        const bool split = !options.video_url.empty() && !options.audio_url.empty();
        FUZZ_CHECK(combined != split, "accepted without exactly one run mode");
        FUZZ_CHECK(options.line >= 0, "negative --line accepted");
        FUZZ_CHECK(options.watch_pid >= 0, "negative --watch-pid accepted");
        FUZZ_CHECK(options.start_offset_us >= 0, "negative start offset");
        FUZZ_CHECK(options.start_offset_us % 1000000 == 0, "start offset not in whole seconds");
        if (!options.input_file.empty()) {
            FUZZ_CHECK(options.watch_pid >= 1, "--input-file accepted without --watch-pid");
            FUZZ_CHECK(options.input_file == path, "a file other than the named one was read");
        }
        if (options.input_file.empty())
            FUZZ_CHECK(options.start_offset_us == 0, "start offset without an input file");
    } else {
        FUZZ_CHECK(!error.empty(), "refused without a message");
        FUZZ_CHECK(error.find('\n') == std::string::npos, "message spans lines");
    }
    // The file is read, and so removed, exactly when the checks before it passed.
    if (with_file && options.input_file == path) {
        const bool read = ok || error == "--srt-url is required"
            || error == "Specify media_url or both video_url and audio_url";
        FUZZ_CHECK(read != file_exists(path), "input file removed when not read, or kept after reading");
    }
    ::unlink(path.c_str());
    return 0;
}
