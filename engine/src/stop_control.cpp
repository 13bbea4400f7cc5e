#include "stop_control.h"

std::atomic<bool> keep_running{true};
std::atomic<bool> stop_event_armed{true};
