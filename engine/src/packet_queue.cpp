#include "packet_queue.h"

#include <utility>

namespace {

// Called with the queue's mutex held. Takes wake a producer only once the room it
// waits for is there.
void begin_room_wait(PacketQueue &queue, uint64_t room)
{
    ++queue.producers_waiting;
    if (queue.room_wanted == 0 || room < queue.room_wanted)
        queue.room_wanted = room;
}

void end_room_wait(PacketQueue &queue)
{
    if (--queue.producers_waiting == 0)
        queue.room_wanted = 0;
}

} // namespace

bool queue_push(PacketQueue &queue, QueuedPacket &&entry)
{
    {
        std::unique_lock<std::mutex> lock(queue.mutex);
        if (!queue.closed && queue.count >= queue.capacity) {
            begin_room_wait(queue, 1);
            queue.not_full.wait(lock, [&] { return queue.closed || queue.count < queue.capacity; });
            end_room_wait(queue);
        }
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

bool queue_wait_room(PacketQueue &queue, uint64_t room)
{
    std::unique_lock<std::mutex> lock(queue.mutex);
    if (queue.closed || queue.count < queue.capacity)
        return !queue.closed;
    const uint64_t wanted = room < 1 ? 1 : (room > queue.capacity ? queue.capacity : room);
    begin_room_wait(queue, wanted);
    queue.not_full.wait(lock, [&] { return queue.closed || queue.capacity - queue.count >= wanted; });
    end_room_wait(queue);
    return !queue.closed;
}

bool queue_pop(PacketQueue &queue, QueuedPacket &holder)
{
    QueuedPacket previous;  // the holder's old packet, freed after the lock is released
    bool wake = false;
    {
        std::unique_lock<std::mutex> lock(queue.mutex);
        queue.not_empty.wait(lock, [&] { return queue.closed || queue.count > 0 || queue.finished; });
        if (queue.closed || queue.count == 0)
            return false;
        previous = std::move(holder);
        holder = std::move(queue.entries.front());
        queue.entries.pop_front();
        --queue.count;
        wake = queue.room_wanted != 0 && queue.capacity - queue.count >= queue.room_wanted;
    }
    if (wake)
        queue.not_full.notify_all();
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
