#pragma once

#include "engine_options.h"

// Relays one media address carrying video and audio; returns the engine's exit code.
int run_combined(const EngineOptions &options);
