#include "name_lookup_error.h"

#ifdef _WIN32
#include <windows.h>

std::string name_lookup_error_text(int code)
{
    char buf[1024] = {0};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(code), 0, buf, sizeof(buf), nullptr);
    std::string text(buf, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    // Not every system's message table has every Winsock code (Wine lacks some); a bare
    // "getaddrinfo: " would tell the reader nothing.
    if (text.empty())
        text = "error " + std::to_string(code);
    return text;
}

#else
#include <netdb.h>

std::string name_lookup_error_text(int code) { return gai_strerror(code); }

#endif
