#pragma once

// Makes a write to a pipe or socket whose reader has gone fail with an error instead of
// ending the process (SIGPIPE on POSIX; Windows has no such signal).
void ignore_broken_pipe();
