#pragma once

#include <string>

// Machine-readable event line on standard output: {"event":"name"} or
// {"event":"name","detail":"detail"}. Only the main thread writes events.
void emit_event(const std::string &name, const std::string &detail = std::string());

// Timestamped line for people on standard error ("YYYY-MM-DD HH:MM:SS  text").
// Safe from any thread: the log lock keeps lines whole.
void log_line(const std::string &text);
