#include "engine_options.h"
#include "srt_url.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// argv as the program sees it: the program name first.
struct Argv {
    explicit Argv(std::vector<std::string> args) : texts(std::move(args))
    {
        texts.insert(texts.begin(), "kby_nuvix");
        for (auto &t : texts)
            pointers.push_back(t.c_str());
    }
    int argc() const { return static_cast<int>(pointers.size()); }
    const char *const *argv() const { return pointers.data(); }

    std::vector<std::string> texts;
    std::vector<const char *> pointers;
};

std::string describe(const std::vector<std::string> &args)
{
    std::string text;
    for (const auto &a : args)
        text += "[" + a + "] ";
    return text;
}

const char SRT[] = "srt://127.0.0.1:9001?streamid=live";

struct OptionCase {
    std::vector<std::string> args;
    std::string name;
    std::string expected;
};

TEST(OptionValue, FindsTheFirstOccurrenceInEitherForm)
{
    const std::vector<OptionCase> cases = {
        {{"--srt-url=srt://a:1?streamid=x"}, "--srt-url", "srt://a:1?streamid=x"},
        {{"--srt-url", "srt://a:1"}, "--srt-url", "srt://a:1"},
        {{"--line", "1", "--line=2"}, "--line", "1"},
        {{"--line=2", "--line", "1"}, "--line", "2"},
        // An empty joined value is still the first occurrence.
        {{"--line=", "--line", "5"}, "--line", ""},
        // The value after the name is taken whatever it looks like.
        {{"--srt-url", "--media-url", "x"}, "--srt-url", "--media-url"},
        {{"--srt-url", "--media-url", "x"}, "--media-url", "x"},
        // Values are examined too: a value that is itself "--line=3" counts as --line.
        {{"--media-url", "--line=3"}, "--line", "3"},
        {{"--media-url", "--line=3"}, "--media-url", "--line=3"},
        // A name standing last has no value and counts as absent.
        {{"--watch-pid"}, "--watch-pid", ""},
        {{"--line", "4", "--watch-pid"}, "--watch-pid", ""},
        // Names that only begin like the option do not match.
        {{"--lines=5", "--line-x", "6"}, "--line", ""},
        {{"-line=5", "line", "5"}, "--line", ""},
        // Unknown arguments are skipped without harm.
        {{"stray", "--line", "4"}, "--line", "4"},
        {{}, "--line", ""},
        {{"--media-url=a=b"}, "--media-url", "a=b"},
    };
    for (const auto &c : cases) {
        Argv argv(c.args);
        EXPECT_EQ(option_value(argv.argc(), argv.argv(), c.name), c.expected)
            << c.name << " in " << describe(c.args);
    }
}

TEST(OptionValue, IgnoresTheProgramName)
{
    const char *argv[] = {"--line=9", "--srt-url", "s"};
    EXPECT_EQ(option_value(3, argv, "--line"), "");
}

struct IntCase {
    std::string value;
    int32_t minimum;
    bool ok;
    int32_t expected;
};

TEST(ParseIntOption, AcceptsWholeNumbersAtLeastTheMinimum)
{
    const std::vector<IntCase> cases = {
        {"", 0, true, 0},
        {"", 1, true, 0},           // absent --watch-pid still gives 0
        {"0", 0, true, 0},
        {"007", 0, true, 7},
        {"+5", 0, true, 5},
        {" 5", 0, true, 5},         // strtol skips leading white space
        {"1", 1, true, 1},
        {"2147483647", 0, true, 2147483647},
        {"-1", 0, false, 0},
        {"0", 1, false, 0},
        {"12abc", 0, false, 0},
        {"5 ", 0, false, 0},
        {" ", 0, false, 0},
        {"-", 0, false, 0},
        {"abc", 0, false, 0},
        {"0x10", 0, false, 0},
        {"1.5", 0, false, 0},
        {"2147483648", 0, false, 0},                 // fits long, not 32 bits
        {"99999999999999999999999", 0, false, 0},    // range error
        {"-99999999999999999999999", 0, false, 0},
    };
    for (const auto &c : cases) {
        int32_t out = -42;
        std::string error;
        bool ok = parse_int_option(c.value, c.minimum, "--line", out, error);
        EXPECT_EQ(ok, c.ok) << "'" << c.value << "' min " << c.minimum;
        if (c.ok) {
            EXPECT_EQ(out, c.expected) << "'" << c.value << "'";
            EXPECT_EQ(error, "");
        } else {
            EXPECT_EQ(error, "--line has an invalid value") << "'" << c.value << "'";
        }
    }
}

