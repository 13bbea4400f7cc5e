#pragma once

#include <cstdint>

#include "input_source.h"

// The reader queues its input's packets in time order across the input's streams (see
// dts_reorder.h), reading ahead of what it has queued; when its queue is full it waits for
// room for a batch. With a pacer it also holds each packet back until it is due.

// Starts the input's reader thread (clears stop requested). Once per input.
void start_reader(InputSource &input);

// Sets stop requested, closes the queue (freeing its packets) and joins the reader.
// Safe when the reader already ended or never started.
void stop_reader(InputSource &input);

// Takes the oldest packet into `holder`. False when the queue is closed, or finished
// and empty; blocks otherwise until a packet comes.
bool pop_packet(InputSource &input, QueuedPacket &holder);

// The reader's final code: 0 normal end or stop, negative FFmpeg code on read failure.
// Meaningful once pop_packet returned false, or after stop_reader.
int32_t reader_result(InputSource &input);
