// The SRT address parser on arbitrary text, with the rules a parsed address must keep.

#include "fuzz_check.h"
#include "srt_url.h"

#include <string>

namespace {

bool is_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);

    const std::string decoded = percent_decode(text);
    FUZZ_CHECK(decoded.size() <= text.size(), "decoding grew the text");
    bool plain = true;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+' || (text[i] == '%' && i + 2 < text.size() && is_hex(text[i + 1])
                                && is_hex(text[i + 2])))
            plain = false;
    }
    if (plain)
        FUZZ_CHECK(decoded == text, "text without escapes changed");

    const auto query = parse_query(text);
    for (const auto &item : query)
        FUZZ_CHECK(item.first.size() + item.second.size() <= text.size(), "query item too long");

    SrtAddress address;
    std::string error;
    if (parse_srt_url(address, text, error)) {
        FUZZ_CHECK(text.rfind("srt://", 0) == 0, "accepted without the scheme");
        FUZZ_CHECK(!address.port.empty(), "empty port accepted");
        FUZZ_CHECK(!address.host.empty() || address.listener, "a caller without a host accepted");
        FUZZ_CHECK(address.port.find('?') == std::string::npos, "query inside the port");
        const bool file_caller = !address.live && !address.listener;
        if (file_caller)
            FUZZ_CHECK(address.stream_id.find("*lossless") != std::string::npos, "stream id lacks *lossless");
        FUZZ_CHECK(address.latency_ms >= -1, "negative latency accepted");
        const std::string rest = text.substr(6, text.find('?') == std::string::npos
                                                     ? std::string::npos
                                                     : text.find('?') - 6);
        FUZZ_CHECK(rest == address.host + ":" + address.port, "host:port not taken as written");
        const auto options = srt_socket_options(address);
        FUZZ_CHECK(options.size() >= 4, "a mandatory socket option is missing");
        FUZZ_CHECK(options[0].id == SRTO_TRANSTYPE, "the transfer type is not set first");
        bool has_stream_id = false;
        for (const auto &option : options) {
            if (option.id == SRTO_STREAMID) {
                has_stream_id = true;
                FUZZ_CHECK(option.value == address.stream_id, "stream id option differs");
            }
        }
        FUZZ_CHECK(has_stream_id == (!address.listener && !address.stream_id.empty()), "stream id option misplaced");
        if (file_caller)
            FUZZ_CHECK(has_stream_id, "file-mode caller without a stream id");

        // A passphrase appended for the run comes back exactly and changes nothing else.
        const std::string passphrase = "p&q=r+s%t";
        SrtAddress with;
        FUZZ_CHECK(parse_srt_url(with, srt_url_with_passphrase(text, passphrase), error),
                   "appending a passphrase broke the address");
        FUZZ_CHECK(with.passphrase == passphrase, "appended passphrase did not win");
        FUZZ_CHECK(with.host == address.host && with.port == address.port && with.stream_id == address.stream_id,
                   "appending a passphrase changed the address");
    } else {
        FUZZ_CHECK(error == "SRT URL must start with srt://" || error == "SRT URL must contain host:port"
                       || error == "SRT URL has no streamid" || error == "SRT URL mode must be caller or listener"
                       || error == "SRT URL transtype must be live or file"
                       || error == "SRT URL latency must be a whole number of milliseconds",
                   "unknown refusal text");
    }
    return 0;
}
