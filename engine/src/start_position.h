#pragma once

#include <cstdint>
#include <string>

struct InputSource;

// Seeks both inputs (`second` may be null) to `start_us` before reading starts, and
// logs the outcome; on any failure every input goes back to 0. Nothing for start <= 0.
void apply_start_position(InputSource &first, InputSource *second, int64_t start_us);

// Seeks to the last seek point at or before `time_us` (negative means 0).
bool seek_input(InputSource &input, int64_t time_us, std::string &error);
