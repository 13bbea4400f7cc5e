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
    return text;
}

#else
#include <netdb.h>

std::string name_lookup_error_text(int code) { return gai_strerror(code); }

#endif
