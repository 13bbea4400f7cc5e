// The real kby_nuvix program: usage text, event line, log lines and exit code.

#include "process_runner.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

const std::string USAGE =
    "Usage:\n"
    "  kby_nuvix --input-file <json> --srt-url <url> [--line N] [--watch-pid PID]\n"
    "  kby_nuvix --media-url <url> --srt-url <url>\n"
    "  kby_nuvix --video-url <url> --audio-url <url> --srt-url <url>\n";
const std::string BAD_ARGUMENTS_EVENT = "{\"event\":\"error\",\"detail\":\"bad_arguments\"}\n";
const std::string STAMP = "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}  ";
const std::string LIBRARY_LINE = STAMP + "ffmpeg \\S+ lavf \\d+\\.\\d+\\.\\d+\n";
// Nothing listens here for long: the engine only gets this far when its input opened.
const std::string SRT = "srt://127.0.0.1:9?streamid=cli";

std::string regex_escape(const std::string &text)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

std::string describe(const std::vector<std::string> &args)
{
    std::string text;
    for (const auto &a : args)
        text += "[" + a + "] ";
    return text;
}

bool exists(const std::string &path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

class EngineCommandLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/nuvix_cli_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    std::string write(const std::string &name, const std::string &text)
    {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    static ProcessResult run(const std::vector<std::string> &args)
    {
        return run_process(bin_path("kby_nuvix"), args, std::chrono::seconds(30));
    }

    // The whole output of a refused command line: usage and event on standard output,
    // the library line and the error text on standard error, exit code 1.
    static void expect_refused(const ProcessResult &r, const std::string &message,
                               const std::string &context)
    {
        ASSERT_TRUE(r.started) << r.err;
        ASSERT_FALSE(r.timed_out) << context;
        EXPECT_EQ(r.exit_code, 1) << context << "\n" << r.err;
        EXPECT_EQ(r.out, USAGE + BAD_ARGUMENTS_EVENT) << context;
        EXPECT_TRUE(std::regex_match(r.err, std::regex(LIBRARY_LINE + STAMP
                                                       + regex_escape(message) + "\n")))
            << context << "\nstandard error:\n" << r.err;
    }

    std::string dir;
};

TEST_F(EngineCommandLine, NoArgumentsPrintUsage)
{
    expect_refused(run({}), "--srt-url is required", "no arguments");
}

TEST_F(EngineCommandLine, BadCommandLinesAreRefused)
{
    const std::string combos = "Specify media_url or both video_url and audio_url";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--media-url", "m"}, "--srt-url is required"},
        {{"--line=-1", "--srt-url", SRT, "--media-url", "m"}, "--line has an invalid value"},
        {{"--line", "12abc", "--srt-url", SRT, "--media-url", "m"}, "--line has an invalid value"},
        {{"--watch-pid", "0", "--srt-url", SRT, "--media-url", "m"},
         "--watch-pid has an invalid value"},
        {{"--input-file", "/nonexistent/in.json", "--srt-url", SRT, "--watch-pid"},
         "--watch-pid is required with --input-file"},
        {{"--input-file", "/nonexistent/in.json", "--srt-url", SRT, "--watch-pid", "1"},
         "Cannot open input JSON"},
        {{"--srt-url", SRT, "--media-url", "m", "--video-url", "v", "--audio-url", "a"}, combos},
        {{"--srt-url", SRT, "--video-url", "v"}, combos},
    };
    for (const auto &c : cases)
        expect_refused(run(c.first), c.second, describe(c.first));
}

TEST_F(EngineCommandLine, InputFileIsDeletedWhenTheRunIsRefused)
{
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"--srt-url is required", {"--watch-pid", "1"}},
        {"Specify media_url or both video_url and audio_url",
         {"--watch-pid=1", "--srt-url", SRT, "--media-url", "from-command-line"}},
    };
    for (const auto &c : cases) {
        // The second file holds nothing usable: the command line's address must not count.
        std::string path = write("in.json", c.first == "--srt-url is required"
                                                ? "{\n  \"media_url\": \"m\"\n}\n"
                                                : "{\n  \"page_url\": \"p\"\n}\n");
        std::vector<std::string> args = {"--input-file", path};
        args.insert(args.end(), c.second.begin(), c.second.end());
        expect_refused(run(args), c.first, describe(args));
        EXPECT_FALSE(exists(path)) << describe(args);
    }
}

TEST_F(EngineCommandLine, StartLineNamesLineAndMode)
{
    // The media addresses do not exist, so a run ends at the latest when it opens them.
    const std::string missing = dir + "/missing.ts";
    std::string split_file = write("split.json", "{\n  \"video_url\": \"" + missing
                                                     + "\",\n  \"audio_url\": \"" + missing
                                                     + "\"\n}\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--srt-url=" + SRT, "--media-url", missing}, "kby_nuvix start line=0 combined"},
        {{"--srt-url", SRT, "--media-url", missing, "--line", "1"},
         "kby_nuvix start line=1 combined"},
        {{"--srt-url", SRT, "--video-url", missing, "--audio-url", missing, "--line=007"},
         "kby_nuvix start line=7 split"},
        {{"--input-file", split_file, "--watch-pid", std::to_string(::getpid()), "--srt-url", SRT,
          "--media-url", missing},
         "kby_nuvix start line=0 split"},
    };
    for (const auto &c : cases) {
        ProcessResult r = run(c.first);
        ASSERT_TRUE(r.started) << r.err;
        ASSERT_FALSE(r.timed_out) << describe(c.first);
        EXPECT_NE(r.exit_code, 1) << describe(c.first) << "\n" << r.err;
        EXPECT_TRUE(std::regex_search(r.err, std::regex("^" + LIBRARY_LINE + STAMP
                                                        + regex_escape(c.second) + "\n")))
            << describe(c.first) << "\nstandard error:\n" << r.err;
        EXPECT_EQ(r.out.find("Usage:"), std::string::npos) << describe(c.first);
        EXPECT_EQ(r.out.find("bad_arguments"), std::string::npos) << describe(c.first);
    }
    EXPECT_FALSE(exists(split_file));
}

} // namespace
