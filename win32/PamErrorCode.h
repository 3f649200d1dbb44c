// Error codes of the log-on. Last-error codes are errno values; a PAM result is carried
// with a tag, so the two never collide and GetErrorMessage can tell them apart.
#pragma once

#include "win32/Win32.h"

constexpr DWORD kPamErrorTag = 0x20000000;

// The code for a PAM result.
constexpr DWORD PamErrorCode(int pamResult) {
    return kPamErrorTag | static_cast<DWORD>(pamResult);
}

// A refused log-on, as a wrong password refuses it (PAM_AUTH_ERR).
constexpr DWORD kLogonRefused = kPamErrorTag | 7;
