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
        FUZZ_CHECK(!address.host.empty() && !address.port.empty(), "empty host or port accepted");
        FUZZ_CHECK(address.port.find('?') == std::string::npos, "query inside the port");
        FUZZ_CHECK(address.stream_id.find("*lossless") != std::string::npos, "stream id lacks *lossless");
        const std::string rest = text.substr(6, text.find('?') == std::string::npos
                                                     ? std::string::npos
                                                     : text.find('?') - 6);
        FUZZ_CHECK(rest == address.host + ":" + address.port, "host:port not taken as written");
        const auto options = srt_socket_options(address);
        FUZZ_CHECK(options.size() >= 5, "a mandatory socket option is missing");
        FUZZ_CHECK(options[4].value == address.stream_id, "stream id option differs");
    } else {
        FUZZ_CHECK(error == "SRT URL must start with srt://" || error == "SRT URL must contain host:port"
                       || error == "SRT URL has no streamid",
                   "unknown refusal text");
    }
    return 0;
}
