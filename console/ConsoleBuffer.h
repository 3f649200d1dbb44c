// One console screen buffer: a grid of cells in buffer coordinates and the window, the
// rectangle of it that is visible. Drawing operations take window-relative coordinates,
// as the terminal emulator above sees only the window. No locking: the console host
// serialises every access.
#pragma once

#include <algorithm>
#include <cstdlib>
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

    ConsoleCell& At(int x, int y) { return MadeRow(y)[x]; }
    const ConsoleCell& At(int x, int y) const { return Row(y)[x]; }
    const ConsoleCell* Row(int y) const {
        const std::size_t physical = Physical(y);
        return m_made[physical] != 0 ? &m_cells[physical * Width()] : m_untouched.data();
    }

    // Blanks the rows above the window (the scroll-back).
    void EraseScrollback(const ConsoleCell& blank);

    // Window-relative drawing. Rectangles are [top, bottom) x [left, right), clipped to
    // the window.
    void Put(int row, int col, const ConsoleCell& cell);
    // Narrow characters (ASCII, or blanks when hidden) from (row, col) on in the cell's
    // colours, up to the window's edge: what Put of each in turn leaves, in one step.
    void PutText(int row, int col, std::string_view text, ConsoleCell cell, bool hidden);
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
    struct FreeCells {
        void operator()(ConsoleCell* cells) const { std::free(cells); }
    };
    using Cells = std::unique_ptr<ConsoleCell[], FreeCells>;

    // Storage for the cells that the allocator hands out untouched (zeroed pages that
    // become resident only when written): a row is written only once it is made.
    static Cells Allocate(COORD size);

    std::size_t Width() const { return static_cast<std::size_t>(m_size.X); }
    // Rows are kept in a ring starting at m_firstRow; each row is contiguous.
    std::size_t Physical(int y) const {
        int physical = m_firstRow + y;  // both below m_size.Y: no division needed
        if (physical >= m_size.Y) {
            physical -= m_size.Y;
        }
        return static_cast<std::size_t>(physical);
    }
    // Row y for writing. A row nothing has written yet holds the blank the buffer was
    // made with and costs no memory: an idle console with a tall scroll-back keeps
    // only the rows its programs reached.
    ConsoleCell* MadeRow(int y) {
        const std::size_t physical = Physical(y);
        ConsoleCell* row = &m_cells[physical * Width()];
        if (m_made[physical] == 0) {
            std::copy(m_untouched.begin(), m_untouched.end(), row);
            m_made[physical] = 1;
        }
        return row;
    }
    void ScrollBack(int rows, const ConsoleCell& blank);
    void SplitAt(int x, int y);
    bool Clip(int& top, int& bottom, int& left, int& right) const;

    COORD m_size;
    SMALL_RECT m_window;
    int m_firstRow = 0;
    Cells m_cells;
    std::vector<unsigned char> m_made;     // by physical row: written since made
    std::vector<ConsoleCell> m_untouched;  // what a row not yet made holds
    std::vector<ConsoleCell> m_blankRow;   // a row of the last blank ScrollBack used
};
