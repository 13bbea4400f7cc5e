#pragma once

#include <srt/srt.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The SRT target as given on the command line: srt://HOST:PORT?query.
// HOST and PORT are kept exactly as written (no decoding, brackets kept) and go to
// getaddrinfo as node and service.
struct SrtAddress {
    std::string host;          // empty only for a listener: every address
    std::string port;          // number or service name; a path after the port stays in it
    std::string stream_id;     // file-mode caller: always contains "*lossless"; live: as typed, may be empty
    std::string passphrase;    // empty: no encryption
    int32_t pbkeylen = 0;      // 0 when absent; only used with a passphrase and 16/24/32
    bool live = false;         // transtype=live: SRTT_LIVE instead of SRTT_FILE
    bool listener = false;     // mode=listener: bind and wait for the receiver to call in
    int32_t latency_ms = -1;   // latency=MS; -1: libsrt's default
};

constexpr int32_t SRT_CONNECT_TIMEOUT_MS = 3000;
constexpr int32_t SRT_SEND_TIMEOUT_MS = 2000;

// Splits and checks an srt:// address. On false, error holds one of:
// "SRT URL must start with srt://", "SRT URL must contain host:port",
// "SRT URL mode must be caller or listener", "SRT URL transtype must be live or file",
// "SRT URL latency must be a whole number of milliseconds", "SRT URL has no streamid".
// address is only meaningful after true.
bool parse_srt_url(SrtAddress &address, const std::string &url, std::string &error);

// Splits a query at '&' and each piece at its first '='; both sides percent-decoded.
// A key seen again replaces the earlier value.
std::map<std::string, std::string> parse_query(const std::string &query);

// %XX (two hex digits) becomes that byte, '+' becomes a blank, anything else is copied.
std::string percent_decode(const std::string &text);

// One libsrt socket option with its raw value bytes, ready for
// srt_setsockopt(sock, 0, id, value.data(), int(value.size())).
struct SrtSocketOption {
    SRT_SOCKOPT id;
    const char *name;          // readable name for error messages, e.g. "SRTO_STREAMID"
    std::string value;
};

// The options to set on every new socket before connecting (or, for a listener, before
// binding: the accepted socket inherits them), in the order to set them.
std::vector<SrtSocketOption> srt_socket_options(const SrtAddress &address);

// url with passphrase appended as the last passphrase option of its query, so that it
// overrides one already there. Unchanged when passphrase is empty.
std::string srt_url_with_passphrase(const std::string &url, const std::string &passphrase);
