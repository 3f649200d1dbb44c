// The system's description of an errno value, safe to use from any thread.
#pragma once

#include <cstring>
#include <string>

inline std::string ErrorText(int code) {
    const char* text = ::strerrordesc_np(code);
    return text != nullptr ? text : "error " + std::to_string(code);
}
