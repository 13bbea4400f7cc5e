#pragma once

#include <string>
#include <vector>

// Small media files made with the ffmpeg command-line tool on first use and cached in
// NUVIX_TEST_DATA_DIR, so nothing binary is committed. Safe when several test programs
// ask for the same file at once: each writes a private temporary file and renames it.
// Every function returns the absolute path, or an empty string when ffmpeg failed
// (the reason is printed to standard error).
namespace test_media {

// The cache folder (created when missing).
std::string data_dir();

// ffmpeg output arguments that make file `name` from the lavfi sources test pattern
// (320x240, 25 fps) and a 440 Hz tone (44.1 kHz stereo) lasting `seconds`.
// `inputs` says which of the two sources are used: "va", "v" or "a".
std::string generate(const std::string &name, const std::string &inputs, double seconds,
                     const std::vector<std::string> &output_args);

// H.264 + AAC in MP4 (moov first), `seconds` long (default 3).
std::string h264_aac_mp4(double seconds = 3.0);

// The same content as an MPEG-TS file with timestamps starting at 0.
std::string h264_aac_ts(double seconds = 3.0);

// HLS VOD playlist (1-second segments) of H.264 + AAC; returns the .m3u8 path. The
// segments sit next to it in their own folder.
std::string hls_vod(double seconds = 3.0);

// Video only (H.264 MP4) and audio only (AAC M4A).
std::string video_only_mp4(double seconds = 3.0);
std::string audio_only_m4a(double seconds = 3.0);

// Video only / audio only MPEG-TS whose first timestamps are `start_seconds` in, for
// checks of the shared start offset of a split run.
std::string video_only_ts_at(double start_seconds, double seconds = 3.0);
std::string audio_only_ts_at(double start_seconds, double seconds = 3.0);

// AV1 video (+ AAC) in MP4 when ffmpeg has an AV1 encoder; empty otherwise.
std::string av1_mp4();
bool has_av1_encoder();

}  // namespace test_media
