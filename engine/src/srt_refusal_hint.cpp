#include "srt_refusal_hint.h"

#include <srt/srt.h>

std::string transfer_mode_hint(int reject_reason, bool live)
{
    // File mode is a stream, live mode a message API with its own congestion control;
    // libsrt names whichever difference it checks first.
    if (reject_reason != SRT_REJ_MESSAGEAPI && reject_reason != SRT_REJ_CONGESTION)
        return std::string();
    if (live)
        return "SRT hint: the receiver expects file mode; remove transtype=live from the SRT address";
    return "SRT hint: the receiver expects live mode; add transtype=live to the SRT address";
}
