// The console functions of the seam over the process's console host.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "console/ConsoleHost.h"
#include "console/WinCon.h"

HANDLE GetStdHandle(DWORD which) {
    ConsoleHost* host = ConsoleHost::Instance();
    if (host == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    switch (which) {
        case STD_INPUT_HANDLE:
            return host->InputHandle();
        case STD_OUTPUT_HANDLE:
        case STD_ERROR_HANDLE:
            return host->OutputHandle();
        default:
            SetLastError(EINVAL);
            return INVALID_HANDLE_VALUE;
    }
}

BOOL GetConsoleScreenBufferInfo(HANDLE output, CONSOLE_SCREEN_BUFFER_INFO* info) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    return host != nullptr && info != nullptr && host->GetInfo(*info) ? TRUE : FALSE;
}

BOOL SetConsoleScreenBufferSize(HANDLE output, COORD size) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    return host != nullptr && host->SetBufferSize(size) ? TRUE : FALSE;
}

BOOL SetConsoleWindowInfo(HANDLE output, BOOL absolute, const SMALL_RECT* window) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    if (host == nullptr || window == nullptr) {
        return FALSE;
    }
    SMALL_RECT rect = *window;
    if (!absolute) {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        host->GetInfo(info);
        rect.Left = static_cast<SHORT>(rect.Left + info.srWindow.Left);
        rect.Top = static_cast<SHORT>(rect.Top + info.srWindow.Top);
        rect.Right = static_cast<SHORT>(rect.Right + info.srWindow.Right);
        rect.Bottom = static_cast<SHORT>(rect.Bottom + info.srWindow.Bottom);
    }
    return host->SetWindow(rect) ? TRUE : FALSE;
}

BOOL SetConsoleCursorPosition(HANDLE output, COORD position) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    return host != nullptr && host->SetCursor(position) ? TRUE : FALSE;
}

BOOL WriteConsoleA(HANDLE output, const void* text, DWORD length, DWORD* written,
                   void* /*reserved*/) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    if (host == nullptr || (text == nullptr && length > 0)) {
        return FALSE;
    }
    host->Write(std::string_view(static_cast<const char*>(text), length));
    if (written != nullptr) {
        *written = length;
    }
    return TRUE;
}

BOOL WriteConsoleW(HANDLE output, const void* text, DWORD length, DWORD* written,
                   void* /*reserved*/) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    if (host == nullptr || (text == nullptr && length > 0)) {
        return FALSE;
    }
    host->Write(std::u16string_view(static_cast<const char16_t*>(text), length));
    if (written != nullptr) {
        *written = length;
    }
    return TRUE;
}

BOOL WriteConsoleOutputCharacterW(HANDLE output, const WCHAR* characters, DWORD length, COORD coord,
                                  DWORD* written) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    DWORD count = 0;
    if (host == nullptr || (characters == nullptr && length > 0) ||
        !host->WriteCharacters(coord, std::u16string_view(characters, length), count)) {
        return FALSE;
    }
    if (written != nullptr) {
        *written = count;
    }
    return TRUE;
}

BOOL ReadConsoleA(HANDLE input, void* buffer, DWORD length, DWORD* read, void* /*control*/) {
    ConsoleHost* host = ConsoleHost::ForHandle(input, false);
    DWORD count = 0;
    if (host == nullptr || buffer == nullptr || length == 0 ||
        !host->ReadInput(static_cast<char*>(buffer), length, count)) {
        return FALSE;
    }
    if (read != nullptr) {
        *read = count;
    }
    return TRUE;
}

BOOL ReadConsoleOutputW(HANDLE output, CHAR_INFO* cells, COORD size, COORD origin,
                        SMALL_RECT* region) {
    ConsoleHost* host = ConsoleHost::ForHandle(output, true);
    return host != nullptr && cells != nullptr && region != nullptr &&
                   host->ReadOutput(cells, size, origin, *region)
               ? TRUE
               : FALSE;
}

DWORD GetConsoleTitleA(char* title, DWORD size) {
    ConsoleHost* host = ConsoleHost::Instance();
    if (host == nullptr || title == nullptr || size == 0) {
        return 0;
    }
    const std::string current = host->Title();
    const std::size_t n = std::min<std::size_t>(current.size(), size - 1);
    std::memcpy(title, current.data(), n);
    title[n] = '\0';
    if (n == 0) {
        SetLastError(ENODATA);
    }
    return static_cast<DWORD>(n);
}

BOOL SetConsoleTitleA(const char* title) {
    ConsoleHost* host = ConsoleHost::Instance();
    if (host == nullptr || title == nullptr) {
        return FALSE;
    }
    host->SetTitle(title);
    return TRUE;
}

BOOL SetConsoleMode(HANDLE handle, DWORD mode) {
    ConsoleHost* host = ConsoleHost::Instance();
    if (host == nullptr) {
        return FALSE;
    }
    if (handle == host->OutputHandle()) {
        return TRUE;  // output is always processed
    }
    if (handle != host->InputHandle()) {
        SetLastError(EBADF);
        return FALSE;
    }
    return host->SetInputMode(mode) ? TRUE : FALSE;
}

BOOL GetConsoleMode(HANDLE handle, DWORD* mode) {
    ConsoleHost* host = ConsoleHost::ForHandle(handle, false);
    return host != nullptr && mode != nullptr && host->GetInputMode(*mode) ? TRUE : FALSE;
}

HWND FindWindowA(const char* /*className*/, const char* windowName) {
    ConsoleHost* host = ConsoleHost::Instance();
    if (host == nullptr) {
        return nullptr;
    }
    if (windowName == nullptr || host->Title() != windowName) {
        SetLastError(ENOENT);
        return nullptr;
    }
    return host->WindowHandle();
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ConsoleHost* host = ConsoleHost::Instance();
    if (host == nullptr) {
        return FALSE;
    }
    if (window == nullptr || window != host->WindowHandle()) {
        SetLastError(EBADF);
        return FALSE;
    }
    return host->PostKeyMessage(message, wParam, lParam) ? TRUE : FALSE;
}

BOOL GenerateConsoleCtrlEvent(DWORD event, DWORD /*processGroupId*/) {
    ConsoleHost* host = ConsoleHost::Instance();
    if (host == nullptr) {
        return FALSE;
    }
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        SetLastError(EINVAL);
        return FALSE;
    }
    return host->InterruptForeground() ? TRUE : FALSE;
}
