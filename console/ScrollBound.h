// How many lines a stretch of program output can scroll at most, so that the console
// can hold the output back before the scroll mark would be lost. The bound never falls
// short of what the terminal does:
// - a line feed, vertical tab, form feed, index (ESC D) and next line (ESC E) scroll
//   once; a scroll-up (CSI n S) and a delete-lines (CSI n M) by their count, at most the
//   window's height; a repeat (CSI n b) by the rows its characters fill;
// - printed characters wrap once a row, counted from the column the cursor is in (a
//   cursor near the end of the row may be waiting to wrap), each taken for two columns
//   when it is not ASCII;
// - after a tab the cursor is at the next default tab stop (at the last column once a
//   program set or cleared tab stops); after any other sequence it may be anywhere.
// The escape state carries across calls, so a sequence split between two reads is still
// counted whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

class ScrollBound {
  public:
    // The window the output lands in, and the cursor's column in it now.
    struct Window {
        int width = 1;
        int height = 1;
        int column = 0;
    };

    // The length of the longest prefix of bytes that cannot scroll more than budget
    // lines; the state moves past that prefix (which the caller must apply).
    std::size_t Take(std::string_view bytes, std::size_t budget, const Window& window) {
        return Scan(bytes, budget, window, false);
    }
    // The prefix up to and including the first byte or sequence that may scroll, whatever
    // its count: for a sequence that no budget could take (0 when budget is 0).
    std::size_t TakeOne(std::string_view bytes, const Window& window) {
        return Scan(bytes, SIZE_MAX, window, true);
    }
    void Reset() { *this = ScrollBound(); }

  private:
    std::size_t Scan(std::string_view bytes, std::size_t budget, const Window& window, bool one);

    enum class Mode { Ground, Escape, Csi };

    Mode m_mode = Mode::Ground;
    std::size_t m_count = 0;  // the first parameter of the control sequence being read
    bool m_first = true;      // still reading that first parameter
    bool m_customTabs = false;
    std::size_t m_utf8Left = 0;  // continuation bytes the last UTF-8 character still needs
};
