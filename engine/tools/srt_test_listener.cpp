// srt_test_listener: a small SRT receiver on loopback for tests, the demo and benchmarks.
//
//   srt_test_listener [--port N] [--host ADDR] [--out FILE] [--mode MODE] [--accepts N]
//                     [--latency MS] [--passphrase TEXT] [--max-seconds S] [--transtype T]
//
//   --port N          port to listen on; 0 (default) picks a free one
//   --host ADDR       address to bind, default 127.0.0.1 (::1 works too)
//   --out FILE        write the received bytes of the first connection to FILE, of the
//                     k-th connection (k >= 2) to FILE.k
//   --mode MODE       read (default): read everything until the sender closes;
//                     noread: accept and never read (the sender's buffers fill up);
//                     close-after-bytes=N: close the connection once N bytes arrived
//   --accepts N       exit after N connections have ended (default 1; 0 = no limit)
//   --latency MS      SRTO_LATENCY of the listening socket (default: libsrt's)
//   --passphrase TEXT require encryption with this passphrase
//   --max-seconds S   give up and exit with code 3 after S seconds (default 600)
//   --transtype T     file (default) or live: the transfer mode the socket speaks
//
// Standard output, one line each, flushed at once:
//   listening <port>                        once the socket listens
//   accepted streamid=<id>                  on each accepted connection
//   closed bytes=<n>                        when a connection has ended
// Exit code 0 after the accepts, or on SIGTERM/SIGINT; 2 on a setup failure.
//
// By default the socket speaks file transfer mode in stream form (SRTT_FILE), as the
// engine does by default; a sender with other transfer settings is refused in the
// handshake. --transtype live makes it a live-mode receiver (SRTT_LIVE, messages).

#include <srt/srt.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> stop_requested{false};

void on_signal(int) { stop_requested.store(true); }

struct Settings {
    int port = 0;
    std::string host = "127.0.0.1";
    std::string out;
    std::string mode = "read";
    long long close_after = -1;
    int accepts = 1;
    int latency = -1;
    std::string passphrase;
    int max_seconds = 600;
    bool live = false;
};

std::mutex stdout_lock;

