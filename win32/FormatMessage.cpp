// The text of an error code: the system's description, or PAM's for a PAM result. Kept
// apart from the rest of the seam's system calls, so that a program that never logs on
// (zavd) does not load PAM for them.
#include <security/pam_appl.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "win32/PamErrorCode.h"
#include "win32/Win32.h"

DWORD FormatMessageA(DWORD flags, DWORD code, std::string& text) {
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0) {
        SetLastError(EINVAL);
        return 0;
    }
    const char* message = nullptr;
    if ((code & kPamErrorTag) != 0) {
        const int pamCode = static_cast<int>(code & ~kPamErrorTag);
        if (pamCode >= 0 && pamCode < _PAM_RETURN_VALUES) {
            message = ::pam_strerror(nullptr, pamCode);
        }
    } else if (code <= 0x7FFFFFFF) {
        message = ::strerrordesc_np(static_cast<int>(code));
    }
    if (message == nullptr) {
        SetLastError(EINVAL);
        return 0;
    }
    text = std::string(message) + "\r\n";
    return static_cast<DWORD>(text.size());
}
