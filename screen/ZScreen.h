// One picture of the console: the window's cells plus the rows that scrolled out of it
// since the previous capture, bottom-aligned so that row 499 is always the window's
// bottom row. Scrolling is detected with a mark character planted at the window's top.
// A picture is a value: the console it is taken from, and what the mark covers, belong
// to whoever takes the captures and are passed in.
#pragma once

#include <array>

#include "win32/Win32.h"

class ZConsole;

class ZScreen {
  public:
    static constexpr int kRows = 500;
    static constexpr int kColumns = 200;
    static constexpr WCHAR kMagicMark = u'\u2663';

    // The character the mark covered when it was last planted, and whether it was the
    // first half of a double-width character; kept from one capture to the next.
    struct Mark {
        WCHAR savedChar = 0;
        bool savedWide = false;
        WCHAR savedTrail = 0;  // the second cell's unit of a double-width character
    };

    ZScreen();

    // Captures con into this picture and plants the next mark. holdLines: how many lines
    // the console may hold the program's output back for until the next capture, so that
    // none of them is lost (0: none; the capture then takes the window alone when more
    // lines passed than the buffer holds).
    bool Refresh(ZConsole& con, Mark& mark, DWORD holdLines = 0);
    bool Fetch(ZConsole& con, Mark& mark, DWORD holdLines = 0);
    static bool SetMagicMark(ZConsole& con, Mark& mark, DWORD holdLines = 0);

    CHAR_INFO* Row(int row) { return m_cells[static_cast<std::size_t>(row)].data(); }
    const CHAR_INFO* Row(int row) const { return m_cells[static_cast<std::size_t>(row)].data(); }

    SMALL_RECT m_window;
    SMALL_RECT m_valid;
    COORD m_cursor;
    std::array<std::array<CHAR_INFO, kColumns>, kRows> m_cells;
    CONSOLE_SCREEN_BUFFER_INFO m_info;
};
