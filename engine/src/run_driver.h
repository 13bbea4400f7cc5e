#pragma once

// The engine's entry: set-up, argument parsing, stop control, one pipeline, shutdown.
// Returns the process exit code (see ResultCode).
int run_driver(int argc, char **argv);

// The four usage lines printed on an argument error.
extern const char USAGE_TEXT[];
