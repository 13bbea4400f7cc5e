#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

// Ring storage between the muxer (producer) and the SRT sender (consumer).
constexpr size_t SRT_QUEUE_CAPACITY = 658000;       // 500 chunks
constexpr size_t SRT_CHUNK_SIZE = 1316;             // 7 TS packets of 188 bytes
constexpr std::chrono::seconds SRT_WRITE_WAIT{5};   // longest wait for space without progress

// Bounded byte queue, one producer and one consumer. The storage is allocated once;
// nothing is allocated while bytes flow. It either drains (mark_finishing) or dies
// (close_queue); it never reopens.
class TsOutputQueue {
public:
    // write_wait is the longest single wait of push for free space.
    explicit TsOutputQueue(std::chrono::steady_clock::duration write_wait = SRT_WRITE_WAIT);
    TsOutputQueue(const TsOutputQueue &) = delete;
    TsOutputQueue &operator=(const TsOutputQueue &) = delete;

    // Producer: copies all bytes in, waiting for space as needed. False when the queue
    // is closed, or when one wait passed write_wait without any space freeing up.
    bool push(const uint8_t *data, size_t size);

    // Consumer: copies out SRT_CHUNK_SIZE bytes into dest, waiting until that many are
    // queued; once finishing, also a shorter rest. 0 means stop: closed, or drained.
    size_t take_chunk(uint8_t *dest);
    // The same for every whole chunk queued, up to max_chunks at once (dest holds that
    // many); a shorter rest only once finishing, and only as the last piece.
    size_t take_chunks(uint8_t *dest, size_t max_chunks);

    // No more data will come: the consumer drains what is left. Wakes both sides.
    void mark_finishing();
    // Drops the content and stops both sides for good. Any thread.
    void close_queue();

    size_t high_water() const;
    size_t buffered() const;
    bool closed() const;

private:
    const std::chrono::steady_clock::duration write_wait;
    const std::unique_ptr<uint8_t[]> storage;
    mutable std::mutex queue_lock;          // guards every field below
    size_t read_pos = 0;                    // oldest queued byte
    size_t write_pos = 0;                   // where the next byte goes
    size_t buffered_bytes = 0;
    size_t high_water_bytes = 0;            // largest buffered_bytes since construction
    bool finishing = false;
    bool closed_flag = false;
    bool consumer_waiting = false;          // take_chunk is in (or about to enter) its wait
    bool producer_waiting = false;          // push is waiting for space
    std::condition_variable data_ready;     // consumer waits for data
    std::condition_variable space_free;     // producer waits for space
};
