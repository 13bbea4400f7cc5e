#include "loopback_services.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace {

const std::chrono::milliseconds STARTUP_TIMEOUT(15000);

}  // namespace

int parse_listening_port(const std::string &output) {
    const std::string key = "listening ";
    const auto at = output.find(key);
    if (at == std::string::npos) return 0;
    return std::atoi(output.c_str() + at + key.size());
}

bool LoopbackHttpServer::start(const std::string &root, std::string &error) {
    root_ = root;
    const std::string script = std::string(NUVIX_SOURCE_DIR) + "/engine/tests/support/http_server.py";
    if (!process_.start("/usr/bin/env", {"python3", script, root, "--port", "0"}, {}, error)) return false;
    running_ = true;
    if (!process_.wait_for_stdout("\n", STARTUP_TIMEOUT)) {
        error = "HTTP server did not start: " + process_.stderr_text();
        return false;
    }
    port_ = parse_listening_port(process_.stdout_text());
    if (port_ <= 0) {
        error = "HTTP server printed no port: " + process_.stdout_text();
        return false;
    }
    return true;
}

std::string LoopbackHttpServer::url(const std::string &relative_path) const {
    std::string rel = relative_path;
    while (!rel.empty() && rel[0] == '/') rel.erase(0, 1);
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + rel;
}

std::string LoopbackHttpServer::url_for_file(const std::string &absolute_path) const {
    if (absolute_path.compare(0, root_.size(), root_) == 0) return url(absolute_path.substr(root_.size()));
    return url(absolute_path);
}

void LoopbackHttpServer::stop() {
    if (!running_) return;
    running_ = false;
    process_.send_signal(SIGTERM);
    process_.wait(std::chrono::seconds(5));
}

bool LoopbackSrtListener::start(const std::string &out_file, const std::vector<std::string> &extra_args,
                                std::string &error) {
    std::vector<std::string> args = {"--port", "0", "--host", "127.0.0.1"};
    // The listener names the k-th connection's file "<out>.k": with /dev/null that would
    // create files in /dev. Without --out nothing is written at all.
    if (!out_file.empty() && out_file != "/dev/null")
        args.insert(args.end(), {"--out", out_file});
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    if (!process_.start(bin_path("srt_test_listener"), args, {}, error)) return false;
    running_ = true;
    if (!process_.wait_for_stdout("listening ", STARTUP_TIMEOUT) || !process_.wait_for_stdout("\n", STARTUP_TIMEOUT)) {
        error = "SRT listener did not start: " + process_.stderr_text();
        return false;
    }
    port_ = parse_listening_port(process_.stdout_text());
    if (port_ <= 0) {
        error = "SRT listener printed no port: " + process_.stdout_text();
        return false;
    }
    return true;
}

std::string LoopbackSrtListener::url(const std::string &query) const {
    return "srt://127.0.0.1:" + std::to_string(port_) + query;
}

bool LoopbackSrtListener::wait_connection_closed(std::chrono::milliseconds timeout) {
    return process_.wait_for_stdout("closed bytes=", timeout);
}

ProcessResult LoopbackSrtListener::stop(std::chrono::milliseconds timeout) {
    if (!running_) return ProcessResult{};
    running_ = false;
    process_.send_signal(SIGTERM);
    return process_.wait(timeout);
}

int closed_loopback_port() {
    // Bound on both TCP and UDP so the port suits an HTTP address and an SRT address alike.
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
        const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
        int port = 0;
        if (tcp >= 0 && udp >= 0) {
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof addr;
            if (::bind(tcp, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
                ::getsockname(tcp, reinterpret_cast<sockaddr *>(&addr), &len) == 0 &&
                ::bind(udp, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
                port = ntohs(addr.sin_port);
        }
        if (tcp >= 0) ::close(tcp);
        if (udp >= 0) ::close(udp);
        if (port > 0) return port;
    }
    return 0;
}
