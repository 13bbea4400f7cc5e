#include "input_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct TextCase {
    std::string input;
    std::string expected;
};

TEST(JsonUnescape, DecodesBackslashPairs)
{
    const std::vector<TextCase> cases = {
        {"", ""},
        {"plain", "plain"},
        {"a\\\"b", "a\"b"},
        {"a\\\\", "a\\"},
        {"a\\/b", "a/b"},
        {"\\n\\r\\t", "\n\r\t"},
        {"\\\\n", "\\n"},               // escaped backslash, then a plain n
        {"\\u0041", "u0041"},           // no unicode escapes: the backslash is dropped
        {"\\b\\f", "bf"},
        {"ab\\", "ab\\"},               // a lone trailing backslash stays
        {"\\", "\\"},
        {"\xD0\x9F\\t\xE2\x82\xAC", "\xD0\x9F\t\xE2\x82\xAC"},  // UTF-8 bytes unchanged
    };
    for (const auto &c : cases)
        EXPECT_EQ(json_unescape(c.input), c.expected) << "raw: " << c.input;
}

struct StringValueCase {
    std::string text;
    std::string key;
    std::string expected;
};

TEST(JsonStringValue, FindsTheFirstStringAfterTheKey)
{
    const std::vector<StringValueCase> cases = {
        {"{\n  \"media_url\": \"http://h/a.m3u8\"\n}", "media_url", "http://h/a.m3u8"},
        {"{\"media_url\":\"x\"}", "media_url", "x"},
        {"{\"media_url\": \"a\\\"b\"}", "media_url", "a\"b"},
        {"{\"media_url\": \"a\\\\\"}", "media_url", "a\\"},
        {"{\"media_url\": \"tab\\there\\nnl\"}", "media_url", "tab\there\nnl"},
        {"{\"media_url\": \"\"}", "media_url", ""},
        // A key that merely ends like the wanted one does not match.
        {"{\"xmedia_url\": \"a\", \"media_url\": \"b\"}", "media_url", "b"},
        // The first occurrence counts.
        {"{\"media_url\": \"first\", \"media_url\": \"second\"}", "media_url", "first"},
        // A value that is not a string: the next string of the text is taken, here the
        // following key.
        {"{\n  \"media_url\": null,\n  \"video_url\": \"v\"\n}", "media_url", "video_url"},
        {"{\"media_url\": 5, \"x\": \"next\"}", "media_url", "x"},
        {"{\"media_url\": null}", "media_url", ""},
        {"{\"video_url\": \"v\"}", "media_url", ""},
        {"{\"media_url\" \"v\"}", "media_url", ""},        // no colon after the key
        {"{\"media_url\": \"unterminated", "media_url", ""},
        {"{\"media_url\": \"ends in escape\\\"", "media_url", ""},
        {"", "media_url", ""},
        {"media_url: \"v\"", "media_url", ""},            // key without quotes
        // The key's text inside another value is no key (found by fuzzing the round
        // trip from the front-end's writer): a page link ending in "audio_url.
        {"{\n  \"page_url\": \"https://vk.com/v\\\"audio_url\",\n  \"video_url\": \"V\",\n"
         "  \"audio_url\": \"A\"\n}\n", "audio_url", "A"},
        {"{\n  \"page_url\": \"https://youtu.be/a\\\"media_url\",\n  \"start_sec\": 95,\n"
         "  \"media_url\": \"M\"\n}\n", "media_url", "M"},
        // ... or a value that is exactly the key's name.
        {"{\n  \"page_url\": \"media_url\",\n  \"start_sec\": 95,\n  \"media_url\": \"M\"\n}\n",
         "media_url", "M"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(json_string_value(c.text, c.key), c.expected) << c.text;
}

struct IntValueCase {
    std::string text;
    int32_t expected;
};

TEST(JsonIntValue, ReadsLeadingDigits)
{
    const std::vector<IntValueCase> cases = {
        {"\"start_sec\": 95,", 95},
        {"\"start_sec\":95}", 95},
        {"\"start_sec\": 007", 7},
        {"\"start_sec\":\n  \r 12", 12},          // blanks, LF and CR are skipped
        {"\"start_sec\": 95.7", 95},               // the fraction stops the reading
        {"\"start_sec\": \"95\"", 0},              // a string is not a number
        {"\"start_sec\":\t95", 0},                 // tabs are not skipped
        {"\"start_sec\": -5", 0},
        {"\"start_sec\": +5", 0},
        {"\"start_sec\": null", 0},
        {"\"start_sec\": 0", 0},
        {"\"start_sec\": 2147483647", 2147483647},
        // Beyond 32 bits the value reads as 0 (no seek) instead of wrapping around.
        {"\"start_sec\": 2147483648", 0},
        {"\"start_sec\": 4294967391", 0},          // would wrap to 95
        {"\"start_sec\": 99999999999999999999999", 0},
        {"\"start_sec\"", 0},
        {"\"other\": 5", 0},
        {"", 0},
        {"\"start_sec\": ", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(json_int_value(c.text, "start_sec"), c.expected) << c.text;
}

class ReadInputFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/nuvix_input_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    std::string write(const std::string &text)
    {
        std::string path = dir + "/in.json";
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

TEST_F(ReadInputFile, CopiesTheValuesAndDeletesTheFile)
{
    struct Case {
        std::string text;
        std::string media_url;
        std::string video_url;
        std::string audio_url;
        int64_t start_offset_us;
    };
    const std::vector<Case> cases = {
        // The layout the front-end writes.
        {"{\n  \"page_url\": \"https://www.example.invalid/watch?v=abc\",\n  \"start_sec\": 95,\n"
         "  \"media_url\": \"https://media.invalid/x.m3u8?sig=1\\\\2\"\n}\n",
         "https://media.invalid/x.m3u8?sig=1\\2", "", "", 95000000},
        {"{\n  \"video_url\": \"v\",\n  \"audio_url\": \"a\\\"q\"\n}\n", "", "v", "a\"q", 0},
        {"{\n  \"start_sec\": 2147483647,\n  \"media_url\": \"m\"\n}\n", "m", "", "",
         int64_t(2147483647) * 1000000},
        {"{\n  \"start_sec\": 5000000000,\n  \"media_url\": \"m\"\n}\n", "m", "", "", 0},
        {"{\n  \"start_sec\": \"30\",\n  \"media_url\": \"m\"\n}\n", "m", "", "", 0},
        {"{\n  \"start_sec\": 1.5,\n  \"media_url\": \"m\"\n}\n", "m", "", "", 1000000},
        {"", "", "", "", 0},
        {"not json at all", "", "", "", 0},
        {"{\n  \"media_url\": \"\xE2\x82\xAC\"\n}", "\xE2\x82\xAC", "", "", 0},
    };
    for (const auto &c : cases) {
        EngineOptions options;
        options.input_file = write(c.text);
        options.media_url = "cmd-media";
        options.video_url = "cmd-video";
        options.audio_url = "cmd-audio";
        std::string error;
        ASSERT_TRUE(read_input_file(options, error)) << c.text << " -> " << error;
        EXPECT_EQ(options.media_url, c.media_url) << c.text;
        EXPECT_EQ(options.video_url, c.video_url) << c.text;
        EXPECT_EQ(options.audio_url, c.audio_url) << c.text;
        EXPECT_EQ(options.start_offset_us, c.start_offset_us) << c.text;
        EXPECT_FALSE(exists(options.input_file)) << c.text;
    }
}

TEST_F(ReadInputFile, PassphraseIsReadOnlyFromItsOwnKey)
{
    struct Case {
        std::string text;
        std::string passphrase;
    };
    const std::vector<Case> cases = {
        // The front-end's layout: the passphrase after the address members.
        {"{\n  \"media_url\": \"m\",\n  \"srt_passphrase\": \"s3cret pass\\\\x\"\n}\n", "s3cret pass\\x"},
        {"{\n  \"media_url\": \"m\"\n}\n", ""},
        // A page link that merely mentions the key is no passphrase.
        {"{\n  \"page_url\": \"https://e.invalid/?\\\"srt_passphrase\\\": \\\"x\",\n  \"media_url\": \"m\"\n}\n",
         ""},
    };
    for (const auto &c : cases) {
        EngineOptions options;
        options.input_file = write(c.text);
        options.srt_passphrase = "stale";
        std::string error;
        ASSERT_TRUE(read_input_file(options, error)) << c.text;
        EXPECT_EQ(options.srt_passphrase, c.passphrase) << c.text;
        EXPECT_EQ(options.media_url, "m") << c.text;
    }
}

TEST_F(ReadInputFile, WithoutAFileNameChangesNothing)
{
    EngineOptions options;
    options.media_url = "cmd-media";
    std::string error;
    EXPECT_TRUE(read_input_file(options, error));
    EXPECT_EQ(options.media_url, "cmd-media");
    EXPECT_EQ(error, "");
}

TEST_F(ReadInputFile, UnopenableFileIsReportedAndLeftAlone)
{
    // A missing file, and a directory, which opens for reading on Linux but holds no text.
    std::string sub = dir + "/folder.json";
    ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
    for (const std::string &path : {dir + "/missing.json", sub}) {
        EngineOptions options;
        options.input_file = path;
        options.media_url = "cmd-media";
        std::string error;
        EXPECT_FALSE(read_input_file(options, error)) << path;
        EXPECT_EQ(error, "Cannot open input JSON") << path;
        EXPECT_EQ(options.media_url, "cmd-media") << path;
    }
    EXPECT_TRUE(exists(sub));
}

TEST_F(ReadInputFile, UnreadableFileIsReported)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads files whatever their mode";
    std::string path = write("{\"media_url\": \"m\"}");
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    EngineOptions options;
    options.input_file = path;
    std::string error;
    EXPECT_FALSE(read_input_file(options, error));
    EXPECT_EQ(error, "Cannot open input JSON");
    EXPECT_TRUE(exists(path));
}

} // namespace
