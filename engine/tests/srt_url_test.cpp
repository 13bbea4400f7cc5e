#include "srt_url.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct AddressCase {
    std::string url;
    std::string host;
    std::string port;
    std::string stream_id;
    std::string passphrase;
    int32_t pbkeylen;
};

TEST(ParseSrtUrl, SplitsHostPortAndOptions)
{
    const std::vector<AddressCase> cases = {
        {"srt://127.0.0.1:9001?streamid=live", "127.0.0.1", "9001", "live*lossless", "", 0},
        {"srt://h:9001?streamid=a*losslessb", "h", "9001", "a*losslessb", "", 0},
        {"srt://h:9001?streamid=live*lossless", "h", "9001", "live*lossless", "", 0},
        {"srt://h:9001?streamid=a*Lossless", "h", "9001", "a*Lossless*lossless", "", 0},
        {"srt://h:9001?streamid=a&streamid=b", "h", "9001", "b*lossless", "", 0},
        {"srt://h:9001?streamid=a%2Ab+c", "h", "9001", "a*b c*lossless", "", 0},
        {"srt://h:9001?streamid=%zz%", "h", "9001", "%zz%*lossless", "", 0},
        // The marker may arrive percent-encoded.
        {"srt://h:9001?streamid=x%2Alossless", "h", "9001", "x*lossless", "", 0},
        {"srt://h:9001/live?streamid=a", "h", "9001/live", "a*lossless", "", 0},
        {"srt://[::1]:9001?streamid=a", "[::1]", "9001", "a*lossless", "", 0},
        {"srt://::1:9001?streamid=a", "::1", "9001", "a*lossless", "", 0},
        {"srt://user@h:9001?streamid=a", "user@h", "9001", "a*lossless", "", 0},
        {"srt://h%41:90%31?streamid=a", "h%41", "90%31", "a*lossless", "", 0},
        {"srt://h:srt-port?streamid=a", "h", "srt-port", "a*lossless", "", 0},
        // A question mark later in the query belongs to the query.
        {"srt://h:1?streamid=a?b", "h", "1", "a?b*lossless", "", 0},
        {"srt://h:1?latency=200&mode=listener&streamid=s", "h", "1", "s*lossless", "", 0},
        {"srt://h:1?streamid=s&passphrase=0123456789&pbkeylen=24", "h", "1", "s*lossless",
         "0123456789", 24},
        {"srt://h:1?streamid=s&passphrase=a%26b%3Dc", "h", "1", "s*lossless", "a&b=c", 0},
        {"srt://h:1?streamid=s&pbkeylen=16x", "h", "1", "s*lossless", "", 16},
        {"srt://h:1?streamid=s&pbkeylen=x16", "h", "1", "s*lossless", "", 0},
        // atoi-like, but a number beyond 32 bits reads as 0 instead of undefined behaviour.
        {"srt://h:1?streamid=s&pbkeylen=4294967312", "h", "1", "s*lossless", "", 0},
        {"srt://h:1?streamid=s&pbkeylen=-24", "h", "1", "s*lossless", "", -24},
    };
    for (const auto &c : cases) {
        SrtAddress address;
        std::string error;
        ASSERT_TRUE(parse_srt_url(address, c.url, error)) << c.url << " -> " << error;
        EXPECT_EQ(address.host, c.host) << c.url;
        EXPECT_EQ(address.port, c.port) << c.url;
        EXPECT_EQ(address.stream_id, c.stream_id) << c.url;
        EXPECT_EQ(address.passphrase, c.passphrase) << c.url;
        EXPECT_EQ(address.pbkeylen, c.pbkeylen) << c.url;
    }
}

struct ErrorCase {
    std::string url;
    std::string error;
};