TEST(ParseIntOption, NamesTheOptionInItsMessage)
{
    int32_t out = 0;
    std::string error;
    EXPECT_FALSE(parse_int_option("0", 1, "--watch-pid", out, error));
    EXPECT_EQ(error, "--watch-pid has an invalid value");
}

struct AcceptedCase {
    std::vector<std::string> args;
    std::string media_url;
    std::string video_url;
    std::string audio_url;
    std::string srt_url;
    int32_t line;
    int32_t watch_pid;
};

TEST(ParseArguments, AcceptsEitherModeInAnyForm)
{
    const std::vector<AcceptedCase> cases = {
        {{std::string("--srt-url=") + SRT, "--media-url", "m"}, "m", "", "", SRT, 0, 0},
        {{"--media-url=m", "--srt-url", SRT, "--line=3", "--watch-pid", "77"},
         "m", "", "", SRT, 3, 77},
        {{"--line", "007", "--srt-url", SRT, "--media-url", "m"}, "m", "", "", SRT, 7, 0},
        {{"--srt-url", "--media-url", "x"}, "x", "", "", "--media-url", 0, 0},
        {{"--srt-url", SRT, "--video-url", "v", "--audio-url", "a"}, "", "v", "a", SRT, 0, 0},
        // A media address with one of the pair: combined, the lone address ignored.
        {{"--srt-url", SRT, "--media-url", "m", "--video-url", "v"}, "m", "v", "", SRT, 0, 0},
        {{"--srt-url", SRT, "--media-url", "m", "--audio-url", "a"}, "m", "", "a", SRT, 0, 0},
        // --watch-pid standing last counts as absent.
        {{"--srt-url", SRT, "--media-url", "m", "--watch-pid"}, "m", "", "", SRT, 0, 0},
        {{"--srt-url", SRT, "--media-url", "m", "--line="}, "m", "", "", SRT, 0, 0},
    };
    for (const auto &c : cases) {
        Argv argv(c.args);
        EngineOptions options;
        std::string error;
        ASSERT_TRUE(parse_arguments(argv.argc(), argv.argv(), options, error))
            << describe(c.args) << " -> " << error;
        EXPECT_EQ(options.media_url, c.media_url) << describe(c.args);
        EXPECT_EQ(options.video_url, c.video_url) << describe(c.args);
        EXPECT_EQ(options.audio_url, c.audio_url) << describe(c.args);
        EXPECT_EQ(options.srt_url, c.srt_url) << describe(c.args);
        EXPECT_EQ(options.line, c.line) << describe(c.args);
        EXPECT_EQ(options.watch_pid, c.watch_pid) << describe(c.args);
        EXPECT_EQ(options.input_file, "") << describe(c.args);
        EXPECT_EQ(options.start_offset_us, 0) << describe(c.args);
    }
}

struct RefusedCase {
    std::vector<std::string> args;
    std::string error;
};

