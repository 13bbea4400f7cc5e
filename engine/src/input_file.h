#pragma once

#include "engine_options.h"

#include <cstdint>
#include <string>

// Reads the ingest input file named by options.input_file (nothing to do when empty):
// media_url, video_url and audio_url replace the options of the same name (a missing key
// empties them), start_sec > 0 sets start_offset_us, srt_passphrase fills srt_passphrase.
// The file is deleted after reading.
// The only failure is "Cannot open input JSON"; the file is then left alone.
bool read_input_file(EngineOptions &options, std::string &error);

// The string value behind "key": the first string after the key's colon, unescaped.
// Empty when the key, the colon or a closed string is missing.
std::string json_string_value(const std::string &text, const std::string &key);

// The decimal digits right after "key": (blanks, LF and CR skipped). 0 when the key or
// the digits are missing, and when the digits do not fit 32 bits.
int32_t json_int_value(const std::string &text, const std::string &key);

// Backslash pairs become one character (\n, \r, \t decoded; any other escaped character
// stands for itself); a trailing lone backslash stays.
std::string json_unescape(const std::string &raw);