void say(const std::string &line)
{
    std::lock_guard<std::mutex> lock(stdout_lock);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool parse_args(int argc, char **argv, Settings &s)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--port" && value(v))
            s.port = std::atoi(v.c_str());
        else if (arg == "--host" && value(v))
            s.host = v;
        else if (arg == "--out" && value(v))
            s.out = v;
        else if (arg == "--accepts" && value(v))
            s.accepts = std::atoi(v.c_str());
        else if (arg == "--latency" && value(v))
            s.latency = std::atoi(v.c_str());
        else if (arg == "--passphrase" && value(v))
            s.passphrase = v;
        else if (arg == "--transtype" && value(v)) {
            if (v != "file" && v != "live")
                return false;
            s.live = v == "live";
        } else if (arg == "--max-seconds" && value(v))
            s.max_seconds = std::atoi(v.c_str());
        else if (arg == "--mode" && value(v)) {
            const std::string prefix = "close-after-bytes=";
            if (v == "read" || v == "noread") {
                s.mode = v;
            } else if (v.compare(0, prefix.size(), prefix) == 0) {
                s.mode = "close-after-bytes";
                s.close_after = std::atoll(v.c_str() + prefix.size());
            } else {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

// Serves one accepted connection until it ends; returns the bytes received.
long long serve(SRTSOCKET sock, const Settings &s, const std::string &out_path)
{
    FILE *out = out_path.empty() ? nullptr : std::fopen(out_path.c_str(), "wb");
    long long total = 0;
    std::vector<char> buf(64 * 1024);
    const int poll_ms = 100;
    // A receive time-out lets the loop notice a stop request.
    srt_setsockflag(sock, SRTO_RCVTIMEO, &poll_ms, sizeof(poll_ms));
    while (!stop_requested.load()) {
        if (s.mode == "noread") {
            if (srt_getsockstate(sock) >= SRTS_BROKEN)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
            continue;
        }
        int want = static_cast<int>(buf.size());
        if (s.close_after >= 0 && s.close_after - total < want)
            want = static_cast<int>(s.close_after - total);
        if (want <= 0)
            break;
        const int n = srt_recv(sock, buf.data(), want);
        if (n > 0) {
            total += n;
            if (out)
                std::fwrite(buf.data(), 1, static_cast<size_t>(n), out);
            continue;
        }
        // The receive time-out only paces the stop check; a quiet moment is no end.
        if (n < 0 && (srt_getlasterror(nullptr) == SRT_EASYNCRCV || srt_getlasterror(nullptr) == SRT_ETIMEOUT))
            continue;
        break;
    }
    if (out)
        std::fclose(out);
    srt_close(sock);
    return total;
}

bool set_int(SRTSOCKET sock, SRT_SOCKOPT opt, int value)
{
    return srt_setsockflag(sock, opt, &value, sizeof(value)) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    Settings s;
    if (!parse_args(argc, argv, s)) {
        std::fprintf(stderr, "srt_test_listener: bad arguments (see the comment at the top of the source)\n");
        return 2;
    }
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    srt_setloglevel(LOG_ERR);
    if (srt_startup() < 0) {
        std::fprintf(stderr, "srt_startup failed\n");
        return 2;
    }

    sockaddr_storage addr{};
    int addr_len = 0;
    if (s.host.find(':') != std::string::npos) {
        auto *a6 = reinterpret_cast<sockaddr_in6 *>(&addr);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(static_cast<uint16_t>(s.port));
        if (inet_pton(AF_INET6, s.host.c_str(), &a6->sin6_addr) != 1) {
            std::fprintf(stderr, "bad host %s\n", s.host.c_str());
            return 2;
        }
        addr_len = sizeof(sockaddr_in6);
    } else {
        auto *a4 = reinterpret_cast<sockaddr_in *>(&addr);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(static_cast<uint16_t>(s.port));
        if (inet_pton(AF_INET, s.host.c_str(), &a4->sin_addr) != 1) {
            std::fprintf(stderr, "bad host %s\n", s.host.c_str());
            return 2;
        }
        addr_len = sizeof(sockaddr_in);
    }

    const SRTSOCKET listener = srt_create_socket();
    bool ok = listener != SRT_INVALID_SOCK && set_int(listener, SRTO_TRANSTYPE, s.live ? SRTT_LIVE : SRTT_FILE);
    if (ok && s.latency >= 0)
        ok = set_int(listener, SRTO_LATENCY, s.latency);
    if (ok && !s.passphrase.empty())
        ok = srt_setsockflag(listener, SRTO_PASSPHRASE, s.passphrase.data(),
                             static_cast<int>(s.passphrase.size())) == 0;
    if (ok)
        ok = srt_bind(listener, reinterpret_cast<sockaddr *>(&addr), addr_len) == 0 &&
             srt_listen(listener, 8) == 0;
    sockaddr_storage bound{};
    int bound_len = sizeof(bound);
    if (ok)
        ok = srt_getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &bound_len) == 0;
    if (!ok) {
        std::fprintf(stderr, "listen failed: %s\n", srt_getlasterror_str());
        srt_cleanup();
        return 2;
    }
    const int port = bound.ss_family == AF_INET6
                         ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                         : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    say("listening " + std::to_string(port));

    const int eid = srt_epoll_create();
    int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    srt_epoll_add_usock(eid, listener, &events);

    std::vector<std::thread> workers;
    std::atomic<int> ended{0};
    int accepted = 0;
    int code = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(s.max_seconds);
    while (!stop_requested.load()) {
        if (s.accepts > 0 && ended.load() >= s.accepts)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "srt_test_listener: gave up after %d s\n", s.max_seconds);
            code = 3;
            break;
        }
        if (s.accepts > 0 && accepted >= s.accepts) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        SRTSOCKET ready[1];
        int ready_len = 1;
        if (srt_epoll_wait(eid, ready, &ready_len, nullptr, nullptr, 100, nullptr, nullptr, nullptr,
                           nullptr) <= 0)
            continue;
        sockaddr_storage peer{};
        int peer_len = sizeof(peer);
        const SRTSOCKET conn = srt_accept(listener, reinterpret_cast<sockaddr *>(&peer), &peer_len);
        if (conn == SRT_INVALID_SOCK)
            continue;
        ++accepted;
        char sid[600] = {0};
        int sid_len = sizeof(sid) - 1;
        if (srt_getsockflag(conn, SRTO_STREAMID, sid, &sid_len) != 0)
            sid_len = 0;
        say("accepted streamid=" + std::string(sid, static_cast<size_t>(sid_len)));
        const std::string out_path =
            s.out.empty() || accepted == 1 ? s.out : s.out + "." + std::to_string(accepted);
        workers.emplace_back([conn, &s, out_path, &ended] {
            const long long bytes = serve(conn, s, out_path);
            say("closed bytes=" + std::to_string(bytes));
            ended.fetch_add(1);
        });
    }
    stop_requested.store(true);
    for (auto &w : workers)
        w.join();
    srt_epoll_release(eid);
    srt_close(listener);
    srt_cleanup();
    return code;
}
