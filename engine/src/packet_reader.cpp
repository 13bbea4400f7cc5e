#include "packet_reader.h"

#include <chrono>
#include <functional>
#include <utility>
#include <vector>

#include "dts_reorder.h"
#include "events_log.h"
#include "ffmpeg_error.h"
#include "pacer.h"

namespace {

// With a packet ready but not due for longer than this, the reader reads ahead first.
constexpr std::chrono::milliseconds READ_AHEAD_MARGIN{3};

bool reader_should_stop(const InputSource &input)
{
    return input.stop_requested.load() || (input.running != nullptr && !input.running->load());
}

// Paces one packet and queues it. False when the loop must end, with `code`.
bool release(InputSource &input, QueuedPacket &&entry, int &code)
{
    if (input.pacer != nullptr &&
        !pacer_wait(*input.pacer, entry.time_us, input.stop_requested, input.running)) {
        code = 0;
        return false;
    }
    if (!queue_wait_room(input.queue, PACKET_QUEUE_REFILL) || !queue_push(input.queue, std::move(entry))) {
        code = AVERROR_EXIT;
        return false;
    }
    if (input.stop_requested.load()) {
        code = 0;
        return false;
    }
    return true;
}

// The oldest packet is due so soon that a read could make it late.
bool head_is_due(InputSource &input, const DtsReorder &reorder)
{
    if (input.pacer == nullptr || !reorder_has_room(reorder))
        return true;
    const auto due = pacer_due(*input.pacer, reorder.waiting.front().time_us);
    return due - std::chrono::steady_clock::now() <= READ_AHEAD_MARGIN;
}

// Releases the packets the reorder lets go, as long as they are due; with room and time
// to spare it returns to read ahead instead. False when the loop must end, with `code`.
bool release_due(InputSource &input, DtsReorder &reorder, int &code)
{
    while (reorder_ready(reorder) && head_is_due(input, reorder)) {
        if (!release(input, reorder_take(reorder), code))
            return false;
    }
    return true;
}

// Reads until the end, a failure or a stop; returns the raw loop code. Packets read
// ahead but not yet released are dropped by a stop.
int read_loop(InputSource &input, DtsReorder &reorder)
{
    PacketPtr packet(av_packet_alloc());
    if (!packet)
        return AVERROR(ENOMEM);

    int code = 0;
    for (;;) {
        if (reader_should_stop(input))
            return 0;
        if (!release_due(input, reorder, code))
            return code;
        const int read_code = av_read_frame(input.format_context.get(), packet.get());
        if (read_code < 0) {
            if (reader_should_stop(input))
                return 0;
            // What was read before the end or the failure still goes out, in order.
            reorder_end(reorder);
            if (!release_due(input, reorder, code))
                return code;
            return read_code;
        }

        const auto track = input.stream_to_track.find(packet->stream_index);
        if (track == input.stream_to_track.end()) {
            av_packet_unref(packet.get());
            continue;
        }

        QueuedPacket entry;
        entry.packet.reset(av_packet_alloc());
        if (!entry.packet) {
            av_packet_unref(packet.get());
            return AVERROR(ENOMEM);
        }
        av_packet_move_ref(entry.packet.get(), packet.get());
        entry.track_number = track->second;

        const AVStream *stream = input.format_context->streams[entry.packet->stream_index];
        entry.time_us = repair_packet_time(input.timestamps, entry.packet->stream_index,
                                           stream->time_base, *entry.packet);
        reorder_add(reorder, std::move(entry));
    }
}

void reader_main(InputSource &input)
{
    DtsReorder reorder;
    std::vector<int32_t> tracks;
    for (const auto &selected : input.stream_to_track)
        tracks.push_back(selected.second);
    reorder_init(reorder, tracks);
    int code = read_loop(input, reorder);
    if (code == AVERROR_EOF)
        code = 0;
    if (reader_should_stop(input))
        code = 0;
    if (code < 0)
        log_line("Input read failed: " + ffmpeg_error_text(code));
    queue_finish(input.queue, code);
}

} // namespace

void start_reader(InputSource &input)
{
    if (input.reader.joinable())
        return;
    if (!input.format_context) {
        // Nothing to read: end at once so a taker is not left waiting.
        queue_finish(input.queue, AVERROR(EINVAL));
        return;
    }
    input.stop_requested.store(false);
    input.reader = std::thread(reader_main, std::ref(input));
}

void stop_reader(InputSource &input)
{
    input.stop_requested.store(true);
    queue_close(input.queue);
    if (input.reader.joinable())
        input.reader.join();
}

bool pop_packet(InputSource &input, QueuedPacket &holder)
{
    return queue_pop(input.queue, holder);
}

int32_t reader_result(InputSource &input) { return queue_result(input.queue); }
