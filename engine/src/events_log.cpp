#include "events_log.h"

#include <cstdio>
#include <ctime>
#include <mutex>

namespace {

std::mutex &log_mutex()
{
    static std::mutex m;
    return m;
}

} // namespace

void emit_event(const std::string &name, const std::string &detail)
{
    std::fputs("{\"event\":\"", stdout);
    std::fputs(name.c_str(), stdout);
    std::fputs("\"", stdout);
    if (!detail.empty()) {
        std::fputs(",\"detail\":\"", stdout);
        std::fputs(detail.c_str(), stdout);
        std::fputs("\"", stdout);
    }
    std::fputs("}\n", stdout);
    std::fflush(stdout);
}

void log_line(const std::string &text)
{
    std::lock_guard<std::mutex> lock(log_mutex());
    std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    char stamp[32];
    if (std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local) == 0)
        stamp[0] = '\0';
    // fwrite rather than %s: a message may carry NUL bytes from a library's text.
    std::fprintf(stderr, "%s  ", stamp);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}
