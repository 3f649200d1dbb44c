// The scroll guard: keeps the program's output from scrolling the scroll mark out of
// reach before the session has captured the lines above it. The session plants the mark
// on a row of the main screen and names how many lines may scroll past it; the guard
// follows the mark's row as lines scroll and tells how much of a read may be applied now
// (through ScrollBound, an upper bound of the lines a stretch of output scrolls), asking
// for a capture while output still flows. No I/O and no lock: the console calls it with
// its own lock held.
#pragma once

#include <cstddef>
#include <string_view>

#include "console/ScrollBound.h"

class ScrollGuard {
  public:
    // The main screen as the guard needs it: its height and the window's bottom row.
    struct Screen {
        int bufferHeight = 0;
        int windowBottom = 0;
    };

    // A capture was taken: returns whether one had been wanted (output held back may
    // pass again once a mark is planted).
    bool Captured();
    // The mark was planted on buffer row `row` of the main screen (out of the buffer: no
    // mark); `lines` may scroll past it before output is held back (0: never held back).
    void Plant(int row, std::size_t lines, int bufferHeight);
    // A capture that could take none of the main screen's lines (of the alternate screen)
    // gives back the lines that may scroll: held for a capture of the main screen, the
    // output would wait for the program to leave the alternate screen, which it cannot do
    // while its output waits. The mark keeps its row, and stays in the buffer (Room).
    void Renew() { m_left = m_total; }
    // The mark's buffer row: -1 when it scrolled out of the buffer, -2 when unknown.
    int Row() const { return m_row; }
    // Whether output is held back (or soon will be) until the next capture.
    bool CaptureWanted() const { return m_captureWanted; }

    // The longest prefix of bytes that may be applied now. Sets CaptureWanted (and
    // returns true in askCapture) when a capture should be asked for. 0 means held back.
    std::size_t Take(std::string_view bytes, const Screen& screen,
                     const ScrollBound::Window& window, bool& askCapture);
    // kept lines left the main screen's top; the window moved down over the buffer by
    // `moved` rows meanwhile (those left the mark in place).
    void Scrolled(int kept, int moved);
    // The rows above windowTop were erased: lines that scrolled there since the mark was
    // planted are gone, so the mark's row is the window's top (nothing is left to take).
    void Erased(int windowTop);
    // The main screen's buffer now has bufferHeight rows; rows keep their place.
    void Resized(int bufferHeight);
    void Reset() { *this = ScrollGuard(); }

  private:
    // Lines that may still scroll before the mark is lost (SIZE_MAX without a guard).
    std::size_t Room(const Screen& screen) const;

    ScrollBound m_bound;
    int m_row = -2;
    bool m_holds = false;     // output is held back for the mark
    std::size_t m_left = 0;   // lines that may still scroll
    std::size_t m_total = 0;  // lines the guard allowed when planted
    bool m_captureWanted = false;
};
