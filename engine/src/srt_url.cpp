#include "srt_url.h"

#include <cctype>
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

// Digits only, within 32 bits.
bool whole_number(const std::string &text, int32_t &out)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long long value = std::stoll(text);
    if (value > INT32_MAX)
        return false;
    out = static_cast<int32_t>(value);
    return true;
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
    std::map<std::string, std::string> options = parse_query(query);

    size_t colon = host_port.rfind(':');
    if (colon == std::string::npos || colon + 1 == host_port.size()) {
        error = "SRT URL must contain host:port";
        return false;
    }
    SrtAddress parsed;
    auto mode = options.find("mode");
    if (mode != options.end() && mode->second != "caller") {
        if (mode->second != "listener") {
            error = "SRT URL mode must be caller or listener";
            return false;
        }
        parsed.listener = true;
    }
    // A listener with no host binds every address; a caller needs somewhere to call.
    if (colon == 0 && !parsed.listener) {
        error = "SRT URL must contain host:port";
        return false;
    }
    auto transtype = options.find("transtype");
    if (transtype != options.end() && transtype->second != "file") {
        if (transtype->second != "live") {
            error = "SRT URL transtype must be live or file";
            return false;
        }
        parsed.live = true;
    }
    auto latency = options.find("latency");
    if (latency != options.end() && !whole_number(latency->second, parsed.latency_ms)) {
        error = "SRT URL latency must be a whole number of milliseconds";
        return false;
    }

    auto stream_id = options.find("streamid");
    if (stream_id != options.end())
        parsed.stream_id = stream_id->second;
    // A live receiver (a media server) matches the id exactly as typed, and a listener
    // gets the id from whoever calls in; only the file-mode caller needs one and marks it.
    if (!parsed.live && !parsed.listener) {
        if (parsed.stream_id.empty()) {
            error = "SRT URL has no streamid";
            return false;
        }
        // The receiver picks its lossless handling from this marker in the stream id.
        if (parsed.stream_id.find(LOSSLESS_MARK) == std::string::npos)
            parsed.stream_id += LOSSLESS_MARK;
    }
    parsed.host = host_port.substr(0, colon);
    parsed.port = host_port.substr(colon + 1);
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
    // The transfer type resets the latency among others, so it goes first.
    options.push_back({SRTO_TRANSTYPE, "SRTO_TRANSTYPE", int_bytes(address.live ? SRTT_LIVE : SRTT_FILE)});
    if (address.latency_ms >= 0)
        options.push_back({SRTO_LATENCY, "SRTO_LATENCY", int_bytes(address.latency_ms)});
    options.push_back({SRTO_CONNTIMEO, "SRTO_CONNTIMEO", int_bytes(SRT_CONNECT_TIMEOUT_MS)});
    options.push_back({SRTO_SNDTIMEO, "SRTO_SNDTIMEO", int_bytes(SRT_SEND_TIMEOUT_MS)});
    options.push_back({SRTO_LINGER, "SRTO_LINGER", linger_bytes()});
    if (!address.listener && !address.stream_id.empty())
        options.push_back({SRTO_STREAMID, "SRTO_STREAMID", address.stream_id});
    if (!address.passphrase.empty()) {
        options.push_back({SRTO_PASSPHRASE, "SRTO_PASSPHRASE", address.passphrase});
        if (address.pbkeylen == 16 || address.pbkeylen == 24 || address.pbkeylen == 32)
            options.push_back({SRTO_PBKEYLEN, "SRTO_PBKEYLEN", int_bytes(address.pbkeylen)});
    }
    return options;
}

std::string srt_url_with_passphrase(const std::string &url, const std::string &passphrase)
{
    if (passphrase.empty())
        return url;
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : passphrase) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            encoded.push_back(static_cast<char>(c));
        } else {
            encoded.push_back('%');
            encoded.push_back(hex[c >> 4]);
            encoded.push_back(hex[c & 15]);
        }
    }
    const size_t query = url.find('?');
    const char *separator = "&";
    if (query == std::string::npos)
        separator = "?";
    else if (query + 1 == url.size() || url.back() == '&')
        separator = "";
    return url + separator + "passphrase=" + encoded;
}
