#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "packet_queue.h"

// Read-ahead between an input's demuxer and its pacer: at most this much media (newest
// packet time read minus the oldest one waiting) or this many packets, whichever is
// reached first. Past either limit the oldest packet goes without waiting for the others.
constexpr int64_t DTS_REORDER_SPAN_US = 1'000'000;
constexpr size_t DTS_REORDER_MAX_PACKETS = 512;

// Puts the packets of one input back into time order across its streams. Many sources
// (MPEG-TS above all) interleave loosely: a packet often stands in the file after a
// packet of another stream that is due later. Pacing in file order would hold it back
// behind that one. Packets go out by (packet time, track number, file order); the oldest
// one is released once no packet still to be read can come before it: every track has
// shown a packet at or past its time, or the input ended, or a read-ahead limit is hit.
// Packet times never decrease within a track (the reader's timestamp repair), which is
// what makes "a track has gone past it" final. No threads, no FFmpeg calls.
struct DtsReorder {
    std::vector<int32_t> tracks;            // every track the input delivers
    int64_t span_limit_us = DTS_REORDER_SPAN_US;
    size_t packet_limit = DTS_REORDER_MAX_PACKETS;
    std::deque<QueuedPacket> waiting;       // sorted: oldest first
    std::map<int32_t, int64_t> newest_us;   // per track: time of its last packet read
    int64_t newest_any_us = INT64_MIN;
    bool ended = false;                     // nothing more will be added
};

// A fresh reorder for an input delivering `tracks`.
void reorder_init(DtsReorder &reorder, const std::vector<int32_t> &tracks,
                  int64_t span_limit_us = DTS_REORDER_SPAN_US,
                  size_t packet_limit = DTS_REORDER_MAX_PACKETS);

// Adds the next packet in file order. Its time must not be below the previous packet of
// the same track.
void reorder_add(DtsReorder &reorder, QueuedPacket &&entry);

// The input has ended: everything waiting is released in order.
void reorder_end(DtsReorder &reorder);

// True when the oldest waiting packet may be released now.
bool reorder_ready(const DtsReorder &reorder);

// True while the read-ahead is below both limits and the input has not ended: reading
// one more packet while the oldest one waits for its time keeps a slow read from making
// it late.
bool reorder_has_room(const DtsReorder &reorder);

// Removes the oldest waiting packet. Only after reorder_ready returned true.
QueuedPacket reorder_take(DtsReorder &reorder);
