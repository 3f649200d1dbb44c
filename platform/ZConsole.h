// The session's door to the console it shares with the shell: sizing, reading rows,
// writing text, the cursor, the title, the input mode and the console's window.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "console/ConsoleFlow.h"
#include "console/WinCon.h"

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
    // One character into the cell at position, its colour kept; the cursor stays.
    bool WriteCell(COORD position, WCHAR unit);
    // One line of input, without its last character (the CR that ends it).
    bool Read(std::string& line);
    bool SetCursor(COORD position, bool absolute);
    bool GetTitle(std::string& title);
    bool SetTitle(std::string title);
    HWND GetWindowHandle();
    // The visible columns of buffer row (and the rest of each cell into rich, unless
    // null); false when the window is more than one column wider than capacity.
    bool GetOutputRowW(SHORT row, CHAR_INFO* cells, SHORT capacity,
                       const CONSOLE_SCREEN_BUFFER_INFO* info = nullptr, RichCell* rich = nullptr);
    // What erasing leaves now, in full.
    bool GetBlank(RichCell& blank);
    static bool HasScroll(CONSOLE_SCREEN_BUFFER_INFO info);

    // The session's two threads share the console: text one of them writes must not land
    // where the other has put the cursor for a moment (the scroll mark). Writing and
    // placing the cursor take this; hold it around a sequence that must not be split.
    static std::unique_lock<std::recursive_mutex> Exclusive();
    bool SetConsoleMode(DWORD mode);
    // The modes the programs set that the client's terminal applies itself.
    bool GetModes(ConsoleModes& modes);
    // Reports the client's terminal made for the programs, queued unchanged.
    bool PassInput(std::string_view bytes);

    // Holds the console still while the result lives: no program output is applied and
    // what the holder changes (the scroll mark) is not signalled as a change.
    std::unique_ptr<ConsoleCaptureLock> Hold();
    // The events to wait on: the cells changed; the session should look now.
    HANDLE GetChangeEvent();
    HANDLE GetAttentionEvent();
    // kConsoleCaptureWanted, kConsoleInputFull, kConsoleOutputEnded, kConsoleChanged.
    DWORD GetAttention();
    // The longest pause of the programs' output since the last capture, in milliseconds.
    DWORD GetQuietSpell();
    // The mark was planted on row: output is held back before more than lines scroll.
    bool SetScrollGuard(SHORT row, DWORD lines);
    // The planted mark's row now; -1 when it left the buffer, -2 when unknown.
    SHORT GetScrollGuard();
    // The session lets go of the terminal so that it reports the end of the output.
    bool ReleaseTerminal();

  private:
    HANDLE m_hOutput = nullptr;
    HANDLE m_hInput = nullptr;
    HWND m_hWindow = nullptr;
};
