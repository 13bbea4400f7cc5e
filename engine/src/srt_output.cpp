#include "srt_output.h"

#include "events_log.h"
#include "name_lookup_error.h"
#include "srt_refusal_hint.h"
#include "stop_control.h"

// getaddrinfo and addrinfo come with srt.h, which includes each system's socket headers.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <system_error>

namespace {

// The registry lock guards active_output and is held across the abort of the output
// it names: unregistration takes it too, so an output cannot be destroyed while the
// stop-event thread is aborting it. Taken before an output's lifecycle_lock, never
// while holding it.
std::mutex registry_lock;
SrtOutput *active_output = nullptr;

void register_output(SrtOutput *output)
{
    std::lock_guard<std::mutex> lock(registry_lock);
    active_output = output;
}

void unregister_output(SrtOutput *output)
{
    std::lock_guard<std::mutex> lock(registry_lock);
    if (active_output == output)
        active_output = nullptr;
}

struct AddrInfoFree {
    void operator()(addrinfo *list) const { freeaddrinfo(list); }
};

// Longest time the end of a graceful finish waits for the receiver to acknowledge
// one more byte of what libsrt still holds.
constexpr std::chrono::milliseconds DELIVERY_WAIT{SRT_SEND_TIMEOUT_MS};
constexpr std::chrono::milliseconds DELIVERY_POLL{5};
// Beyond the receiver's latency, for its clock drift and the time to hand the data on.
constexpr std::chrono::milliseconds PLAYOUT_MARGIN{100};
constexpr std::chrono::milliseconds CONNECT_POLL{10};
// Most chunks the sender takes from the queue at once.
constexpr size_t SRT_SEND_BATCH_CHUNKS = 64;
// How often a listener without a receiver looks at the stop flags.
constexpr std::chrono::milliseconds LISTEN_POLL{50};

// Owns one libsrt socket handle until it is released to someone else.
class OwnedSrtSocket {
public:
    explicit OwnedSrtSocket(SRTSOCKET s = SRT_INVALID_SOCK) : s_(s) {}
    ~OwnedSrtSocket() { reset(); }
    OwnedSrtSocket(const OwnedSrtSocket &) = delete;
    OwnedSrtSocket &operator=(const OwnedSrtSocket &) = delete;
    SRTSOCKET get() const { return s_; }
    SRTSOCKET release()
    {
        const SRTSOCKET s = s_;
        s_ = SRT_INVALID_SOCK;
        return s;
    }
    void reset(SRTSOCKET s = SRT_INVALID_SOCK)
    {
        if (s_ != SRT_INVALID_SOCK)
            srt_close(s_);
        s_ = s;
    }

private:
    SRTSOCKET s_;
};

class OwnedSrtEpoll {
public:
    explicit OwnedSrtEpoll(int id) : id_(id) {}
    ~OwnedSrtEpoll()
    {
        if (id_ >= 0)
            srt_epoll_release(id_);
    }
    OwnedSrtEpoll(const OwnedSrtEpoll &) = delete;
    OwnedSrtEpoll &operator=(const OwnedSrtEpoll &) = delete;
    int get() const { return id_; }

private:
    int id_;
};

bool set_options(SRTSOCKET s, const SrtAddress &address, std::string &error)
{
    for (const SrtSocketOption &option : srt_socket_options(address)) {
        if (srt_setsockopt(s, 0, option.id, option.value.data(), static_cast<int>(option.value.size())) ==
            SRT_ERROR) {
            error = srt_getlasterror_str();
            return false;
        }
    }
    return true;
}

std::string bound_port(SRTSOCKET s, const std::string &fallback)
{
    sockaddr_storage bound{};
    int length = sizeof bound;
    if (srt_getsockname(s, reinterpret_cast<sockaddr *>(&bound), &length) == SRT_ERROR)
        return fallback;
    if (bound.ss_family == AF_INET6)
        return std::to_string(ntohs(reinterpret_cast<const sockaddr_in6 *>(&bound)->sin6_port));
    if (bound.ss_family == AF_INET)
        return std::to_string(ntohs(reinterpret_cast<const sockaddr_in *>(&bound)->sin_port));
    return fallback;
}

} // namespace

void abort_active_output()
{
    std::lock_guard<std::mutex> lock(registry_lock);
    if (active_output)
        active_output->abort();
}

SrtOutput::SrtOutput() = default;

SrtOutput::~SrtOutput() { close(); }