TEST(ParseArguments, RefusesWithTheFirstFailingCheck)
{
    const std::string combos = "Specify media_url or both video_url and audio_url";
    const std::vector<RefusedCase> cases = {
        {{}, "--srt-url is required"},
        {{"--srt-url", SRT, "--media-url", "m", "--video-url", "v", "--audio-url", "a"}, combos},
        {{"--srt-url", SRT, "--video-url", "v"}, combos},
        {{"--srt-url", SRT, "--audio-url", "a"}, combos},
        {{"--srt-url", SRT}, combos},
        {{"--srt-url", SRT, "--media-url="}, combos},
        {{"--media-url", "m"}, "--srt-url is required"},
        {{"--srt-url="}, "--srt-url is required"},
        {{"--line=-1", "--srt-url", SRT, "--media-url", "m"}, "--line has an invalid value"},
        {{"--line", "12abc", "--srt-url", SRT, "--media-url", "m"}, "--line has an invalid value"},
        {{"--watch-pid", "0", "--srt-url", SRT, "--media-url", "m"},
         "--watch-pid has an invalid value"},
        {{"--watch-pid=-3", "--srt-url", SRT, "--media-url", "m"},
         "--watch-pid has an invalid value"},
        // The checks run in a fixed order.
        {{"--line=x", "--watch-pid=0"}, "--line has an invalid value"},
        {{"--watch-pid=0"}, "--watch-pid has an invalid value"},
        {{"--input-file", "/nonexistent/in.json", "--line=-1"}, "--line has an invalid value"},
        {{"--input-file", "/nonexistent/in.json", "--srt-url", SRT, "--watch-pid"},
         "--watch-pid is required with --input-file"},
        {{"--input-file", "/nonexistent/in.json", "--srt-url", SRT, "--watch-pid=5"},
         "Cannot open input JSON"},
        {{"--input-file", "/nonexistent/in.json", "--watch-pid=5"}, "Cannot open input JSON"},
        {{"--stats-interval=0", "--srt-url", SRT, "--media-url", "m"}, "--stats-interval has an invalid value"},
        {{"--stats-interval", "1.5", "--srt-url", SRT, "--media-url", "m"},
         "--stats-interval has an invalid value"},
        {{"--stats-interval", "-2", "--srt-url", SRT, "--media-url", "m"},
         "--stats-interval has an invalid value"},
        {{"--stats-interval=x", "--watch-pid=0"}, "--watch-pid has an invalid value"},
    };
    for (const auto &c : cases) {
        Argv argv(c.args);
        EngineOptions options;
        std::string error;
        EXPECT_FALSE(parse_arguments(argv.argc(), argv.argv(), options, error)) << describe(c.args);
        EXPECT_EQ(error, c.error) << describe(c.args);
    }
}

// A private folder for ingest input files, removed afterwards.
class InputFileArguments : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/nuvix_options_XXXXXX";
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
    static bool exists(const std::string &path)
    {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0;
    }

    std::string dir;
};

TEST_F(InputFileArguments, FileValuesReplaceTheCommandLine)
{
    struct Case {
        std::string file_text;
        std::string media_url;
        std::string video_url;
        std::string audio_url;
        int64_t start_offset_us;
    };
    const std::vector<Case> cases = {
        {"{\n  \"page_url\": \"https://example.invalid/watch?v=1\",\n  \"start_sec\": 95,\n"
         "  \"media_url\": \"https://media.invalid/a.m3u8\"\n}\n",
         "https://media.invalid/a.m3u8", "", "", 95000000},
        // Split file: the --media-url and --video-url of the command line are dropped.
        {"{\n  \"video_url\": \"v.mp4\",\n  \"audio_url\": \"a.m4a\"\n}\n", "", "v.mp4", "a.m4a", 0},
    };
    for (const auto &c : cases) {
        std::string path = write("in.json", c.file_text);
        Argv argv({"--input-file", path, "--watch-pid", "4711", "--srt-url", SRT,
                   "--media-url", "from-command-line", "--video-url=cmd-video"});
        EngineOptions options;
        std::string error;
        ASSERT_TRUE(parse_arguments(argv.argc(), argv.argv(), options, error))
            << c.file_text << " -> " << error;
        EXPECT_FALSE(exists(path)) << "the input file must be deleted: " << c.file_text;
        EXPECT_EQ(options.input_file, path);
        EXPECT_EQ(options.media_url, c.media_url);
        EXPECT_EQ(options.video_url, c.video_url);
        EXPECT_EQ(options.audio_url, c.audio_url);
        EXPECT_EQ(options.start_offset_us, c.start_offset_us);
        EXPECT_EQ(options.watch_pid, 4711);
    }
}

