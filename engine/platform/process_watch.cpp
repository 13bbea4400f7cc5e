#include "process_watch.h"

#ifdef _WIN32
#include <windows.h>

bool process_is_running(long pid)
{
    if (pid < 1)
        return false;
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!h)
        return false;
    DWORD code = 0;
    const BOOL ok = GetExitCodeProcess(h, &code);
    CloseHandle(h);
    return ok && code == STILL_ACTIVE;
}

#else
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/types.h>

namespace {

// A zombie has ended; only its parent has not collected it yet.
bool is_zombie(long pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE *f = std::fopen(path.c_str(), "r");
    if (!f)
        return false;
    char buf[512];
    const size_t n = std::fread(buf, 1, sizeof(buf) - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    // The command name in parentheses may hold blanks and parentheses: the state
    // follows the last closing one.
    const char *close_paren = std::strrchr(buf, ')');
    return close_paren && close_paren[1] == ' ' && close_paren[2] == 'Z';
}

} // namespace

bool process_is_running(long pid)
{
    if (pid < 1)
        return false;
    if (kill(static_cast<pid_t>(pid), 0) != 0)
        return false;
    return !is_zombie(pid);
}

#endif
