// One picture of the console: the window's cells plus the rows that scrolled out of it
// since the previous capture, bottom-aligned so that row 499 is always the window's
// bottom row. Scrolling is detected with a mark character planted at the window's top.
// A picture is a value: the console it is taken from, and what the mark covers, belong
// to whoever takes the captures and are passed in. Copies carry the rows a capture read
// (those above have no meaning).
#pragma once

#include <algorithm>
#include <array>
#include <memory>

#include "console/ConsoleFlow.h"
#include "win32/Win32.h"

class ZConsole;

class ZScreen {
  public:
    static constexpr int kRows = 500;
    static constexpr int kColumns = 200;
    static constexpr WCHAR kMagicMark = u'\u2663';
    // The tallest window a capture supports: it leaves 99 rows of the picture for the
    // lines that scrolled since the last capture (ScrollRoom): a flood kept whole costs a
    // capture per 99 lines at the tallest. A taller client gets the size-mismatch notice.
    static constexpr int kMaxWindowRows = 400;

    // The character the mark covered when it was last planted, and whether it was the
    // first half of a double-width character; kept from one capture to the next.
    struct Mark {
        WCHAR savedChar = 0;
        bool savedWide = false;
        WCHAR savedTrail = 0;    // the second cell's unit of a double-width character
        char32_t savedText = 0;  // the rich half's text of the covered character
    };

    using Grid = std::array<CHAR_INFO, std::size_t{kRows} * kColumns>;
    using RichGrid = std::array<RichCell, std::size_t{kRows} * kColumns>;

    ZScreen();
    ZScreen(const ZScreen& other);
    ZScreen& operator=(const ZScreen& other);
    ~ZScreen() = default;

    // The rows of scrolled lines a capture takes beside a window of windowRows rows: one
    // fewer than the picture has left, so that a capture never fills the picture (a full
    // picture means the console's whole buffer, which is repainted).
    static int ScrollRoom(int windowRows) { return std::max(0, kRows - windowRows - 1); }

    // Captures con into this picture and plants the next mark. burstLeft: the lines of
    // the current burst still to be kept for the client's scroll-back. The capture takes
    // at most that many of the lines that scrolled since the last capture and subtracts
    // them; the console then holds the program's output back before more than what is
    // left scrolls, so that none of it is lost (0: it never holds back, and a flood is
    // taken a window at a time).
    bool Refresh(ZConsole& con, Mark& mark, DWORD& burstLeft);
    bool Fetch(ZConsole& con, Mark& mark, DWORD& burstLeft);
    static bool SetMagicMark(ZConsole& con, Mark& mark, DWORD holdLines = 0);

    CHAR_INFO* Row(int row) { return Cells().data() + Offset(row); }
    const CHAR_INFO* Row(int row) const;
    // The cells, all zero until first written. They are made on first use: a session's
    // privileged side, which holds the session's objects but never captures, pays
    // nothing for its pictures.
    Grid& Cells();
    // The rest of each cell (colours and attributes in full, text beyond one unit).
    RichCell* RichRow(int row) { return Rich().data() + Offset(row); }
    const RichCell* RichRow(int row) const;
    RichGrid& Rich();
    // The cells a row holds: up to the window's right edge at the capture (all the
    // picture's columns before any). Rows lie this far apart, so that a capture writes
    // only the memory its window needs: a picture of 80 columns is resident for 80,
    // not for the 200 it could hold.
    int Columns() const { return m_columns; }

    SMALL_RECT m_window;
    SMALL_RECT m_valid;
    COORD m_cursor;
    CONSOLE_SCREEN_BUFFER_INFO m_info;
    RichCell m_blank;      // what erasing left at the capture, in full
    ConsoleModes m_modes;  // what the programs had asked of the terminal at the capture
    // Lines scrolled past that the capture could not take (the burst was spent, or the
    // mark left the buffer): the client never gets them.
    bool m_skipped = false;

  private:
    // The grids come zeroed from calloc: pages no capture ever writes (most of the rows,
    // in a picture as tall as 500) are never made resident.
    struct Free {
        void operator()(void* grid) const;
    };
    template <class T>
    static std::unique_ptr<T, Free> Zeroed();

    std::size_t Offset(int row) const {
        return static_cast<std::size_t>(row) * static_cast<std::size_t>(m_columns);
    }

    int m_columns = kColumns;
    std::unique_ptr<Grid, Free> m_cells;
    std::unique_ptr<RichGrid, Free> m_rich;
};