bool SrtOutput::start(const std::string &url, std::string &error)
{
    if (!parse_srt_url(address, url, error))
        return false;
    // 1 means libsrt was already started in this process, which is fine.
    if (srt_startup() < 0) {
        error = "srt_startup failed";
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(lifecycle_lock);
        started = true;
    }
    failed = false;
    {
        std::lock_guard<std::mutex> lock(handshake_lock);
        connect_done = false;
        connected = false;
    }
    register_output(this);

    std::unique_lock<std::mutex> handshake(handshake_lock);
    try {
        sender_thread = std::thread(&SrtOutput::sender_main, this);
    } catch (const std::system_error &e) {
        handshake.unlock();
        log_line(std::string("SRT connect failed: cannot start the sender thread: ") + e.what());
        failed = true;
        unregister_output(this);
        error = "SRT connection failed";
        return false;
    }
    bool announced = false;
    for (;;) {
        handshake_cond.wait(handshake, [this, announced] { return connect_done || (listening && !announced); });
        if (connect_done)
            break;
        announced = true;
        handshake.unlock();
        emit_event("srt_listening");
        handshake.lock();
    }
    const bool ok = connected;
    handshake.unlock();

    if (ok) {
        // An abort that came in during the handshake wins: the run is stopping.
        std::lock_guard<std::mutex> lock(lifecycle_lock);
        if (!aborted) {
            active = true;
            return true;
        }
    }
    error = "SRT connection failed";
    sender_thread.join();
    const std::string hint = transfer_mode_hint(reject_reason, address.live);
    if (!hint.empty())
        log_line(hint);
    unregister_output(this);
    return false;
}

bool SrtOutput::write(const uint8_t *data, int32_t size)
{
    if (!active || failed || data == nullptr || size <= 0)
        return false;
    if (queue.push(data, static_cast<size_t>(size)))
        return true;
    if (active) {
        log_line("SRT output queue stalled");
        failed = true;
    }
    queue.close_queue();
    return false;
}

void SrtOutput::sender_main()
{
    std::string error;
    const bool ok = connect_socket(error);
    {
        std::lock_guard<std::mutex> lock(handshake_lock);
        connected = ok;
        connect_done = true;
    }
    handshake_cond.notify_all();
    if (!ok) {
        if (!stopped_listening)
            log_line("SRT connect failed: " + error);
        failed = true;
        close_socket();
        return;
    }

    // Everything queued is taken at once and handed to libsrt back to back, so a
    // packet's TS wakes this thread (and libsrt's sending thread) once, not per chunk.
    std::unique_ptr<uint8_t[]> batch(new uint8_t[SRT_SEND_BATCH_CHUNKS * SRT_CHUNK_SIZE]);
    bool drained = false;
    bool sending = true;
    while (sending) {
        const size_t n = queue.take_chunks(batch.get(), SRT_SEND_BATCH_CHUNKS);
        if (n == 0) {
            drained = !queue.closed();
            break;
        }
        for (size_t done = 0; done < n; done += SRT_CHUNK_SIZE) {
            if (!send_chunk(batch.get() + done, std::min(SRT_CHUNK_SIZE, n - done))) {
                queue.close_queue();
                sending = false;
                break;
            }
        }
    }
    if (drained)
        wait_for_delivery();
    close_socket();
}

// With linger off, srt_close discards whatever libsrt still holds, so a graceful end
// first waits until the receiver has acknowledged every byte handed to srt_send.
void SrtOutput::wait_for_delivery()
{
    SRTSOCKET s;
    {
        std::lock_guard<std::mutex> lock(socket_lock);
        s = sock;
    }
    if (s == SRT_INVALID_SOCK)
        return;
    using clock = std::chrono::steady_clock;
    size_t last_bytes = SIZE_MAX;
    clock::time_point last_progress = clock::now();
    while (!aborted) {
        size_t blocks = 0;
        size_t bytes = 0;
        if (srt_getsndbuffer(s, &blocks, &bytes) < 0 || srt_getsockstate(s) != SRTS_CONNECTED)
            return;
        if (bytes == 0) {
            if (address.live)
                hold_for_playout(s);
            return;
        }
        const clock::time_point now = clock::now();
        if (bytes < last_bytes) {
            last_bytes = bytes;
            last_progress = now;
        } else if (now - last_progress >= DELIVERY_WAIT) {
            log_line("SRT send failed: receiver did not acknowledge the last " +
                     std::to_string(bytes) + " bytes");
            failed = true;
            return;
        }
        std::this_thread::sleep_for(DELIVERY_POLL);
    }
}

// A live receiver hands each packet on only once its latency has passed since it was
// sent; closing as soon as everything is acknowledged would cut off that last stretch.
void SrtOutput::hold_for_playout(SRTSOCKET s)
{
    int32_t latency_ms = 0;
    int length = sizeof latency_ms;
    if (srt_getsockflag(s, SRTO_PEERLATENCY, &latency_ms, &length) == SRT_ERROR || latency_ms <= 0)
        return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(latency_ms) + PLAYOUT_MARGIN;
    while (!aborted && std::chrono::steady_clock::now() < until && srt_getsockstate(s) == SRTS_CONNECTED)
        std::this_thread::sleep_for(DELIVERY_POLL);
}

