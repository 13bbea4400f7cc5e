#pragma once

#include <ctime>
#include <string>

// Machine-readable event line on standard output: {"event":"name"} or
// {"event":"name","detail":"detail"}; no detail member when detail is empty.
// Only the main thread writes events.
void emit_event(const std::string &name, const std::string &detail = std::string());

// An event line that carries more than a name and a detail: `object` is the whole JSON
// object, written as given and followed by a line end. Main thread only, like emit_event.
void emit_event_object(const std::string &object);

// Timestamped line for people on standard error ("YYYY-MM-DD HH:MM:SS  text").
// Safe from any thread: the log lock keeps lines whole.
void log_line(const std::string &text);

// The bytes log_line writes for text at time when (local time), newline included.
std::string format_log_line(std::time_t when, const std::string &text);
