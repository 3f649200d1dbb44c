// GetPrivateProfileStringA over the INI reader.
#include <algorithm>
#include <cstring>
#include <string>

#include "win32/ProfileCache.h"
#include "win32/Win32.h"

DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue,
                               char* buffer, DWORD size, const char* path) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    std::string value;
    const bool found = section != nullptr && key != nullptr && path != nullptr &&
                       ProfileCache::Instance().Lookup(path, section, key, value);
    if (!found) {
        value = defaultValue != nullptr ? defaultValue : "";
    }
    const std::size_t copied = std::min<std::size_t>(value.size(), size - 1);
    std::memcpy(buffer, value.data(), copied);
    buffer[copied] = '\0';
    return static_cast<DWORD>(copied);
}
