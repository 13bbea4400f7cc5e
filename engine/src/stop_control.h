#pragma once

#include <atomic>

// Process-wide run flags. Only ever cleared (true -> false), never set back.
extern std::atomic<bool> keep_running;
extern std::atomic<bool> stop_event_armed;
