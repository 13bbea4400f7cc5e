#include "ffmpeg_error.h"

extern "C" {
#include <libavutil/error.h>
}

std::string ffmpeg_error_text(int code)
{
    char text[64] = {0};
    // av_strerror writes a generic text itself when it does not know the code.
    av_strerror(code, text, sizeof text);
    return std::to_string(code) + " (" + text + ")";
}
