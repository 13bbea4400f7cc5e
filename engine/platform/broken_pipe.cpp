#include "broken_pipe.h"

#ifdef _WIN32

void ignore_broken_pipe() {}

#else
#include <csignal>

void ignore_broken_pipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}

#endif
