// Runs fuzz targets without libFuzzer: every file of the given corpus folders once,
// then, for a bounded time, inputs mutated from them with a fixed seed, so a run is
// repeatable. Used for the short fuzz run inside the normal test suite.
//
//   <target>_replay [-seconds=S] [-seed=N] PATH...
//
// PATH is a corpus folder or a single file. Exit code 0 when every input passed; a
// failing check aborts and prints the input's origin first.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

// What is being run, for the report when a check aborts.
std::string current_origin;
const std::string *current_data = nullptr;

void write_all(const char *text, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(2, text, size);
        if (n <= 0)
            return;
        text += n;
        size -= static_cast<size_t>(n);
    }
}

// Only write(2) in here: the process is aborting.
void on_abort(int)
{
    if (current_origin.empty())
        return;
    write_all("replay: failing input: ", 23);
    write_all(current_origin.data(), current_origin.size());
    if (current_data) {
        write_all("\nreplay: its bytes in hex: ", 28);
        static const char digits[] = "0123456789abcdef";
        for (unsigned char c : *current_data) {
            const char pair[2] = {digits[c >> 4], digits[c & 15]};
            write_all(pair, 2);
        }
    }
    write_all("\n", 1);
}

bool read_file(const std::string &path, std::string &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

void collect(const std::string &path, std::vector<std::pair<std::string, std::string>> &inputs)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        std::fprintf(stderr, "replay: no such corpus path %s\n", path.c_str());
        std::exit(2);
    }
    if (!S_ISDIR(info.st_mode)) {
        std::string data;
        if (!read_file(path, data)) {
            std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
            std::exit(2);
        }
        inputs.emplace_back(path, std::move(data));
        return;
    }
    std::vector<std::string> names;
    if (DIR *dir = ::opendir(path.c_str())) {
        while (dirent *entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.')
                names.emplace_back(entry->d_name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names)
        collect(path + "/" + name, inputs);
}

// One random edit of the kind a byte-level fuzzer makes.
void mutate(std::string &s, const std::vector<std::pair<std::string, std::string>> &pool,
            std::mt19937_64 &rng)
{
    auto pick = [&rng](size_t n) { return n ? static_cast<size_t>(rng() % n) : 0; };
    static const char *const tokens[] = {"\"", "\\", "\\\"", "\n", "\r\n", ":", "=", "&", "?",
                                         "%", "%2", "%zz", "+", "*lossless", "srt://", "\xff",
                                         "\xc3", "\xe2\x82", "\xf0\x9f\x98\x80", "\0", "{", "}",
                                         "--", "=-1", "2147483648", "#t=", "m3u8"};
    switch (rng() % 7) {
    case 0:  // flip a bit
        if (!s.empty())
            s[pick(s.size())] ^= static_cast<char>(1u << (rng() % 8));
        break;
    case 1:  // replace a byte
        if (!s.empty())
            s[pick(s.size())] = static_cast<char>(rng());
        break;
    case 2:  // insert a random byte
        s.insert(s.begin() + static_cast<long>(pick(s.size() + 1)), static_cast<char>(rng()));
        break;
    case 3:  // delete a run
        if (!s.empty()) {
            const size_t at = pick(s.size());
            s.erase(at, 1 + pick(std::min<size_t>(8, s.size() - at)));
        }
        break;
    case 4: {  // insert a token that matters to the parsers
        const char *t = tokens[pick(sizeof tokens / sizeof tokens[0])];
        const std::string token(t, std::max<size_t>(1, std::strlen(t)));
        s.insert(pick(s.size() + 1), token);
        break;
    }
    case 5:  // duplicate a piece
        if (!s.empty()) {
            const size_t at = pick(s.size());
            const std::string piece = s.substr(at, 1 + pick(16));
            s.insert(pick(s.size() + 1), piece);
        }
        break;
    default:  // splice with another input
        if (!pool.empty()) {
            const std::string &other = pool[pick(pool.size())].second;
            s = s.substr(0, pick(s.size() + 1)) + other.substr(pick(other.size() + 1));
        }
        break;
    }
    if (s.size() > 4096)
        s.resize(4096);
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = 0;
    uint64_t seed = 1;
    std::vector<std::pair<std::string, std::string>> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("-seconds=", 0) == 0)
            seconds = std::atof(arg.c_str() + 9);
        else if (arg.rfind("-seed=", 0) == 0)
            seed = std::strtoull(arg.c_str() + 6, nullptr, 10);
        else
            collect(arg, inputs);
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: no inputs\n");
        return 2;
    }
    std::signal(SIGABRT, on_abort);

    for (const auto &input : inputs) {
        current_origin = input.first;
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.second.data()),
                               input.second.size());
    }
    std::printf("replay: %zu corpus inputs passed\n", inputs.size());

    std::mt19937_64 rng(seed);
    const auto deadline = std::chrono::steady_clock::now()
        + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    long long runs = 0;
    std::string data;
    while (std::chrono::steady_clock::now() < deadline) {
        const size_t from = static_cast<size_t>(rng() % inputs.size());
        data = inputs[from].second;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e)
            mutate(data, inputs, rng);
        current_origin = "a mutation of " + inputs[from].first + " (seed " + std::to_string(seed)
            + ", run " + std::to_string(runs) + ")";
        current_data = &data;
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.data()), data.size());
        ++runs;
    }
    current_origin.clear();
    current_data = nullptr;
    std::printf("replay: %lld mutated inputs passed\n", runs);
    return 0;
}
