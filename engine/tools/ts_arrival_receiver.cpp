// ts_arrival_receiver: an SRT receiver for the benchmarks that notes WHEN the MPEG-TS
// bytes arrive. It listens on loopback in file transfer mode (as the engine sends by
// default) or in live mode, accepts one caller, and writes a record of arrival times
// against the stream's PCR.
//
//   ts_arrival_receiver --record FILE [--port N] [--out TS_FILE] [--max-seconds S]
//                       [--transtype file|live]
//
//   --record FILE     arrival record, one line each (times: CLOCK_MONOTONIC, ns):
//                       first_byte <ns>
//                       pcr <ns> <pcr in 27 MHz units>   (every PCR of the first PCR PID)
//                       dts <ns> <90 kHz units>          (every PES start on that PID: its
//                                                         DTS, or its PTS when it has none)
//                       bytes <total>                    (at the end)
//   --port N          port to listen on, 0 (default) picks a free one
//   --out TS_FILE     also keep the received bytes
//   --max-seconds S   give up after S seconds (default 600)
//   --transtype T     file (default) or live: the transfer mode the receiver speaks; in
//                     live mode srt_recv hands each packet over at its delivery time,
//                     as every live receiver application sees it
//
// Standard output: "listening <port>" once listening. Exit code 0 after the connection
// ended, 2 on a setup failure, 3 when the time limit passed.
//
// Each chunk is stamped when srt_recv hands it over, so what the record shows is what a
// receiver application sees; no buffering of our own sits in between.

#include <srt/srt.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <time.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::atomic<bool> stop_requested{false};

void on_signal(int) { stop_requested.store(true); }

int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Splits a byte stream into 188-byte TS packets and reports every PCR of one PID.
struct PcrScanner {
    uint8_t partial[188];
    size_t partial_size = 0;
    int pcr_pid = -1;

    template <typename Report>
    void feed(const uint8_t *data, size_t size, Report report) {
        // report(kind, value): kind 'p' for a PCR, 'd' for a PES decoding time.
        while (size > 0) {
            if (partial_size == 0 && data[0] != 0x47) {  // resynchronise on the sync byte
                ++data;
                --size;
                continue;
            }
            const size_t take = std::min(size, sizeof partial - partial_size);
            std::memcpy(partial + partial_size, data, take);
            partial_size += take;
            data += take;
            size -= take;
            if (partial_size == sizeof partial) {
                packet(partial, report);
                partial_size = 0;
            }
        }
    }

    template <typename Report>
    void packet(const uint8_t *p, Report report) {
        const int pid = ((p[1] & 0x1f) << 8) | p[2];
        const int adaptation = (p[3] >> 4) & 0x3;
        const bool has_pcr = (adaptation & 0x2) && p[4] >= 7 && (p[5] & 0x10);
        if (has_pcr && pcr_pid < 0) pcr_pid = pid;
        if (pid != pcr_pid) return;
        if (has_pcr) {
            const uint64_t base = (static_cast<uint64_t>(p[6]) << 25) | (static_cast<uint64_t>(p[7]) << 17) |
                                  (static_cast<uint64_t>(p[8]) << 9) | (static_cast<uint64_t>(p[9]) << 1) |
                                  (p[10] >> 7);
            const uint64_t ext = ((p[10] & 0x1) << 8) | p[11];
            report('p', base * 300 + ext);
        }
        // PES header at the start of a payload: 00 00 01, stream id, length, flags.
        const bool unit_start = p[1] & 0x40;
        if (!unit_start || !(adaptation & 0x1)) return;
        const size_t at = (adaptation & 0x2) ? 5u + p[4] : 4u;
        if (at + 19 > 188 || p[at] != 0 || p[at + 1] != 0 || p[at + 2] != 1) return;
        const int flags = p[at + 7] >> 6;  // 2: PTS only, 3: PTS and DTS
        if (flags < 2) return;
        const uint8_t *t = p + at + (flags == 3 ? 14 : 9);
        const uint64_t ts = (static_cast<uint64_t>((t[0] >> 1) & 0x7) << 30) | (static_cast<uint64_t>(t[1]) << 22) |
                            (static_cast<uint64_t>(t[2] >> 1) << 15) | (static_cast<uint64_t>(t[3]) << 7) |
                            (t[4] >> 1);
        report('d', ts);
    }
};

}  // namespace

