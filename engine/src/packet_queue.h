#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

extern "C" {
#include <libavcodec/packet.h>
}

struct AvPacketDeleter {
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, AvPacketDeleter>;

// Most packets one input may hold between its reader and the pipeline.
constexpr uint64_t PACKET_QUEUE_CAPACITY = 256;
// Room a reader that found its queue full waits for before it reads on.
constexpr uint64_t PACKET_QUEUE_REFILL = 64;

// One demuxed packet on its way to the muxer. Moved, never copied.
struct QueuedPacket {
    PacketPtr packet;           // repaired DTS/PTS, still in its stream's time base
    int32_t track_number = -1;  // -1 in an empty holder
    int64_t time_us = 0;        // packet time (never decreasing within a stream)
};

// Bounded FIFO between one reader thread and the pipeline thread.
// open -> finished (reader ended, entries still taken) -> closed (entries freed).
struct PacketQueue {
    std::mutex mutex;  // guards every field below
    std::condition_variable not_empty;
    std::condition_variable not_full;
    uint64_t capacity = PACKET_QUEUE_CAPACITY;
    std::deque<QueuedPacket> entries;
    uint64_t count = 0;
    bool finished = false;
    bool closed = false;
    int32_t result = 0;  // 0 end or stop, negative FFmpeg code for a read failure
    uint64_t producers_waiting = 0;
    uint64_t room_wanted = 0;  // least free room any waiting producer needs; 0 when none waits
};

// Appends, waiting while the queue is full. Returns false (entry dropped) once closed.
bool queue_push(PacketQueue &queue, QueuedPacket &&entry);

// Returns at once while the queue has room; when full, waits until `room` entries are
// free, so that a taker is not made to wake the producer for every entry. False once closed.
bool queue_wait_room(PacketQueue &queue, uint64_t room);

// Moves the oldest entry into `holder` (freeing its previous packet). Waits while the
// queue is empty and open. Returns false when closed, or finished and empty.
bool queue_pop(PacketQueue &queue, QueuedPacket &holder);

// The reader has ended with `result`; waiters on both conditions are woken.
void queue_finish(PacketQueue &queue, int32_t result);

// Shuts the queue: queued packets are freed, nothing more can be taken or added.
void queue_close(PacketQueue &queue);

int32_t queue_result(PacketQueue &queue);
uint64_t queue_count(PacketQueue &queue);
