#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What a media file holds, read packet by packet with libavformat: for checking what a
// relay delivered (the received TS) against its source.

struct ProbedStream {
    std::string type;            // "video", "audio", other media type names
    std::string codec;           // codec name, e.g. "h264", "aac"
    int64_t packets = 0;
    double first_dts = 0;        // seconds; timestamps of the first and last packet
    double first_pts = 0;
    double last_dts = 0;
    double end_time = 0;         // last PTS + its duration, seconds
    bool dts_increasing = true;  // every DTS strictly above the previous one of this stream
    bool has_missing_ts = false; // a packet without DTS
    int time_base_num = 0;       // raw timestamps below are in this time base
    int time_base_den = 1;
    std::vector<int64_t> dts;    // every packet's DTS and PTS, in file order
    std::vector<int64_t> pts;
};

struct ProbedMedia {
    bool ok = false;
    std::string error;
    std::string format;          // demuxer name, e.g. "mpegts"
    std::vector<ProbedStream> streams;
    double start_time = 0;       // smallest first DTS/PTS over all streams, seconds
    double end_time = 0;         // largest stream end, seconds
    double duration() const { return end_time - start_time; }
    // First stream of a type, or null.
    const ProbedStream *find(const std::string &type) const;
};

// Demuxes the whole file. Stream times are not shifted: a TS starting at 1.4 s reports 1.4.
ProbedMedia probe_media(const std::string &path);

// Size of a file in bytes; -1 when missing.
int64_t file_size(const std::string &path);
