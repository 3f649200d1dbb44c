// The console functions of the Windows-shaped seam, over the console engine: the
// process's console, created on first use, and the handles that refer to it.
#pragma once

#include <memory>

#include "win32/Win32.h"

// The largest screen buffer height SetConsoleScreenBufferSize takes.
constexpr SHORT CONSOLE_MAX_BUFFER_HEIGHT = 32766;

// The console is created on first use. Its output, input and window handles refer to it.
HANDLE GetStdHandle(DWORD which);
BOOL GetConsoleScreenBufferInfo(HANDLE output, CONSOLE_SCREEN_BUFFER_INFO* info);
BOOL SetConsoleScreenBufferSize(HANDLE output, COORD size);
BOOL SetConsoleWindowInfo(HANDLE output, BOOL absolute, const SMALL_RECT* window);
BOOL SetConsoleCursorPosition(HANDLE output, COORD position);
BOOL WriteConsoleA(HANDLE output, const void* text, DWORD length, DWORD* written, void* reserved);
BOOL WriteConsoleW(HANDLE output, const void* text, DWORD length, DWORD* written, void* reserved);
BOOL ReadConsoleA(HANDLE input, void* buffer, DWORD length, DWORD* read, void* control);
// Characters into consecutive cells from coord on, their colours kept; the cursor stays.
BOOL WriteConsoleOutputCharacterW(HANDLE output, const WCHAR* characters, DWORD length, COORD coord,
                                  DWORD* written);
BOOL ReadConsoleOutputW(HANDLE output, CHAR_INFO* cells, COORD size, COORD origin,
                        SMALL_RECT* region);
DWORD GetConsoleTitleA(char* title, DWORD size);
BOOL SetConsoleTitleA(const char* title);
BOOL SetConsoleMode(HANDLE handle, DWORD mode);
BOOL GetConsoleMode(HANDLE handle, DWORD* mode);
HWND FindWindowA(const char* className, const char* windowName);
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL GenerateConsoleCtrlEvent(DWORD event, DWORD processGroupId);

// ---- this platform's additions to the console ------------------------------------------
// The session reacts to the console's events instead of polling it on a clock, and
// keeps whole bursts of output for the client's scroll-back. These calls have no
// Windows counterpart.

// The console's auto-reset events, for waiting: CONSOLE_EVENT_CHANGED is set whenever
// the cells change, CONSOLE_EVENT_ATTENTION when GetConsoleAttention has news.
constexpr DWORD CONSOLE_EVENT_CHANGED = 0;
constexpr DWORD CONSOLE_EVENT_ATTENTION = 1;
HANDLE GetConsoleEvent(HANDLE output, DWORD which);

// What the session should act on now. These are states, not events: the events only wake
// a waiter, which then reads the states, so a wake-up taken by another wait loses nothing.
constexpr DWORD CONSOLE_CAPTURE_WANTED = 0x1;  // output is held back until the next capture
constexpr DWORD CONSOLE_INPUT_FULL = 0x2;      // the program is behind in reading its input
constexpr DWORD CONSOLE_OUTPUT_ENDED = 0x4;    // after ReleaseConsoleTerminal: all is read
constexpr DWORD CONSOLE_CHANGED = 0x8;         // the cells changed since the last capture
DWORD GetConsoleAttention(HANDLE output);
// The longest pause in milliseconds of the programs' output (nothing was left to read)
// that ended since the last capture began; a burst of output starts after one.
DWORD GetConsoleQuietSpell(HANDLE output);

// Keeps the console still while the object lives: no program output is applied, no other
// thread uses the console, and the holder's own changes are not signalled as changes.
class CONSOLE_LOCK {
  public:
    virtual ~CONSOLE_LOCK() = default;
};
std::unique_ptr<CONSOLE_LOCK> LockConsole(HANDLE output);

// The scroll mark sits on buffer row `row`: hold the program's output back before more
// than `lines` lines scroll past it (or it would leave the buffer), asking for a capture
// as that point nears. 0 lines: never hold back.
BOOL SetConsoleScrollGuard(HANDLE output, SHORT row, DWORD lines);
// Where the last planted mark's row is now (the rows that scrolled since moved it up,
// even if a program wrote over the mark itself): -1 when it left the buffer, -2 when
// unknown (no mark planted, or the buffer was resized since).
BOOL GetConsoleScrollGuard(HANDLE output, SHORT* row);

// The session gives up its own hold on the console's terminal; once the programs on it
// have closed it too and all they wrote is applied, CONSOLE_OUTPUT_ENDED is reported.
BOOL ReleaseConsoleTerminal(HANDLE output);
