#include "ts_output_queue.h"

#include <algorithm>
#include <cstring>

TsOutputQueue::TsOutputQueue(std::chrono::steady_clock::duration write_wait)
    : write_wait(write_wait), storage(new uint8_t[SRT_QUEUE_CAPACITY]())
{
}

bool TsOutputQueue::push(const uint8_t *data, size_t size)
{
    using clock = std::chrono::steady_clock;
    size_t done = 0;
    while (done < size) {
        std::unique_lock<std::mutex> lock(queue_lock);
        if (!closed_flag && buffered_bytes >= SRT_QUEUE_CAPACITY) {
            const clock::time_point now = clock::now();
            const clock::time_point deadline =
                now > clock::time_point::max() - write_wait ? clock::time_point::max() : now + write_wait;
            producer_waiting = true;
            const bool ready = space_free.wait_until(lock, deadline, [this] {
                return closed_flag || buffered_bytes < SRT_QUEUE_CAPACITY;
            });
            producer_waiting = false;
            if (!ready)
                return false;
        }
        if (closed_flag)
            return false;
        const size_t n = std::min({size - done, SRT_QUEUE_CAPACITY - buffered_bytes,
                                   SRT_QUEUE_CAPACITY - write_pos});
        std::memcpy(storage.get() + write_pos, data + done, n);
        write_pos = (write_pos + n) % SRT_QUEUE_CAPACITY;
        buffered_bytes += n;
        high_water_bytes = std::max(high_water_bytes, buffered_bytes);
        done += n;
        // The sender only wants waking once a whole chunk is there; a packet's TS that
        // leaves a partial chunk waits for the next one.
        const bool wake = consumer_waiting && buffered_bytes >= SRT_CHUNK_SIZE;
        lock.unlock();
        if (wake)
            data_ready.notify_one();
    }
    return true;
}

size_t TsOutputQueue::take_chunk(uint8_t *dest) { return take_chunks(dest, 1); }

size_t TsOutputQueue::take_chunks(uint8_t *dest, size_t max_chunks)
{
    std::unique_lock<std::mutex> lock(queue_lock);
    consumer_waiting = true;
    data_ready.wait(lock, [this] {
        return closed_flag || finishing || buffered_bytes >= SRT_CHUNK_SIZE;
    });
    consumer_waiting = false;
    if (closed_flag || buffered_bytes == 0 || max_chunks == 0)
        return 0;
    // Whole chunks only; the rest of a finishing queue goes once nothing else is left.
    size_t n = std::min(buffered_bytes / SRT_CHUNK_SIZE, max_chunks) * SRT_CHUNK_SIZE;
    if (n == 0)
        n = buffered_bytes;
    const size_t first = std::min(n, SRT_QUEUE_CAPACITY - read_pos);
    std::memcpy(dest, storage.get() + read_pos, first);
    std::memcpy(dest + first, storage.get(), n - first);
    read_pos = (read_pos + n) % SRT_QUEUE_CAPACITY;
    buffered_bytes -= n;
    const bool wake = producer_waiting;
    lock.unlock();
    if (wake)
        space_free.notify_all();
    return n;
}

void TsOutputQueue::mark_finishing()
{
    {
        std::lock_guard<std::mutex> lock(queue_lock);
        finishing = true;
    }
    data_ready.notify_all();
    space_free.notify_all();
}

void TsOutputQueue::close_queue()
{
    {
        std::lock_guard<std::mutex> lock(queue_lock);
        closed_flag = true;
        buffered_bytes = 0;
    }
    data_ready.notify_all();
    space_free.notify_all();
}

size_t TsOutputQueue::high_water() const
{
    std::lock_guard<std::mutex> lock(queue_lock);
    return high_water_bytes;
}

size_t TsOutputQueue::buffered() const
{
    std::lock_guard<std::mutex> lock(queue_lock);
    return buffered_bytes;
}

bool TsOutputQueue::closed() const
{
    std::lock_guard<std::mutex> lock(queue_lock);
    return closed_flag;
}
