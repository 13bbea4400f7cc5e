#pragma once

#include <QString>

// yt-dlp codec filters: H.264/H.265 video, AAC/MP3/Opus audio. The optional
// audio form also lets through formats that report no audio codec.
constexpr const char VIDEO_CODEC_FILTER[] = R"x([vcodec~="^(avc|h264|hev|h265|hvc)"])x";
constexpr const char AUDIO_CODEC_FILTER[] = R"x([acodec~="^(aac|mp4a|mp3|opus)"])x";
constexpr const char AUDIO_CODEC_FILTER_OPTIONAL[] = R"x([acodec~=?"^(aac|mp4a|mp3|opus)"])x";

// The yt-dlp format selector for an HLS or non-HLS attempt; maxHeight 0
// means no height limit.
QString buildFormatSelector(bool hls, int maxHeight);

// The name of a height limit as the quality choice shows it: "max" for none,
// "4K" for 2160, otherwise the number.
QString qualityLabel(int maxHeight);