bool SrtOutput::connect_socket(std::string &error)
{
    if (address.listener)
        return accept_socket(error);
    const SRTSOCKET s = srt_create_socket();
    if (s == SRT_INVALID_SOCK) {
        error = srt_getlasterror_str();
        return false;
    }
    if (!set_options(s, address, error)) {
        srt_close(s);
        return false;
    }
    {
        std::lock_guard<std::mutex> lifecycle(lifecycle_lock);
        if (aborted) {
            srt_close(s);
            error = "SRT dropped";
            return false;
        }
        std::lock_guard<std::mutex> lock(socket_lock);
        sock = s;
    }
    // From here on an abort closes s, which makes a pending srt_connect return.

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    const int rc = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
    if (rc != 0) {
        error = "getaddrinfo: " + name_lookup_error_text(rc);
        return false;
    }
    const std::unique_ptr<addrinfo, AddrInfoFree> list(found);
    for (const addrinfo *a = list.get(); a != nullptr; a = a->ai_next) {
        if (connect_address(s, a->ai_addr, static_cast<int>(a->ai_addrlen), error))
            return true;
    }
    return false;
}

// libsrt's srt_close waits for a blocking srt_connect to time out, which would make an
// abort wait for the network. So the connect runs non-blocking and this thread watches
// the socket state, which an abort's srt_close ends at once.
bool SrtOutput::connect_address(SRTSOCKET s, const sockaddr *addr, int addr_len, std::string &error)
{
    const bool blocking = false;
    if (srt_setsockflag(s, SRTO_RCVSYN, &blocking, sizeof(blocking)) == SRT_ERROR ||
        srt_connect(s, addr, addr_len) == SRT_ERROR) {
        error = aborted ? "SRT dropped" : srt_getlasterror_str();
        return false;
    }
    // libsrt ends the attempt itself after SRTO_CONNTIMEO; the guard only bounds the loop.
    const auto guard = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(SRT_CONNECT_TIMEOUT_MS) + std::chrono::seconds(2);
    SRT_SOCKSTATUS state = srt_getsockstate(s);
    while (state == SRTS_CONNECTING && !aborted && std::chrono::steady_clock::now() < guard) {
        std::this_thread::sleep_for(CONNECT_POLL);
        state = srt_getsockstate(s);
    }
    if (state == SRTS_CONNECTED && !aborted) {
        // Back to the default; sends never depended on it.
        const bool restore = true;
        srt_setsockflag(s, SRTO_RCVSYN, &restore, sizeof(restore));
        return true;
    }
    if (aborted)
        error = "SRT dropped";
    else if (state == SRTS_CONNECTING)
        error = "connection attempt did not end";
    else {
        reject_reason = srt_getrejectreason(s);
        error = std::string("Connection setup failure: ") + srt_rejectreason_str(reject_reason);
    }
    return false;
}

// The listener binds, says so, and waits without a time limit for one receiver; then the
// accepted socket carries the stream exactly as a caller's would. Only a stop (abort, or
// keep_running cleared by a signal or the parent watch) ends the wait early.
bool SrtOutput::accept_socket(std::string &error)
{
    OwnedSrtSocket listener(srt_create_socket());
    if (listener.get() == SRT_INVALID_SOCK) {
        error = srt_getlasterror_str();
        return false;
    }
    if (!set_options(listener.get(), address, error))
        return false;

    addrinfo hints{};
    // No host: every IPv4 address, like 0.0.0.0.
    hints.ai_family = address.host.empty() ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *found = nullptr;
    const int rc = getaddrinfo(address.host.empty() ? nullptr : address.host.c_str(), address.port.c_str(),
                               &hints, &found);
    if (rc != 0) {
        error = "getaddrinfo: " + name_lookup_error_text(rc);
        return false;
    }
    const std::unique_ptr<addrinfo, AddrInfoFree> list(found);
    bool bound = false;
    for (const addrinfo *a = list.get(); a != nullptr && !bound; a = a->ai_next)
        bound = srt_bind(listener.get(), a->ai_addr, static_cast<int>(a->ai_addrlen)) != SRT_ERROR;
    if (!bound || srt_listen(listener.get(), 1) == SRT_ERROR) {
        error = srt_getlasterror_str();
        return false;
    }
    // Waiting in epoll rather than in srt_accept lets the loop look at the stop flags.
    const OwnedSrtEpoll poll(srt_epoll_create());
    const int wanted = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    if (poll.get() < 0 || srt_epoll_add_usock(poll.get(), listener.get(), &wanted) == SRT_ERROR) {
        error = srt_getlasterror_str();
        return false;
    }
    log_line("SRT listening on " + (address.host.empty() ? std::string("*") : address.host) + ":" +
             bound_port(listener.get(), address.port) + ", waiting for a receiver");
    {
        std::lock_guard<std::mutex> lock(handshake_lock);
        listening = true;
    }
    handshake_cond.notify_all();

    OwnedSrtSocket accepted;
    for (;;) {
        if (aborted || !keep_running.load()) {
            stopped_listening = true;
            log_line("SRT listening stopped, no receiver called in");
            error = "SRT dropped";
            return false;
        }
        SRTSOCKET ready[1];
        int ready_count = 1;
        const int n = srt_epoll_wait(poll.get(), ready, &ready_count, nullptr, nullptr, LISTEN_POLL.count(),
                                     nullptr, nullptr, nullptr, nullptr);
        if (n <= 0 && srt_getlasterror(nullptr) == SRT_ETIMEOUT)
            continue;
        if (n <= 0) {
            error = srt_getlasterror_str();
            return false;
        }
        sockaddr_storage peer{};
        int peer_length = sizeof peer;
        accepted.reset(srt_accept(listener.get(), reinterpret_cast<sockaddr *>(&peer), &peer_length));
        if (accepted.get() != SRT_INVALID_SOCK)
            break;
        error = srt_getlasterror_str();
        return false;
    }
    std::lock_guard<std::mutex> lifecycle(lifecycle_lock);
    if (aborted) {
        stopped_listening = true;
        error = "SRT dropped";
        return false;
    }
    std::lock_guard<std::mutex> lock(socket_lock);
    sock = accepted.release();
    return true;
}

