#include "relay_harness.h"

#include "test_media.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

RelayHarness::RelayHarness() {
    static std::atomic<int> counter{0};
    received_ = test_media::data_dir() + "/received." + std::to_string(::getpid()) + "." +
                std::to_string(counter.fetch_add(1)) + ".ts";
}

RelayHarness::~RelayHarness() {
    listener.stop();
    http.stop();
    std::remove(received_.c_str());
}

bool RelayHarness::start(std::string &error, const std::vector<std::string> &listener_args) {
    if (!http.start(test_media::data_dir(), error)) return false;
    return listener.start(received_, listener_args, error);
}

std::string RelayHarness::media_url(const std::string &file, const std::string &fault_prefix) const {
    const std::string dir = test_media::data_dir() + "/";
    const std::string rel = file.compare(0, dir.size(), dir) == 0 ? file.substr(dir.size()) : file;
    return http.url(fault_prefix + rel);
}

std::string RelayHarness::srt_url() const { return listener.url("?streamid=relay"); }

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string event_line(const std::string &name, const std::string &detail) {
    if (detail.empty()) return "{\"event\":\"" + name + "\"}";
    return "{\"event\":\"" + name + "\",\"detail\":\"" + detail + "\"}";
}

EngineRun run_engine(const std::vector<std::string> &args, std::chrono::milliseconds timeout) {
    EngineRun run;
    const auto t0 = std::chrono::steady_clock::now();
    run.process = run_process(bin_path("kby_nuvix"), args, timeout);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.events = split_lines(run.process.out);
    return run;
}
