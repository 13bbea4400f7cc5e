#include "events_log.h"

#include <cstdio>
#include <ctime>
#include <mutex>

namespace {

// The log lock: keeps the lines of different threads whole.
std::mutex &log_mutex()
{
    static std::mutex m;
    return m;
}

} // namespace

void emit_event(const std::string &name, const std::string &detail)
{
    std::string line = "{\"event\":\"" + name + "\"";
    if (!detail.empty())
        line += ",\"detail\":\"" + detail + "\"";
    line += "}\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void emit_event_object(const std::string &object)
{
    const std::string line = object + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

std::string format_log_line(std::time_t when, const std::string &text)
{
    std::tm local {};
    char stamp[32] = "";
    if (localtime_r(&when, &local) == nullptr
        || std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local) == 0)
        stamp[0] = '\0';
    std::string line(stamp);
    line += "  ";
    line += text;   // appended as bytes: a library's text may carry any byte
    line += '\n';
    return line;
}

void log_line(const std::string &text)
{
    std::lock_guard<std::mutex> lock(log_mutex());
    // One stdio call per line: FFmpeg's own messages, written outside this lock,
    // then cannot land in the middle of it.
    const std::string line = format_log_line(std::time(nullptr), text);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}
