#pragma once

#include <string>

// Advice for a receiver's refusal of the handshake: when the reason (srt_getrejectreason)
// says the transfer modes differ, what to change in the SRT address, judged from the
// engine's own mode (live: it sent transtype=live). Empty for every other reason.
std::string transfer_mode_hint(int reject_reason, bool live);