int main(int argc, char **argv) {
    int port = 0;
    int max_seconds = 600;
    std::string record_path, out_path;
    int transtype = SRTT_FILE;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (k == "--port")
            port = std::atoi(v.c_str());
        else if (k == "--record")
            record_path = v;
        else if (k == "--out")
            out_path = v;
        else if (k == "--max-seconds")
            max_seconds = std::atoi(v.c_str());
        else if (k == "--transtype" && (v == "file" || v == "live"))
            transtype = v == "live" ? SRTT_LIVE : SRTT_FILE;
        else {
            std::fprintf(stderr, "ts_arrival_receiver: unknown option %s\n", k.c_str());
            return 2;
        }
    }
    if (record_path.empty()) {
        std::fprintf(stderr, "ts_arrival_receiver: --record is required\n");
        return 2;
    }
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    srt_setloglevel(LOG_CRIT);
    if (srt_startup() < 0) return 2;

    const SRTSOCKET listener = srt_create_socket();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener == SRT_INVALID_SOCK || srt_setsockflag(listener, SRTO_TRANSTYPE, &transtype, sizeof transtype) != 0 ||
        srt_bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || srt_listen(listener, 1) != 0) {
        std::fprintf(stderr, "ts_arrival_receiver: listen failed: %s\n", srt_getlasterror_str());
        srt_cleanup();
        return 2;
    }
    sockaddr_in bound{};
    int bound_len = sizeof bound;
    srt_getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &bound_len);
    std::printf("listening %d\n", ntohs(bound.sin_port));
    std::fflush(stdout);

    const int64_t deadline = monotonic_ns() + static_cast<int64_t>(max_seconds) * 1000000000LL;
    int code = 3;
    // Accept with a poll so that the time limit and signals are honoured.
    const int eid = srt_epoll_create();
    int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    srt_epoll_add_usock(eid, listener, &events);
    SRTSOCKET sock = SRT_INVALID_SOCK;
    while (!stop_requested.load() && monotonic_ns() < deadline) {
        SRTSOCKET ready[1];
        int n_ready = 1;
        if (srt_epoll_wait(eid, ready, &n_ready, nullptr, nullptr, 200, nullptr, nullptr, nullptr, nullptr) > 0) {
            sock = srt_accept(listener, nullptr, nullptr);
            break;
        }
    }
    srt_epoll_release(eid);

    struct Sample {
        int64_t at;
        char kind;
        uint64_t value;
    };
    std::vector<Sample> samples;
    samples.reserve(1 << 16);
    int64_t first_byte = -1;
    int64_t total = 0;
    if (sock != SRT_INVALID_SOCK) {
        FILE *out = out_path.empty() ? nullptr : std::fopen(out_path.c_str(), "wb");
        const int poll_ms = 200;
        srt_setsockflag(sock, SRTO_RCVTIMEO, &poll_ms, sizeof poll_ms);
        std::vector<uint8_t> buf(64 * 1024);
        PcrScanner scanner;
        while (!stop_requested.load() && monotonic_ns() < deadline) {
            const int n = srt_recv(sock, reinterpret_cast<char *>(buf.data()), static_cast<int>(buf.size()));
            const int64_t now = monotonic_ns();
            if (n > 0) {
                if (first_byte < 0) first_byte = now;
                total += n;
                if (out) std::fwrite(buf.data(), 1, static_cast<size_t>(n), out);
                scanner.feed(buf.data(), static_cast<size_t>(n),
                             [&](char kind, uint64_t value) { samples.push_back({now, kind, value}); });
                continue;
            }
            const int err = srt_getlasterror(nullptr);
            if (n < 0 && (err == SRT_EASYNCRCV || err == SRT_ETIMEOUT)) continue;
            code = 0;
            break;
        }
        if (out) std::fclose(out);
        srt_close(sock);
    }
    srt_close(listener);
    srt_cleanup();

    FILE *rec = std::fopen(record_path.c_str(), "w");
    if (!rec) return 2;
    if (first_byte >= 0) std::fprintf(rec, "first_byte %lld\n", static_cast<long long>(first_byte));
    for (const auto &sample : samples)
        std::fprintf(rec, "%s %lld %llu\n", sample.kind == 'p' ? "pcr" : "dts", static_cast<long long>(sample.at),
                     static_cast<unsigned long long>(sample.value));
    std::fprintf(rec, "bytes %lld\n", static_cast<long long>(total));
    std::fclose(rec);
    return code;
}
