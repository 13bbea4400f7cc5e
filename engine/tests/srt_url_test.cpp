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
        {"srt://h:1?latency=200&mode=caller&streamid=s&payloadsize=1456", "h", "1", "s*lossless", "", 0},
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
        // The new query keys check their values; a listener still needs a port.
        {"srt://h:9001?streamid=a&mode=rendezvous", "SRT URL mode must be caller or listener"},
        {"srt://h:9001?streamid=a&mode=", "SRT URL mode must be caller or listener"},
        {"srt://h:9001?streamid=a&mode=Listener", "SRT URL mode must be caller or listener"},
        {"srt://h:9001?streamid=a&transtype=Live", "SRT URL transtype must be live or file"},
        {"srt://h:9001?streamid=a&transtype=", "SRT URL transtype must be live or file"},
        {"srt://h:9001?streamid=a&latency=-1", "SRT URL latency must be a whole number of milliseconds"},
        {"srt://h:9001?streamid=a&latency=12ms", "SRT URL latency must be a whole number of milliseconds"},
        {"srt://h:9001?streamid=a&latency=", "SRT URL latency must be a whole number of milliseconds"},
        {"srt://h:9001?streamid=a&latency=2147483648",
         "SRT URL latency must be a whole number of milliseconds"},
        {"srt://:?mode=listener", host_port},
        {"srt://?mode=listener", host_port},
        {"srt://:9001?streamid=a&mode=caller", host_port},
        {"srt://:9001?transtype=live", host_port},
        // Live mode does not excuse a caller from its host.
        {"srt://h:9001?transtype=file", no_stream},
        {"srt://h:9001?streamid=&mode=caller", no_stream},
    };
    for (const auto &c : cases) {
        SrtAddress address;
        std::string error;
        EXPECT_FALSE(parse_srt_url(address, c.url, error)) << c.url;
        EXPECT_EQ(error, c.error) << c.url;
    }
}

struct ModeCase {
    std::string url;
    std::string host;
    std::string port;
    std::string stream_id;
    bool live;
    bool listener;
    int32_t latency_ms;
};

TEST(ParseSrtUrl, TransferModeConnectionModeAndLatency)
{
    const std::vector<ModeCase> cases = {
        // The default stays the file-mode caller with the marked stream id.
        {"srt://h:1?streamid=s", "h", "1", "s*lossless", false, false, -1},
        {"srt://h:1?streamid=s&transtype=file&mode=caller", "h", "1", "s*lossless", false, false, -1},
        // Live: the stream id goes out exactly as typed, or not at all.
        {"srt://h:1?streamid=publish:cam1&transtype=live", "h", "1", "publish:cam1", true, false, -1},
        {"srt://h:1?streamid=%23!::r=live/cam,m=publish&transtype=live", "h", "1", "#!::r=live/cam,m=publish",
         true, false, -1},
        {"srt://h:1?transtype=live", "h", "1", "", true, false, -1},
        {"srt://h:1?transtype=live&latency=250", "h", "1", "", true, false, 250},
        {"srt://h:1?streamid=s&latency=0", "h", "1", "s*lossless", false, false, 0},
        {"srt://h:1?latency=200&mode=listener&streamid=s", "h", "1", "s", false, true, 200},
        // A listener needs no stream id (the receiver brings its own) and no host.
        {"srt://:9001?mode=listener", "", "9001", "", false, true, -1},
        {"srt://0.0.0.0:9001?mode=listener&transtype=live", "0.0.0.0", "9001", "", true, true, -1},
        {"srt://127.0.0.1:0?mode=listener&transtype=file", "127.0.0.1", "0", "", false, true, -1},
        // The last occurrence wins here too.
        {"srt://h:1?streamid=s&mode=listener&mode=caller", "h", "1", "s*lossless", false, false, -1},
    };
    for (const auto &c : cases) {
        SrtAddress address;
        std::string error;
        ASSERT_TRUE(parse_srt_url(address, c.url, error)) << c.url << " -> " << error;
        EXPECT_EQ(address.host, c.host) << c.url;
        EXPECT_EQ(address.port, c.port) << c.url;
        EXPECT_EQ(address.stream_id, c.stream_id) << c.url;
        EXPECT_EQ(address.live, c.live) << c.url;
        EXPECT_EQ(address.listener, c.listener) << c.url;
        EXPECT_EQ(address.latency_ms, c.latency_ms) << c.url;
    }
}