TEST(ParseSrtUrl, RefusesWithTheFirstFailingCheck)
{
    const std::string scheme = "SRT URL must start with srt://";
    const std::string host_port = "SRT URL must contain host:port";
    const std::string no_stream = "SRT URL has no streamid";
    const std::vector<ErrorCase> cases = {
        {"SRT://h:1?streamid=a", scheme},
        {"srt:/h:1?streamid=a", scheme},
        {"udp://h:1?streamid=a", scheme},
        {" srt://h:1?streamid=a", scheme},
        {"", scheme},
        {"srt:/", scheme},
        {"srt://", host_port},
        {"srt://h?streamid=a", host_port},
        {"srt://:9001?streamid=a", host_port},
        {"srt://h:?streamid=a", host_port},
        {"srt://?streamid=a:1", host_port},   // the colon is in the query
        {"SRT://h", scheme},                  // scheme first, though everything is wrong
        {"srt://h", host_port},
        {"srt://h:9001", no_stream},
        {"srt://h:9001?", no_stream},
        {"srt://h:9001?streamid=", no_stream},
        {"srt://h:9001?streamid", no_stream},
        {"srt://h:9001?streamid=a&streamid=", no_stream},   // the last one wins
        {"srt://h:9001?StreamId=a", no_stream},
        {"srt://h:9001?stream%69d=", no_stream},
    };
    for (const auto &c : cases) {
        SrtAddress address;
        std::string error;
        EXPECT_FALSE(parse_srt_url(address, c.url, error)) << c.url;
        EXPECT_EQ(error, c.error) << c.url;
    }
}

TEST(ParseSrtUrl, DecodedKeysAreRecognised)
{
    SrtAddress address;
    std::string error;
    ASSERT_TRUE(parse_srt_url(address, "srt://h:1?stream%69d=x", error)) << error;
    EXPECT_EQ(address.stream_id, "x*lossless");
}

TEST(PercentDecode, DecodesEscapesAndPlus)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"abc", "abc"},
        {"a%2Ab", "a*b"},
        {"%2a%2A", "**"},
        {"%41%6a%4A", "AjJ"},
        {"a+b", "a b"},
        {"%2B", "+"},           // a decoded plus stays a plus
        {"%2B+", "+ "},
        {"%zz", "%zz"},
        {"%", "%"},
        {"a%", "a%"},
        {"%4", "%4"},           // fewer than two bytes follow
        {"%4g", "%4g"},
        {"%%41", "%A"},         // the first percent is copied, the rest read normally
        {"%00x", std::string("\0x", 2)},
        {"%FF", "\xFF"},
        {"%e2%82%ac", "\xE2\x82\xAC"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(percent_decode(c.first), c.second) << c.first;
}

