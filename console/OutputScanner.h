// Watches the program's output for what the terminal emulator leaves out: hidden text,
// dim and overline (SGR 8/28, 2/22, 53/55, and every SGR reset), the 80/132 column switch
// (DECCOLM), which clears the screen on a VT100, the modes libvterm 0.1.4 keeps to itself or
// ignores (the mouse encodings 1005, 1006 and 1015, focus reports 1004, bracketed paste 2004), the
// cursor shape's reset (DECSCUSR 0), the resets (RIS, DECSTR), the erasing of the scroll-back (ED
// 3), and the character sets designated and shifted in, which libvterm does not save with the
// cursor. The caller feeds the emulator up to each such sequence's end and then applies what it
// meant. The state carries across calls, so sequences may be split between reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "console/ConsoleModes.h"

class OutputScanner {
  public:
    // What a sequence meant, as flags: one sequence may mean several (CSI ? 3 ; 2004 h).
    enum Event : unsigned {
        kNone = 0,
        kConcealOn = 1U << 0,           // SGR turned hidden text on
        kConcealOff = 1U << 1,          // SGR turned it off, or reset every attribute
        kColumnMode = 1U << 2,          // DECCOLM set or reset
        kFullReset = 1U << 3,           // RIS
        kSoftReset = 1U << 4,           // DECSTR
        kModes = 1U << 5,               // a mode of Modes() was set or reset
        kCursorStyle = 1U << 6,         // DECSCUSR 1 to 6
        kCursorStyleDefault = 1U << 7,  // DECSCUSR 0 (or without parameter): the terminal's own
        kEraseScrollback = 1U << 8,     // ED 3
        kCharsetsRestored = 1U << 9,    // DECRC (ESC 8, DECRST 1048 or 1049): see Charsets
        kPen = 1U << 10,                // an SGR set dim or overline: see Pen
    };
    // What the last kPen's SGR left: each attribute on (1), off (0), or untouched (-1).
    struct PenChange {
        int dim = -1;
        int overline = -1;
    };
    const PenChange& Pen() const { return m_pen; }

    // The modes it follows that libvterm does not report.
    struct Modes {
        ConsoleModes::MouseEncoding mouseEncoding = ConsoleModes::MouseEncoding::Default;
        bool focusEvents = false;
        bool bracketedPaste = false;
    };
    // The character sets G0 to G3 as designated (the final byte of ESC ( ) * +, one of the
    // sets libvterm knows: '0' DEC special graphics, 'A' UK, 'B' ASCII) and the set
    // shifted into GL (SI 0, SO 1, LS2 2, LS3 3).
    struct Charsets {
        std::array<char, 4> designated{'B', 'B', 'B', 'B'};
        std::uint8_t shift = 0;
        bool operator==(const Charsets&) const = default;
    };

    // The length of bytes up to and including the end of the first sequence that is an
    // event (events says what it meant), or bytes.size() with kNone. With plainRun, it
    // also stops (kNone) where a run of at least plainRun plain bytes (plain_text) starts
    // while PlainTextIsPlain() holds.
    std::size_t Scan(std::string_view bytes, unsigned& events, std::size_t plainRun = 0);
    void Reset() {
        const int rows = m_rows;
        *this = OutputScanner();
        m_rows = rows;  // the terminal's, not the program's
    }

    // The terminal's rows, which decide whether a scrolling region covers the screen.
    void SetRows(int rows) { m_rows = rows; }
    // Whether libvterm's scrolling region still has a row on a screen of `rows` rows.
    // libvterm bounds the region's bottom on a resize but not its top: a region whose top
    // is past the new last row makes its next scroll move a negative number of lines,
    // outside its line table. False also where the scanner could not read the region.
    bool ScrollingRegionFits(int rows) const { return m_regionTop >= 0 && m_regionTop < rows; }
    // The console reset the scrolling region to the whole screen.
    void ScrollingRegionReset() {
        m_text.margins = false;
        m_regionTop = 0;
    }
    // Whether printable ASCII, CR and LF now mean to libvterm only what they mean on a
    // plain terminal: outside any sequence, ASCII shifted into GL, no newline mode, the
    // scrolling region the whole screen, no left and right margins, no double-size line.
    // Where the scanner cannot tell what libvterm made of a sequence, it says no until a
    // reset or a sequence that ends the doubt.
    bool PlainTextIsPlain() const {
        return m_state == State::Ground && !m_text.newline && !m_text.margins &&
               !m_text.leftRight && !m_text.lineSizes &&
               m_charsets.designated[m_charsets.shift] == 'B';
    }
    // After Scan stopped at a run of plain text: its length (it may end before the
    // run's last plain byte).
    std::size_t PlainRunLength() const { return m_plainLength; }

    const Modes& CurrentModes() const { return m_modes; }
    const Charsets& CurrentCharsets() const { return m_charsets; }
    // After kCharsetsRestored: the bytes that give libvterm back the character sets
    // saved with the cursor (it restores the cursor alone).
    std::string RestoreBytes() const;

  private:
    // A longer parameter list is no sequence worth watching (and is never kept whole).
    static constexpr std::size_t kMaxParameters = 128;

    enum class State { Ground, Escape, Designate, Csi, String, StringEscape };
    unsigned Finish(char final);
    unsigned DecMode(int mode, bool set);
    void Restore();
    void ScrollingRegion();
    void AnsiModes(bool set);

    State m_state = State::Ground;
    char m_leader = 0;        // '?', '>', '<' or '=' before the parameters
    char m_intermediate = 0;  // the one intermediate byte; '\x7f' for more than one
    bool m_overflow = false;
    int m_designating = 0;  // ESC ( ) * +: the set being designated
    std::string m_parameters;
    PenChange m_pen;
    Modes m_modes;
    Charsets m_charsets;
    Charsets m_saved;          // with the cursor (DECSC)
    Charsets m_beforeRestore;  // those in force before the last restore
    // What keeps plain text from being plain (see PlainTextIsPlain); true also where the
    // scanner is unsure.
    struct TextState {
        bool newline = false;    // LNM: a line feed returns the carriage too
        bool margins = false;    // a scrolling region other than the whole screen
        bool leftRight = false;  // DECLRMM: left and right margins apply
        bool lineSizes = false;  // a double-width or double-height line was made
    };
    TextState m_text;
    int m_rows = 25;
    long m_regionTop = 0;  // the scrolling region's first row as libvterm holds it; -1 unknown
    std::size_t m_plainLength = 0;
};