TEST(SrtUrlWithPassphrase, AppendsAnEncodedPassphraseThatWins)
{
    struct Case {
        std::string url;
        std::string passphrase;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"srt://h:1?streamid=s", "", "srt://h:1?streamid=s"},
        {"srt://h:1?streamid=s", "secret1234", "srt://h:1?streamid=s&passphrase=secret1234"},
        {"srt://h:1", "secret1234", "srt://h:1?passphrase=secret1234"},
        {"srt://h:1?", "secret1234", "srt://h:1?passphrase=secret1234"},
        {"srt://h:1?streamid=s&", "secret1234", "srt://h:1?streamid=s&passphrase=secret1234"},
        // Only the first question mark opens the query; a later one is part of a value.
        {"srt://h:1?streamid=a?", "secret1234", "srt://h:1?streamid=a?&passphrase=secret1234"},
        {"srt://h:1?streamid=s", "a&b=c+d %e", "srt://h:1?streamid=s&passphrase=a%26b%3Dc%2Bd%20%25e"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(srt_url_with_passphrase(c.url, c.passphrase), c.expected) << c.passphrase;

    // Whatever it holds, the passphrase comes back out of the address byte for byte,
    // in place of the one the address had.
    const std::string tricky = "p&passphrase=x+y%41\"\xC3\xA9";
    SrtAddress address;
    std::string error;
    ASSERT_TRUE(parse_srt_url(address, srt_url_with_passphrase("srt://h:1?passphrase=old1234567&streamid=s", tricky),
                              error)) << error;
    EXPECT_EQ(address.passphrase, tricky);
    EXPECT_EQ(address.stream_id, "s*lossless");
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

TEST(SrtSocketOptions, ModesChangeTransferTypeLatencyAndStreamId)
{
    struct Case {
        std::string url;
        std::vector<SRT_SOCKOPT> ids;
        int32_t transtype;
    };
    const std::vector<Case> cases = {
        {"srt://h:1?streamid=s&transtype=live",
         {SRTO_TRANSTYPE, SRTO_CONNTIMEO, SRTO_SNDTIMEO, SRTO_LINGER, SRTO_STREAMID}, SRTT_LIVE},
        // No stream id in live mode: none is set, so the receiver sees none.
        {"srt://h:1?transtype=live&latency=300",
         {SRTO_TRANSTYPE, SRTO_LATENCY, SRTO_CONNTIMEO, SRTO_SNDTIMEO, SRTO_LINGER}, SRTT_LIVE},
        {"srt://h:1?streamid=s&latency=300",
         {SRTO_TRANSTYPE, SRTO_LATENCY, SRTO_CONNTIMEO, SRTO_SNDTIMEO, SRTO_LINGER, SRTO_STREAMID}, SRTT_FILE},
        // A listener leaves the stream id to whoever calls in, even when one is given.
        {"srt://:1?mode=listener&streamid=s&passphrase=0123456789&pbkeylen=16",
         {SRTO_TRANSTYPE, SRTO_CONNTIMEO, SRTO_SNDTIMEO, SRTO_LINGER, SRTO_PASSPHRASE, SRTO_PBKEYLEN}, SRTT_FILE},
        {"srt://:1?mode=listener&transtype=live&passphrase=0123456789",
         {SRTO_TRANSTYPE, SRTO_CONNTIMEO, SRTO_SNDTIMEO, SRTO_LINGER, SRTO_PASSPHRASE}, SRTT_LIVE},
    };
    for (const auto &c : cases) {
        SrtAddress address;
        std::string error;
        ASSERT_TRUE(parse_srt_url(address, c.url, error)) << c.url << " -> " << error;
        const std::vector<SrtSocketOption> options = srt_socket_options(address);
        ASSERT_EQ(ids(options), c.ids) << c.url;
        EXPECT_EQ(as_int(options[0].value), c.transtype) << c.url;
        if (address.latency_ms >= 0) {
            EXPECT_EQ(as_int(options[1].value), address.latency_ms) << c.url;
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

TEST_F(SrtLibrary, LiveModeKeepsItsDefaultsAndTheLatencyGiven)
{
    SrtAddress address;
    std::string error;
    ASSERT_TRUE(parse_srt_url(address, "srt://127.0.0.1:9?streamid=publish:cam1&transtype=live&latency=250", error))
        << error;
    SRTSOCKET sock = srt_create_socket();
    ASSERT_NE(sock, SRT_INVALID_SOCK);
    for (const auto &option : srt_socket_options(address)) {
        EXPECT_EQ(srt_setsockopt(sock, 0, option.id, option.value.data(), static_cast<int>(option.value.size())), 0)
            << option.name << ": " << srt_getlasterror_str();
    }
    struct Expected {
        SRT_SOCKOPT id;
        int32_t value;
    };
    // The latency goes both ways; the live defaults (message API, timestamp-based
    // delivery, 1316-byte payloads) stay as libsrt sets them.
    for (const Expected &e : {Expected{SRTO_RCVLATENCY, 250}, Expected{SRTO_PEERLATENCY, 250},
                              Expected{SRTO_PAYLOADSIZE, 1316}}) {
        int32_t value = 0;
        int length = sizeof value;
        ASSERT_EQ(srt_getsockopt(sock, 0, e.id, &value, &length), 0);
        EXPECT_EQ(value, e.value) << e.id;
    }
    for (SRT_SOCKOPT flag : {SRTO_MESSAGEAPI, SRTO_TSBPDMODE}) {
        bool value = false;
        int length = sizeof value;
        ASSERT_EQ(srt_getsockopt(sock, 0, flag, &value, &length), 0);
        EXPECT_TRUE(value) << flag;
    }
    char stream_id[600] = {};
    int length = sizeof stream_id;
    ASSERT_EQ(srt_getsockopt(sock, 0, SRTO_STREAMID, stream_id, &length), 0);
    EXPECT_EQ(std::string(stream_id, static_cast<size_t>(length)), "publish:cam1");
    srt_close(sock);
}

} // namespace
