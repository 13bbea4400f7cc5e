#include "split_pipeline.h"

// Placeholder until the media pipeline lands.
int run_split(const EngineOptions &) { return RESULT_OK; }
