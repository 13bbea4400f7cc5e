#pragma once

#include "process_runner.h"

#include <chrono>
#include <string>
#include <vector>

// The loopback HTTP server (http_server.py) and the SRT test listener (bin/srt_test_listener)
// as child processes of a test. Both bind port 0 and report the port they got, so parallel
// test runs never collide. The destructors kill what is still running.

class LoopbackHttpServer {
public:
    // Serves `root` on 127.0.0.1. False with error text when it did not come up in time.
    bool start(const std::string &root, std::string &error);
    int port() const { return port_; }
    // http://127.0.0.1:<port>/<relative_path>; relative_path may start with "cut/N/"
    // or "stall/N/" for the server's fault modes.
    std::string url(const std::string &relative_path) const;
    // Same for an absolute file path inside the served root.
    std::string url_for_file(const std::string &absolute_path) const;
    void stop();

private:
    ChildProcess process_;
    std::string root_;
    int port_ = 0;
    bool running_ = false;
};

class LoopbackSrtListener {
public:
    // Listens on 127.0.0.1 and writes what arrives to `out_file`. extra_args go to the
    // listener unchanged (e.g. {"--mode", "close-after-bytes=20000"}).
    bool start(const std::string &out_file, const std::vector<std::string> &extra_args, std::string &error);
    int port() const { return port_; }
    // srt://127.0.0.1:<port> with an optional query ("?streamid=x").
    std::string url(const std::string &query = std::string()) const;
    // Waits for the listener to report that a connection has ended.
    bool wait_connection_closed(std::chrono::milliseconds timeout);
    // Ends the listener (SIGTERM, then SIGKILL after the timeout) and returns its output.
    ProcessResult stop(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::string output_text() const { return process_.stdout_text(); }

private:
    ChildProcess process_;
    int port_ = 0;
    bool running_ = false;
};

// A UDP/TCP port on 127.0.0.1 that was free a moment ago and has nobody listening now.
int closed_loopback_port();

// Reads "listening <port>" from a service's output; 0 when absent.
int parse_listening_port(const std::string &output);
