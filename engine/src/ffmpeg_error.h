#pragma once

#include <string>

// "<code> (<library text>)", e.g. "-5 (Input/output error)". Callers put their own
// prefix in front ("avformat_open_input: " + ffmpeg_error_text(code)).
std::string ffmpeg_error_text(int code);
