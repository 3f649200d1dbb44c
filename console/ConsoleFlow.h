// What the session needs of the console beyond the Windows console functions, and which
// has no Windows counterpart: the events it waits on instead of polling the console on
// a clock, the states behind them, the capture lock, the scroll guard that keeps whole
// bursts of output for the client's scroll-back, and the end of the terminal's output.
// Each takes the console's output handle; a wrong handle fails with EBADF.
#pragma once

#include <memory>
#include <string_view>

#include "console/ConsoleModes.h"
#include "console/RichCell.h"
#include "win32/Win32.h"

// Lets the seam's calls that start programs on the console, name its terminal (for PAM)
// or open the window station find the console, created on first use as the console
// functions do. A program that uses the console calls this once at its start; without
// it those calls fail with ENOTTY.
void ProvideConsoleTerminal();

// The largest screen buffer height the console takes.
constexpr SHORT kMaxConsoleBufferHeight = 32766;

// The console's auto-reset events, for waiting: Changed is set whenever the cells
// change, Attention when ConsoleAttention has news.
enum class ConsoleWait { Changed, Attention };
HANDLE ConsoleWaitEvent(HANDLE output, ConsoleWait which);

// What the session should act on now. These are states, not events: the events only wake
// a waiter, which then reads the states, so a wake-up taken by another wait loses nothing.
constexpr DWORD kConsoleCaptureWanted = 0x1;  // output is held back until the next capture
constexpr DWORD kConsoleInputFull = 0x2;      // the program is behind in reading its input
constexpr DWORD kConsoleOutputEnded = 0x4;    // after ReleaseTerminal: all is read
constexpr DWORD kConsoleChanged = 0x8;        // the cells changed since the last capture
DWORD ConsoleAttention(HANDLE output);
// The longest pause in milliseconds of the programs' output (nothing was left to read)
// that ended since the last capture began; a burst of output starts after one.
DWORD ConsoleQuietSpell(HANDLE output);

// Keeps the console still while the object lives: no program output is applied, no other
// thread uses the console, and the holder's own changes are not signalled as changes.
class ConsoleCaptureLock {
  public:
    virtual ~ConsoleCaptureLock() = default;
};
std::unique_ptr<ConsoleCaptureLock> LockConsoleForCapture(HANDLE output);

// The scroll mark sits on buffer row `row`: hold the program's output back before more
// than `lines` lines scroll past it (or it would leave the buffer), asking for a capture
// as that point nears. 0 lines: never hold back.
bool PlantScrollGuard(HANDLE output, SHORT row, DWORD lines);
// Where the last planted mark's row is now (the rows that scrolled since moved it up,
// even if a program wrote over the mark itself): -1 when it left the buffer, -2 when
// unknown (no mark planted, or the buffer was resized since).
bool ScrollGuardRow(HANDLE output, SHORT* row);

// The session gives up its own hold on the console's terminal; once the programs on it
// have closed it too and all they wrote is applied, kConsoleOutputEnded is reported.
bool ReleaseTerminal(HANDLE output);

// The modes the programs set that the client's terminal applies itself.
bool GetConsoleModes(HANDLE output, ConsoleModes* modes);
// Bytes the client's terminal made for the programs at their request (mouse and focus
// reports, paste markers): queued for their input unchanged, in order with the keys.
bool PassConsoleInput(HANDLE input, std::string_view bytes);

// The rest of the cells ReadConsoleOutputW reads (RichCell): count cells of buffer row
// `row` from column left on, fewer at the row's end.
bool ReadConsoleRichRow(HANDLE output, SHORT row, SHORT left, RichCell* cells, SHORT count);
// What erasing leaves now, in full.
bool GetConsoleBlank(HANDLE output, RichCell* blank);
