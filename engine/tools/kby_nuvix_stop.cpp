// kby_nuvix_stop: asks a running engine to stop, the way the desktop program does.
//
//   kby_nuvix_stop <engine process id>
//
// Sets the engine's named stop event (the same call the window makes). The engine then
// drops its buffered output, closes the SRT connection and exits with 0. This program
// does not wait for that.
// Exit code 0 when the event was set; 1 when the process has no stop event (it is not
// an engine, it has ended, or it runs as another user); 2 on a bad argument.

#include "stop_event.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    char *end = nullptr;
    errno = 0;
    const long pid = argc == 2 ? std::strtol(argv[1], &end, 10) : 0;
    if (argc != 2 || errno != 0 || end == argv[1] || *end != '\0' || pid < 1) {
        std::fputs("usage: kby_nuvix_stop <engine process id>\n", stderr);
        return 2;
    }
    if (!signal_stop_event(pid)) {
        std::fprintf(stderr, "kby_nuvix_stop: no stop event %s\n", stop_event_name(pid).c_str());
        return 1;
    }
    return 0;
}
