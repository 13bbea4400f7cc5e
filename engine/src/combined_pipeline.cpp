#include "combined_pipeline.h"

// Placeholder until the media pipeline lands.
int run_combined(const EngineOptions &) { return RESULT_OK; }
