#include "dts_reorder.h"

#include <utility>

namespace {

// Release order: time, then track (video before audio on a tie), then file order.
bool goes_before(const QueuedPacket &a, const QueuedPacket &b)
{
    if (a.time_us != b.time_us)
        return a.time_us < b.time_us;
    return a.track_number < b.track_number;
}

// No packet of `track` that is still to be read can go before `head`.
bool track_is_past(const DtsReorder &reorder, int32_t track, const QueuedPacket &head)
{
    if (track == head.track_number)
        return true;
    const auto newest = reorder.newest_us.find(track);
    if (newest == reorder.newest_us.end())
        return false;
    // At the same time: a tie that only a repeated time could break, not worth a wait.
    return newest->second >= head.time_us;
}

} // namespace

void reorder_init(DtsReorder &reorder, const std::vector<int32_t> &tracks, int64_t span_limit_us,
                  size_t packet_limit)
{
    reorder.tracks = tracks;
    reorder.span_limit_us = span_limit_us;
    reorder.packet_limit = packet_limit;
    reorder.waiting.clear();
    reorder.newest_us.clear();
    reorder.newest_any_us = INT64_MIN;
    reorder.ended = false;
}

void reorder_add(DtsReorder &reorder, QueuedPacket &&entry)
{
    reorder.newest_us[entry.track_number] = entry.time_us;
    if (entry.time_us > reorder.newest_any_us)
        reorder.newest_any_us = entry.time_us;
    // Nearly every packet belongs at or near the back, so search from there.
    auto place = reorder.waiting.end();
    while (place != reorder.waiting.begin() && goes_before(entry, *std::prev(place)))
        --place;
    reorder.waiting.insert(place, std::move(entry));
}

void reorder_end(DtsReorder &reorder) { reorder.ended = true; }

bool reorder_has_room(const DtsReorder &reorder)
{
    if (reorder.ended || reorder.waiting.size() >= reorder.packet_limit)
        return false;
    return reorder.waiting.empty() ||
           reorder.newest_any_us - reorder.waiting.front().time_us < reorder.span_limit_us;
}

bool reorder_ready(const DtsReorder &reorder)
{
    if (reorder.waiting.empty())
        return false;
    if (reorder.ended || reorder.waiting.size() >= reorder.packet_limit)
        return true;
    const QueuedPacket &head = reorder.waiting.front();
    if (reorder.newest_any_us - head.time_us >= reorder.span_limit_us)
        return true;
    for (const int32_t track : reorder.tracks) {
        if (!track_is_past(reorder, track, head))
            return false;
    }
    return true;
}

QueuedPacket reorder_take(DtsReorder &reorder)
{
    QueuedPacket head = std::move(reorder.waiting.front());
    reorder.waiting.pop_front();
    return head;
}
