// One console screen buffer: a grid of cells in buffer coordinates and the window, the
// rectangle of it that is visible. Drawing operations take window-relative coordinates,
// as the terminal emulator above sees only the window. No locking: the console host
// serialises every access.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "console/RichCell.h"
#include "win32/Win32.h"

class ConsoleBuffer {
  public:
    // Largest buffer dimensions; a buffer is also limited to kMaxCells cells.
    static constexpr SHORT kMaxWidth = 2000;
    static constexpr SHORT kMaxHeight = 32766;
    static constexpr long kMaxCells = 8L * 1000 * 1000;

    ConsoleBuffer(COORD size, SMALL_RECT window, const ConsoleCell& blank);

    COORD Size() const { return m_size; }
    // Whether the position is a cell of the buffer.
    bool Contains(COORD at) const {
        return at.X >= 0 && at.Y >= 0 && at.X < m_size.X && at.Y < m_size.Y;
    }
    const SMALL_RECT& Window() const { return m_window; }
    SHORT WindowWidth() const { return static_cast<SHORT>(m_window.Right - m_window.Left + 1); }
    SHORT WindowHeight() const { return static_cast<SHORT>(m_window.Bottom - m_window.Top + 1); }

    // Fails (false, error code set) when the size is out of range or smaller than the
    // window; the content keeps its place from the top-left corner.
    bool Resize(COORD size, const ConsoleCell& blank);
    // Fails when the rectangle is empty or leaves the buffer.
    bool SetWindow(const SMALL_RECT& window);

    ConsoleCell& At(int x, int y) { return Fill(Physical(y), x + 1)[x]; }
    const ConsoleCell& At(int x, int y) const {
        const std::size_t physical = Physical(y);
        Unpack(physical);
        return x < m_filled[physical] ? m_cells[physical * Width() + static_cast<std::size_t>(x)]
                                      : m_untouched[static_cast<std::size_t>(x)];
    }
    const ConsoleCell* Row(int y) const {
        const std::size_t physical = Physical(y);
        return m_filled[physical] == 0 && m_textLength[physical] == 0 ? m_untouched.data()
                                                                      : Fill(physical, m_size.X);
    }

    // Keeps every row whole in memory, as a reference for tests: what the buffer holds
    // is the same either way.
    void KeepRowsWhole();

    // Blanks the rows above the window (the scroll-back).
    void EraseScrollback(const ConsoleCell& blank);

    // Window-relative drawing. Rectangles are [top, bottom) x [left, right), clipped to
    // the window.
    void Put(int row, int col, const ConsoleCell& cell);
    // Narrow characters (ASCII, or blanks when hidden) from (row, col) on in the cell's
    // colours, up to the window's edge: what Put of each in turn leaves, in one step.
    void PutText(int row, int col, std::string_view text, const ConsoleCell& cell, bool hidden);
    void Erase(int top, int bottom, int left, int right, const ConsoleCell& blank);
    void Move(int destTop, int destLeft, int srcTop, int srcBottom, int srcLeft, int srcRight);
    // Scrolls the rectangle by down rows and right columns (negative: the other way),
    // blanking what is uncovered. A scroll up of the whole window with keepHistory moves
    // the window down over the buffer, and at the buffer's end scrolls the whole buffer
    // up, so that the rows leaving the window stay above it as scroll-back; returns the
    // number of rows so kept (0 for any other scroll).
    int Scroll(int top, int bottom, int left, int right, int down, int right_,
               const ConsoleCell& blank, bool keepHistory);
    // Marks window row `row` as going on in the next row (a soft wrap): its last cell
    // carries the flag, so that it moves with the row and goes when the cell is drawn
    // over or erased.
    void SetWrapped(int row);

  private:
    struct Free {
        void operator()(void* memory) const;
    };
    using Cells = std::unique_ptr<ConsoleCell[], Free>;
    using Text = std::unique_ptr<char[], Free>;

    // Storage that the allocator hands out untouched (zeroed pages that become resident
    // only when written): a row is written only once it is made.
    template <class T>
    static std::unique_ptr<T[], Free> Allocate(COORD size);

    std::size_t Width() const { return static_cast<std::size_t>(m_size.X); }
    // Rows are kept in a ring starting at m_firstRow; each row is contiguous.
    std::size_t Physical(int y) const {
        int physical = m_firstRow + y;  // both below m_size.Y: no division needed
        if (physical >= m_size.Y) {
            physical -= m_size.Y;
        }
        return static_cast<std::size_t>(physical);
    }
    // A row holds its own cells only up to the column it was written to since it was
    // last blank; the rest are the blank the buffer was made with (m_untouched), which
    // costs neither memory nor stores. An idle console with a tall scroll-back keeps only
    // the rows its programs reached, and a line feed at the bottom, or a line of text,
    // writes only the cells it changes rather than a whole row.
    //
    // A row of plain text in one pen, as a flood of lines draws it, is kept as its bytes
    // (m_text, one byte a cell) until something else touches the row: a scrolling flood
    // writes a ring twenty times smaller, and only the rows a capture reads become cells.
    //
    // Columns [0, end) of physical row `physical` made its own, for writing.
    ConsoleCell* Fill(std::size_t physical, int end) const {
        Unpack(physical);
        ConsoleCell* row = &m_cells[physical * Width()];
        const int filled = m_filled[physical];
        if (filled < end) {
            std::copy(m_untouched.begin() + filled, m_untouched.begin() + end, row + filled);
            m_filled[physical] = static_cast<std::uint16_t>(end);
        }
        return row;
    }
    // Row `physical` blank again: forgotten when the blank is the buffer's own, else
    // written whole.
    void BlankRow(std::size_t physical, const ConsoleCell& blank);
    // A row kept as text made cells.
    void Unpack(std::size_t physical) const {
        if (m_textLength[physical] != 0) {
            UnpackText(physical);
        }
    }
    void UnpackText(std::size_t physical) const;
    bool Lazy(const ConsoleCell& blank) const;
    void ScrollBack(int rows, const ConsoleCell& blank);
    void SplitAt(int x, int y);
    bool Clip(int& top, int& bottom, int& left, int& right) const;

    COORD m_size;
    SMALL_RECT m_window;
    int m_firstRow = 0;
    Cells m_cells;
    mutable std::vector<std::uint16_t> m_filled;      // by physical row: columns of its own
    Text m_text;                                      // by physical row: its text, or
    mutable std::vector<std::uint16_t> m_textLength;  // 0 when it is not kept as text
    std::vector<ConsoleCell> m_textPen;               // and the text's pen
    std::vector<ConsoleCell> m_untouched;             // what the other columns hold
    bool m_whole = false;                             // KeepRowsWhole
};
