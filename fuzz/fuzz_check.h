#pragma once

// Shared by every fuzz target: a check that stops the run with a message, so that
// libFuzzer keeps the input as a crash and the replay driver fails the test.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#define FUZZ_CHECK(condition, what)                                                     \
    do {                                                                                \
        if (!(condition)) {                                                             \
            std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n  (%s)\n", __FILE__, \
                         __LINE__, what, #condition);                                   \
            std::abort();                                                               \
        }                                                                               \
    } while (0)

namespace fuzz {

// Splits data at every `separator` byte; at most max_pieces pieces (the last keeps the rest).
inline std::vector<std::string> split(const uint8_t *data, size_t size, char separator,
                                      size_t max_pieces)
{
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == separator && pieces.size() < max_pieces)
            pieces.emplace_back();
        else
            pieces.back().push_back(c);
    }
    return pieces;
}

// A private folder for the files a target writes (each input removes its own file);
// the folder itself goes at normal exit.
std::string scratch_dir();

} // namespace fuzz
