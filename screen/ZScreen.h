// One picture of the console: the window's cells plus the rows that scrolled out of it
// since the previous capture, bottom-aligned so that row 499 is always the window's
// bottom row. Scrolling is detected with a mark character planted at the window's top.
#pragma once

#include <array>

#include "platform/ZConsole.h"
#include "win32/Win32.h"

class ZScreen {
  public:
    static constexpr int kRows = 500;
    static constexpr int kColumns = 200;
    static constexpr WCHAR kMagicMark = u'\u2663';

    ZScreen();

    // holdLines: how many lines the console may hold the program's output back for until
    // the next capture, so that none of them is lost (0: none; the capture then takes the
    // window alone when more lines passed than the buffer holds).
    bool Refresh(DWORD holdLines = 0);
    bool Fetch(DWORD holdLines = 0);
    bool SetMagicMark(DWORD holdLines = 0);

    CHAR_INFO* Row(int row) { return m_cells[static_cast<std::size_t>(row)].data(); }
    const CHAR_INFO* Row(int row) const { return m_cells[static_cast<std::size_t>(row)].data(); }

    ZConsole con;
    SMALL_RECT m_window;
    SMALL_RECT m_valid;
    COORD m_cursor;
    std::array<std::array<CHAR_INFO, kColumns>, kRows> m_cells;
    CONSOLE_SCREEN_BUFFER_INFO m_info;

    // The character the mark covered when it was last written (process-wide), and
    // whether it was the first half of a double-width character.
    static WCHAR m_savedChar;
    static bool m_savedWide;
    static WCHAR m_savedTrail;  // the second cell's unit of a double-width character
};
