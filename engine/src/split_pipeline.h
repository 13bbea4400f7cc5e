#pragma once

#include "engine_options.h"

// Relays a video-only and an audio-only address together; returns the engine's exit code.
int run_split(const EngineOptions &options);