TEST(ParseQuery, SplitsPiecesAndKeepsTheLastValue)
{
    using Map = std::map<std::string, std::string>;
    const std::vector<std::pair<std::string, Map>> cases = {
        {"", Map{}},
        {"a=1", Map{{"a", "1"}}},
        {"a=1&b=2", Map{{"a", "1"}, {"b", "2"}}},
        {"a=1&a=2", Map{{"a", "2"}}},
        {"a=1&", Map{{"a", "1"}}},                    // a trailing ampersand adds nothing
        {"a=1&&b=2", Map{{"", ""}, {"a", "1"}, {"b", "2"}}},   // an empty piece
        {"&", Map{{"", ""}}},
        {"flag", Map{{"flag", ""}}},
        {"a==b", Map{{"a", "=b"}}},
        {"=v", Map{{"", "v"}}},
        {"k%3D=v%26w", Map{{"k=", "v&w"}}},
        {"a+b=c+d", Map{{"a b", "c d"}}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse_query(c.first), c.second) << c.first;
}

int32_t as_int(const std::string &bytes)
{
    int32_t value = 0;
    EXPECT_EQ(bytes.size(), sizeof value);
    if (bytes.size() == sizeof value)
        std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

std::vector<SRT_SOCKOPT> ids(const std::vector<SrtSocketOption> &options)
{
    std::vector<SRT_SOCKOPT> result;
    for (const auto &o : options)
        result.push_back(o.id);
    return result;
}

TEST(SrtSocketOptions, FixedOptionsComeFirstInOrder)
{
    SrtAddress address;
    address.stream_id = "live*lossless";
    std::vector<SrtSocketOption> options = srt_socket_options(address);
    ASSERT_EQ(ids(options), (std::vector<SRT_SOCKOPT>{SRTO_TRANSTYPE, SRTO_CONNTIMEO,
                                                       SRTO_SNDTIMEO, SRTO_LINGER,
                                                       SRTO_STREAMID}));
    EXPECT_EQ(as_int(options[0].value), SRTT_FILE);
    EXPECT_EQ(as_int(options[1].value), 3000);
    EXPECT_EQ(as_int(options[2].value), 2000);
    linger expected_linger {};
    ASSERT_EQ(options[3].value.size(), sizeof expected_linger);
    std::memcpy(&expected_linger, options[3].value.data(), sizeof expected_linger);
    EXPECT_EQ(expected_linger.l_onoff, 1);
    EXPECT_EQ(expected_linger.l_linger, 0);
    EXPECT_EQ(options[4].value, "live*lossless");
    EXPECT_STREQ(options[4].name, "SRTO_STREAMID");
}

TEST(SrtSocketOptions, EncryptionOptionsFollowThePassphrase)
{
    struct Case {
        std::string passphrase;
        int32_t pbkeylen;
        bool sets_passphrase;
        bool sets_key_length;
    };
    const std::vector<Case> cases = {
        {"", 0, false, false},
        {"", 24, false, false},               // a key length alone does nothing
        {"0123456789", 0, true, false},
        {"0123456789", 16, true, true},
        {"0123456789", 24, true, true},
        {"0123456789", 32, true, true},
        {"0123456789", 20, true, false},
        {"0123456789", -16, true, false},
    };
    for (const auto &c : cases) {
        SrtAddress address;
        address.stream_id = "s*lossless";
        address.passphrase = c.passphrase;
        address.pbkeylen = c.pbkeylen;
        std::vector<SrtSocketOption> options = srt_socket_options(address);
        std::vector<SRT_SOCKOPT> expected = {SRTO_TRANSTYPE, SRTO_CONNTIMEO, SRTO_SNDTIMEO,
                                             SRTO_LINGER, SRTO_STREAMID};
        if (c.sets_passphrase)
            expected.push_back(SRTO_PASSPHRASE);
        if (c.sets_key_length)
            expected.push_back(SRTO_PBKEYLEN);
        ASSERT_EQ(ids(options), expected) << "'" << c.passphrase << "' " << c.pbkeylen;
        if (c.sets_passphrase) {
            EXPECT_EQ(options[5].value, c.passphrase);
        }
        if (c.sets_key_length) {
            EXPECT_EQ(as_int(options[6].value), c.pbkeylen);
        }
    }
}

// libsrt itself must take every option as we encode it (sizes, linger layout).
class SrtLibrary : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(srt_startup(), 0); }
    void TearDown() override { srt_cleanup(); }
};

TEST_F(SrtLibrary, AcceptsEveryOptionOnANewSocket)
{
    SrtAddress address;
    std::string error;
    ASSERT_TRUE(parse_srt_url(address, "srt://127.0.0.1:9?streamid=cam%201&passphrase=secret1234&pbkeylen=32",
                              error)) << error;
    SRTSOCKET sock = srt_create_socket();
    ASSERT_NE(sock, SRT_INVALID_SOCK);
    for (const auto &option : srt_socket_options(address)) {
        EXPECT_EQ(srt_setsockopt(sock, 0, option.id, option.value.data(),
                                 static_cast<int>(option.value.size())), 0)
            << option.name << ": " << srt_getlasterror_str();
    }
    char stream_id[600] = {};
    int length = sizeof stream_id;
    ASSERT_EQ(srt_getsockopt(sock, 0, SRTO_STREAMID, stream_id, &length), 0);
    EXPECT_EQ(std::string(stream_id, static_cast<size_t>(length)), "cam 1*lossless");
    int32_t key_length = 0;
    length = sizeof key_length;
    ASSERT_EQ(srt_getsockopt(sock, 0, SRTO_PBKEYLEN, &key_length, &length), 0);
    EXPECT_EQ(key_length, 32);
    linger value {};
    length = sizeof value;
    ASSERT_EQ(srt_getsockopt(sock, 0, SRTO_LINGER, &value, &length), 0);
    EXPECT_EQ(value.l_onoff, 1);
    EXPECT_EQ(value.l_linger, 0);
    srt_close(sock);
}

} // namespace
