#pragma once

#include <string>

// The system's message for a getaddrinfo result code.
std::string name_lookup_error_text(int code);
