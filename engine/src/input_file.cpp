#include "input_file.h"

#include <cstdio>

namespace {

// Position just after the colon that follows "key", or npos.
size_t value_start(const std::string &text, const std::string &key)
{
    const std::string quoted = "\"" + key + "\"";
    // Only a key counts (the quoted name, then a colon), never the same text inside or
    // as another member's value: a page link ending in "audio_url must not hand the
    // video address over as audio.
    size_t at = std::string::npos;
    for (size_t i = 0; i < text.size() && at == std::string::npos; ++i) {
        if (text[i] != '"')
            continue;
        if (text.compare(i, quoted.size(), quoted) == 0) {
            size_t next = text.find_first_not_of(" \t\r\n", i + quoted.size());
            if (next != std::string::npos && text[next] == ':') {
                at = i;
                break;
            }
        }
        // Skip this string to its closing quote (an escaped quote does not close it).
        for (++i; i < text.size() && text[i] != '"'; ++i) {
            if (text[i] == '\\')
                ++i;
        }
    }
    if (at == std::string::npos)
        return std::string::npos;
    size_t colon = text.find(':', at + quoted.size());
    if (colon == std::string::npos)
        return std::string::npos;
    return colon + 1;
}

bool read_whole_file(const std::string &path, std::string &text)
{
    // Binary mode: the file's bytes exactly, on every system.
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    // A directory opens for reading on some systems but holds no text: its read fails,
    // and it counts like a missing file.
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

} // namespace

std::string json_unescape(const std::string &raw)
{
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c != '\\' || i + 1 == raw.size()) {
            out.push_back(c);
            continue;
        }
        char next = raw[++i];
        switch (next) {
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        default: out.push_back(next); break;
        }
    }
    return out;
}

std::string json_string_value(const std::string &text, const std::string &key)
{
    size_t pos = value_start(text, key);
    if (pos == std::string::npos)
        return std::string();
    size_t open = text.find('"', pos);
    if (open == std::string::npos)
        return std::string();
    for (size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
            continue;
        }
        if (text[i] == '"')
            return json_unescape(text.substr(open + 1, i - open - 1));
    }
    return std::string();
}

int32_t json_int_value(const std::string &text, const std::string &key)
{
    size_t pos = value_start(text, key);
    if (pos == std::string::npos)
        return 0;
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\n' || text[pos] == '\r'))
        ++pos;
    int64_t value = 0;
    bool any_digit = false;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        value = value * 10 + (text[pos] - '0');
        any_digit = true;
        // Beyond 32 bits the number cannot be a start position we can trust: no seek.
        if (value > INT32_MAX)
            return 0;
    }
    return any_digit ? static_cast<int32_t>(value) : 0;
}

bool read_input_file(EngineOptions &options, std::string &error)
{
    if (options.input_file.empty())
        return true;
    std::string text;
    if (!read_whole_file(options.input_file, text)) {
        error = "Cannot open input JSON";
        return false;
    }
    options.media_url = json_string_value(text, "media_url");
    options.video_url = json_string_value(text, "video_url");
    options.audio_url = json_string_value(text, "audio_url");
    options.srt_passphrase = json_string_value(text, "srt_passphrase");
    int32_t start_sec = json_int_value(text, "start_sec");
    if (start_sec > 0)
        options.start_offset_us = static_cast<int64_t>(start_sec) * 1000000;
    // The addresses are in memory now; a file that cannot be removed is no reason to stop.
    std::remove(options.input_file.c_str());
    return true;
}
