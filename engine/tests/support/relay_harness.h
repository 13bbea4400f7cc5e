#pragma once

#include "loopback_services.h"
#include "process_runner.h"

#include <chrono>
#include <string>
#include <vector>

// One relay on loopback: the generated media served over HTTP, a real SRT listener
// writing what arrives to a file, and the real kby_nuvix program between them.
class RelayHarness {
public:
    RelayHarness();
    ~RelayHarness();  // removes the received file

    // Starts the HTTP server over the test-data folder and the SRT listener.
    // listener_args go to the listener (e.g. {"--mode", "close-after-bytes=30000"}).
    bool start(std::string &error, const std::vector<std::string> &listener_args = {});

    // Address of a generated file (absolute path inside test-data) on the HTTP server,
    // with an optional fault prefix such as "cut/120000/".
    std::string media_url(const std::string &file, const std::string &fault_prefix = std::string()) const;
    std::string srt_url() const;
    const std::string &received_path() const { return received_; }

    LoopbackHttpServer http;
    LoopbackSrtListener listener;

private:
    std::string received_;
};

// What one engine run did.
struct EngineRun {
    ProcessResult process;
    std::vector<std::string> events;  // standard output lines, in order
    double seconds = 0;               // wall time from start to exit
};

// Runs kby_nuvix with args to its end (killed after timeout).
EngineRun run_engine(const std::vector<std::string> &args,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Splits text into lines without their line ends.
std::vector<std::string> split_lines(const std::string &text);

// {"event":"name"} or {"event":"name","detail":"detail"}.
std::string event_line(const std::string &name, const std::string &detail = std::string());
