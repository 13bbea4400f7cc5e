#include "srt_url.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const char SRT_SCHEME[] = "srt://";
const char LOSSLESS_MARK[] = "*lossless";

int hex_digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// atoi without its undefined behaviour: a value beyond 32 bits reads as 0.
int32_t leading_int(const std::string &text)
{
    errno = 0;
    char *end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        return 0;
    return static_cast<int32_t>(value);
}

std::string int_bytes(int32_t value)
{
    std::string bytes(sizeof value, '\0');
    std::memcpy(&bytes[0], &value, sizeof value);
    return bytes;
}

std::string linger_bytes()
{
    // Closing drops unsent data at once: the sender decides itself when the stream is done.
    // The system's own linger structure (srt.h brings the socket headers): on Windows its
    // two fields are 16 bits wide, so the 4 bytes read as the integer 1.
    linger value {};
    value.l_onoff = 1;
    value.l_linger = 0;
    std::string bytes(sizeof value, '\0');
    std::memcpy(&bytes[0], &value, sizeof value);
    return bytes;
}

} // namespace

std::string percent_decode(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%' && i + 2 < text.size()) {
            int high = hex_digit_value(text[i + 1]);
            int low = hex_digit_value(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(c == '+' ? ' ' : c);
    }
    return out;
}

std::map<std::string, std::string> parse_query(const std::string &query)
{
    std::map<std::string, std::string> options;
    size_t pos = 0;
    while (pos < query.size()) {
        size_t amp = query.find('&', pos);
        size_t end = amp == std::string::npos ? query.size() : amp;
        std::string piece = query.substr(pos, end - pos);
        size_t eq = piece.find('=');
        if (eq == std::string::npos)
            options[percent_decode(piece)] = std::string();
        else
            options[percent_decode(piece.substr(0, eq))] = percent_decode(piece.substr(eq + 1));
        pos = amp == std::string::npos ? query.size() : amp + 1;
    }
    return options;
}

bool parse_srt_url(SrtAddress &address, const std::string &url, std::string &error)
{
    const size_t scheme_len = sizeof SRT_SCHEME - 1;
    if (url.compare(0, scheme_len, SRT_SCHEME) != 0) {
        error = "SRT URL must start with srt://";
        return false;
    }
    std::string rest = url.substr(scheme_len);
    size_t question = rest.find('?');
    std::string host_port = rest.substr(0, question);
    std::string query = question == std::string::npos ? std::string() : rest.substr(question + 1);

    size_t colon = host_port.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == host_port.size()) {
        error = "SRT URL must contain host:port";
        return false;
    }

    std::map<std::string, std::string> options = parse_query(query);
    auto stream_id = options.find("streamid");
    if (stream_id == options.end() || stream_id->second.empty()) {
        error = "SRT URL has no streamid";
        return false;
    }

    SrtAddress parsed;
    parsed.host = host_port.substr(0, colon);
    parsed.port = host_port.substr(colon + 1);
    parsed.stream_id = stream_id->second;
    // The receiver picks its lossless handling from this marker in the stream id.
    if (parsed.stream_id.find(LOSSLESS_MARK) == std::string::npos)
        parsed.stream_id += LOSSLESS_MARK;
    auto passphrase = options.find("passphrase");
    if (passphrase != options.end())
        parsed.passphrase = passphrase->second;
    auto pbkeylen = options.find("pbkeylen");
    if (pbkeylen != options.end())
        parsed.pbkeylen = leading_int(pbkeylen->second);
    address = parsed;
    return true;
}

std::vector<SrtSocketOption> srt_socket_options(const SrtAddress &address)
{
    std::vector<SrtSocketOption> options;
    options.push_back({SRTO_TRANSTYPE, "SRTO_TRANSTYPE", int_bytes(SRTT_FILE)});
    options.push_back({SRTO_CONNTIMEO, "SRTO_CONNTIMEO", int_bytes(SRT_CONNECT_TIMEOUT_MS)});
    options.push_back({SRTO_SNDTIMEO, "SRTO_SNDTIMEO", int_bytes(SRT_SEND_TIMEOUT_MS)});
    options.push_back({SRTO_LINGER, "SRTO_LINGER", linger_bytes()});
    options.push_back({SRTO_STREAMID, "SRTO_STREAMID", address.stream_id});
    if (!address.passphrase.empty()) {
        options.push_back({SRTO_PASSPHRASE, "SRTO_PASSPHRASE", address.passphrase});
        if (address.pbkeylen == 16 || address.pbkeylen == 24 || address.pbkeylen == 32)
            options.push_back({SRTO_PBKEYLEN, "SRTO_PBKEYLEN", int_bytes(address.pbkeylen)});
    }
    return options;
}
