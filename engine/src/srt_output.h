#pragma once

#include "srt_stats.h"
#include "srt_url.h"
#include "ts_output_queue.h"

#include <srt/srt.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// One SRT connection carrying the TS byte stream of a run: as caller (the default), or as
// listener that waits for one receiver to call in (mode=listener). The muxer starts it,
// feeds it with write, and ends it with finish (graceful) or close (drop). While
// started it is the process-wide active output, which abort_active_output can abort
// from any thread.
//
// Lock order: the active-output registry lock, then lifecycle_lock, then the queue lock
// or socket_lock; handshake_lock nests with none of them. No lock is held across
// getaddrinfo or a libsrt call that may wait for the network (the connect runs
// non-blocking, so srt_close under a lock returns at once).
struct SrtOutput {
    SrtOutput();
    ~SrtOutput();
    SrtOutput(const SrtOutput &) = delete;
    SrtOutput &operator=(const SrtOutput &) = delete;

    // Parses url, starts the sender thread and blocks until it has connected (true)
    // or failed; error then holds the address error, "srt_startup failed" or
    // "SRT connection failed". A listener emits "srt_listening" once bound and waits
    // without a time limit; a stop ends that wait (stopped_listening). Called once, from
    // the pipeline (main) thread, the only writer of event lines.
    bool start(const std::string &url, std::string &error);
    // Queues TS bytes (producer side). False when not connected, after any failure, or
    // when the receiver took nothing for SRT_WRITE_WAIT; every later call is refused.
    bool write(const uint8_t *data, int32_t size);
    // Graceful end: the queued bytes are sent (and acknowledged) before the socket closes.
    void finish();
    // Immediate end: queued bytes are dropped.
    void close();
    // Any thread, any time; effective once. Drops the queue and closes the socket,
    // joins nothing.
    void abort();

    // Pipeline thread: what libsrt measured since the previous sample. False when there
    // is no connected socket.
    bool sample_stats(SrtStats &out);
    // The totals taken just before the connection's socket was closed. False when no
    // socket was ever closed.
    bool final_stats(SrtStats &out);

    // Internal steps, public for tests.
    bool connect_socket(std::string &error);
    bool accept_socket(std::string &error);
    bool connect_address(SRTSOCKET s, const sockaddr *addr, int addr_len, std::string &error);
    bool send_chunk(const uint8_t *bytes, size_t count);
    void close_socket();
    void sender_main();
    void wait_for_delivery();
    void hold_for_playout(SRTSOCKET s);
    // Sender joined: closes the socket, runs the due srt_cleanup, unregisters.
    void release();

    TsOutputQueue queue;
    SrtAddress address;                     // host, port, stream_id, passphrase, pbkeylen

    SRTSOCKET sock = SRT_INVALID_SOCK;      // guarded by socket_lock
    bool started = false;                   // srt_cleanup due; guarded by lifecycle_lock
    std::atomic<bool> aborted{false};       // set once by abort
    std::atomic<bool> failed{false};        // connect, send or queue failure
    std::atomic<bool> active{false};        // connected and accepting writes
    std::thread sender_thread;              // touched only by the pipeline thread

    std::mutex lifecycle_lock;              // abort, finish, close, socket registration
    std::mutex socket_lock;                 // guards sock only
    std::mutex handshake_lock;              // guards connect_done, connected
    std::condition_variable handshake_cond;
    bool connect_done = false;
    bool connected = false;
    bool listening = false;                 // listener bound; guarded by handshake_lock

    // Written by the sender thread before it publishes connect_done.
    int reject_reason = SRT_REJ_UNKNOWN;    // the receiver's refusal of the last connect
    std::atomic<bool> stopped_listening{false};  // a stop ended the wait for a receiver

    std::mutex stats_lock;                  // guards the two below; nests with no other lock
    bool has_final_stats = false;
    SrtStats last_stats;
};

// Aborts the active output, if one is registered. Safe against that output being
// unregistered and destroyed at the same moment. Any thread.
void abort_active_output();
