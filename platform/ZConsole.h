// The session's door to the console it shares with the shell: sizing, reading rows,
// writing text, the cursor, the title, the input mode and the console's window.
#pragma once

#include <mutex>
#include <string>

#include "platform/win32/Win32.h"

class ZConsole {
  public:
    ZConsole() = default;

    HANDLE GetOutputHandle();
    HANDLE GetInputHandle();
    bool GetConsoleInfo(CONSOLE_SCREEN_BUFFER_INFO& info);
    // Makes the visible window exactly size, growing the buffer when it is too small.
    bool SetScreenSize(COORD size);
    // Makes the buffer exactly size, shrinking the window first when it would not fit.
    bool SetBuffSize(COORD size);
    bool Write(std::string text);
    bool WriteW(std::u16string text);
    bool WriteW(WCHAR unit);
    // One line of input, without its last character (the CR that ends it).
    bool Read(std::string& line);
    bool GetCursor(COORD& position, bool absolute,
                   const CONSOLE_SCREEN_BUFFER_INFO* info = nullptr);
    bool SetCursor(COORD position, bool absolute);
    bool GetTitle(std::string& title);
    bool SetTitle(std::string title);
    HWND GetWindowHandle();
    // The visible columns of buffer row; false when the window is more than one column
    // wider than capacity.
    bool GetOutputRowW(SHORT row, CHAR_INFO* cells, SHORT capacity,
                       const CONSOLE_SCREEN_BUFFER_INFO* info = nullptr);
    static bool HasScroll(CONSOLE_SCREEN_BUFFER_INFO info);

    // The session's two threads share the console: text one of them writes must not land
    // where the other has put the cursor for a moment (the scroll mark). Writing and
    // placing the cursor take this; hold it around a sequence that must not be split.
    static std::unique_lock<std::recursive_mutex> Exclusive();
    bool SetConsoleMode(DWORD mode);

  private:
    HANDLE m_hOutput = nullptr;
    HANDLE m_hInput = nullptr;
    HWND m_hWindow = nullptr;
};