bool SrtOutput::send_chunk(const uint8_t *bytes, size_t count)
{
    SRTSOCKET s;
    {
        std::lock_guard<std::mutex> lock(socket_lock);
        s = sock;
    }
    if (s == SRT_INVALID_SOCK) {
        failed = true;
        return false;
    }
    size_t sent = 0;
    while (sent < count) {
        const int r = srt_send(s, reinterpret_cast<const char *>(bytes) + sent, static_cast<int>(count - sent));
        if (r >= 1) {
            sent += static_cast<size_t>(r);
            continue;
        }
        if (!aborted)
            log_line(std::string("SRT send failed: ") + srt_getlasterror_str());
        failed = true;
        return false;
    }
    return true;
}

void SrtOutput::close_socket()
{
    SRTSOCKET s;
    {
        std::lock_guard<std::mutex> lock(socket_lock);
        s = sock;
        sock = SRT_INVALID_SOCK;
    }
    if (s == SRT_INVALID_SOCK)
        return;
    // The last figures of the connection, for the end-of-run summary.
    SRT_TRACEBSTATS trace{};
    if (srt_bstats(s, &trace, 0) != SRT_ERROR) {
        std::lock_guard<std::mutex> lock(stats_lock);
        last_stats = stats_from_trace(trace);
        has_final_stats = true;
    }
    srt_close(s);
}

bool SrtOutput::sample_stats(SrtStats &out)
{
    SRTSOCKET s;
    {
        std::lock_guard<std::mutex> lock(socket_lock);
        s = sock;
    }
    SRT_TRACEBSTATS trace{};
    // Clearing restarts libsrt's interval, so the rate covers the time since the last sample.
    if (s == SRT_INVALID_SOCK || srt_bstats(s, &trace, 1) == SRT_ERROR)
        return false;
    out = stats_from_trace(trace);
    return true;
}

bool SrtOutput::final_stats(SrtStats &out)
{
    std::lock_guard<std::mutex> lock(stats_lock);
    if (has_final_stats)
        out = last_stats;
    return has_final_stats;
}

void SrtOutput::abort()
{
    std::lock_guard<std::mutex> lock(lifecycle_lock);
    if (aborted.exchange(true))
        return;
    active = false;
    queue.close_queue();
    close_socket();
    log_line("SRT closed, buffered TS dropped");
}

void SrtOutput::finish()
{
    bool graceful;
    {
        std::lock_guard<std::mutex> lock(lifecycle_lock);
        const bool was_active = active.exchange(false);
        graceful = was_active && !aborted;
    }
    if (graceful)
        queue.mark_finishing();
    if (sender_thread.joinable())
        sender_thread.join();
    if (graceful)
        log_line("SRT queue high-water " + std::to_string(queue.high_water()) + "/" +
                 std::to_string(SRT_QUEUE_CAPACITY) + " bytes");
    release();
}

void SrtOutput::close()
{
    abort();
    if (sender_thread.joinable())
        sender_thread.join();
    release();
}

void SrtOutput::release()
{
    unregister_output(this);
    std::lock_guard<std::mutex> lock(lifecycle_lock);
    close_socket();
    if (started) {
        srt_cleanup();
        started = false;
    }
}
