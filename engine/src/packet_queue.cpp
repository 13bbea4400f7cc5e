#include "packet_queue.h"

#include <utility>

bool queue_push(PacketQueue &queue, QueuedPacket &&entry)
{
    {
        std::unique_lock<std::mutex> lock(queue.mutex);
        queue.not_full.wait(lock, [&] { return queue.closed || queue.count < queue.capacity; });
        if (queue.closed) {
            lock.unlock();
            entry.packet.reset();
            return false;
        }
        queue.entries.push_back(std::move(entry));
        ++queue.count;
    }
    queue.not_empty.notify_one();
    return true;
}

bool queue_pop(PacketQueue &queue, QueuedPacket &holder)
{
    QueuedPacket previous;  // the holder's old packet, freed after the lock is released
    {
        std::unique_lock<std::mutex> lock(queue.mutex);
        queue.not_empty.wait(lock, [&] { return queue.closed || queue.count > 0 || queue.finished; });
        if (queue.closed || queue.count == 0)
            return false;
        previous = std::move(holder);
        holder = std::move(queue.entries.front());
        queue.entries.pop_front();
        --queue.count;
    }
    queue.not_full.notify_one();
    return true;
}

void queue_finish(PacketQueue &queue, int32_t result)
{
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.finished = true;
        queue.result = result;
    }
    queue.not_empty.notify_all();
    queue.not_full.notify_all();
}

void queue_close(PacketQueue &queue)
{
    std::deque<QueuedPacket> dropped;
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.closed = true;
        dropped.swap(queue.entries);
        queue.count = 0;
    }
    queue.not_empty.notify_all();
    queue.not_full.notify_all();
    // `dropped` frees its packets here, outside the lock.
}

int32_t queue_result(PacketQueue &queue)
{
    std::lock_guard<std::mutex> lock(queue.mutex);
    return queue.result;
}

uint64_t queue_count(PacketQueue &queue)
{
    std::lock_guard<std::mutex> lock(queue.mutex);
    return queue.count;
}