TEST(ParseArguments, StatsIntervalIsOffUnlessGiven)
{
    struct Case {
        std::vector<std::string> args;
        int32_t interval;
    };
    const std::vector<Case> cases = {
        {{"--srt-url", SRT, "--media-url", "m"}, 0},
        {{"--srt-url", SRT, "--media-url", "m", "--stats-interval="}, 0},
        {{"--srt-url", SRT, "--media-url", "m", "--stats-interval", "1"}, 1},
        {{"--stats-interval=05", "--srt-url", SRT, "--media-url", "m"}, 5},
    };
    for (const auto &c : cases) {
        Argv argv(c.args);
        EngineOptions options;
        std::string error;
        ASSERT_TRUE(parse_arguments(argv.argc(), argv.argv(), options, error)) << describe(c.args) << error;
        EXPECT_EQ(options.stats_interval, c.interval) << describe(c.args);
        EXPECT_EQ(options.srt_url, SRT) << describe(c.args);
    }
}

TEST_F(InputFileArguments, PassphraseOfTheFileOverridesTheAddresses)
{
    struct Case {
        std::string member;     // the line the front-end adds, or nothing
        std::string srt_url;
        std::string passphrase; // what the connection will use
    };
    const std::vector<Case> cases = {
        {"", "srt://h:1?streamid=s", ""},
        {"", "srt://h:1?streamid=s&passphrase=fromtheurl1", "fromtheurl1"},
        {",\n  \"srt_passphrase\": \"\"", "srt://h:1?streamid=s&passphrase=fromtheurl1", "fromtheurl1"},
        {",\n  \"srt_passphrase\": \"file secret&1\"", "srt://h:1?streamid=s&passphrase=fromtheurl1",
         "file secret&1"},
        {",\n  \"srt_passphrase\": \"quote\\\"d\"", "srt://h:1?streamid=s", "quote\"d"},
    };
    for (const auto &c : cases) {
        const std::string path = write("in.json", "{\n  \"media_url\": \"m\"" + c.member + "\n}\n");
        Argv argv({"--input-file", path, "--watch-pid", "4711", "--srt-url", c.srt_url});
        EngineOptions options;
        std::string error;
        ASSERT_TRUE(parse_arguments(argv.argc(), argv.argv(), options, error)) << c.member << " -> " << error;
        EXPECT_EQ(options.media_url, "m");
        SrtAddress address;
        ASSERT_TRUE(parse_srt_url(address, options.srt_url, error)) << options.srt_url;
        EXPECT_EQ(address.passphrase, c.passphrase) << c.member;
        EXPECT_EQ(address.stream_id, "s*lossless") << c.member;
    }
}

TEST_F(InputFileArguments, FileWithoutUsableAddressesIsDeletedAndRefused)
{
    const std::vector<std::string> texts = {
        "",
        "{\n  \"page_url\": \"p\",\n  \"start_sec\": 3\n}\n",
        "{\n  \"media_url\": \"\"\n}\n",
        "{\n  \"video_url\": \"v\"\n}\n",
    };
    for (const auto &text : texts) {
        std::string path = write("in.json", text);
        Argv argv({"--input-file", path, "--watch-pid", "4711", "--srt-url", SRT,
                   "--media-url", "from-command-line"});
        EngineOptions options;
        std::string error;
        EXPECT_FALSE(parse_arguments(argv.argc(), argv.argv(), options, error)) << text;
        EXPECT_EQ(error, "Specify media_url or both video_url and audio_url") << text;
        EXPECT_FALSE(exists(path)) << text;
    }
}

TEST_F(InputFileArguments, FileIsDeletedEvenWhenTheSrtAddressIsMissing)
{
    std::string path = write("in.json", "{\n  \"media_url\": \"m\"\n}\n");
    Argv argv({"--input-file=" + path, "--watch-pid=12"});
    EngineOptions options;
    std::string error;
    EXPECT_FALSE(parse_arguments(argv.argc(), argv.argv(), options, error));
    EXPECT_EQ(error, "--srt-url is required");
    EXPECT_FALSE(exists(path));
}

TEST_F(InputFileArguments, FileIsLeftAloneWhenTheWatchPidIsMissing)
{
    std::string path = write("in.json", "{\n  \"media_url\": \"m\"\n}\n");
    Argv argv({"--input-file", path, "--srt-url", SRT, "--watch-pid"});
    EngineOptions options;
    std::string error;
    EXPECT_FALSE(parse_arguments(argv.argc(), argv.argv(), options, error));
    EXPECT_EQ(error, "--watch-pid is required with --input-file");
    EXPECT_TRUE(exists(path));
}

} // namespace
