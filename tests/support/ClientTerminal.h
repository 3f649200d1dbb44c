// An independent terminal emulator standing in for the client: libvterm's screen layer
// in its own instance, fed with the bytes the session sends.
#pragma once

#include <vterm.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "screen/ZScreen.h"
#include "win32/Win32.h"

namespace test {

class ClientTerminal {
  public:
    // altScreen: the terminal has an alternate screen (as a terminal a program writes to
    // directly does); without it, what a program draws there stays on the main screen.
    ClientTerminal(int columns, int rows, bool altScreen = false) {
        Resize(columns, rows);
        vterm_screen_enable_altscreen(m_screen, altScreen ? 1 : 0);
    }

    void Resize(int columns, int rows) {
        m_columns = columns;
        m_rows = rows;
        if (!m_vt) {
            m_vt.reset(vterm_new(rows, columns));
            vterm_set_utf8(m_vt.get(), 1);
            m_screen = vterm_obtain_screen(m_vt.get());
            m_callbacks.sb_pushline = &ClientTerminal::OnPushLine;
            vterm_screen_set_callbacks(m_screen, &m_callbacks, this);
            vterm_screen_reset(m_screen, 1);
        } else {
            vterm_set_size(m_vt.get(), rows, columns);
        }
    }

    void Feed(const std::string& bytes) {
        if (!bytes.empty()) {
            vterm_input_write(m_vt.get(), bytes.data(), bytes.size());
        }
    }

    // The cell as a console cell: its character and the console attribute of its colours
    // (the client's bold is the foreground intensity, blink the background intensity).
    CHAR_INFO Cell(int row, int column) const {
        VTermScreenCell cell{};
        vterm_screen_get_cell(m_screen, VTermPos{row, column}, &cell);
        const std::uint32_t c = cell.chars[0];
        const WCHAR unit = c == 0 ? u' ' : (c > 0xFFFF ? u'\ufffd' : static_cast<WCHAR>(c));
        int foreground = Colour(cell.fg, 7);
        int background = Colour(cell.bg, 0);
        if (cell.attrs.bold) {
            foreground |= 8;
        }
        if (cell.attrs.blink) {
            background |= 8;
        }
        return CHAR_INFO{unit, static_cast<WORD>(foreground | (background << 4))};
    }

    // The cell as the client's terminal holds it.
    VTermScreenCell RawCell(int row, int column) const {
        VTermScreenCell cell{};
        vterm_screen_get_cell(m_screen, VTermPos{row, column}, &cell);
        return cell;
    }

    // The client's current pen as a console attribute.
    WORD Pen() const {
        VTermState* state = vterm_obtain_state(m_vt.get());
        VTermValue fg{}, bg{}, bold{}, blink{};
        vterm_state_get_penattr(state, VTERM_ATTR_FOREGROUND, &fg);
        vterm_state_get_penattr(state, VTERM_ATTR_BACKGROUND, &bg);
        vterm_state_get_penattr(state, VTERM_ATTR_BOLD, &bold);
        vterm_state_get_penattr(state, VTERM_ATTR_BLINK, &blink);
        const int foreground = Colour(fg.color, 7) | (bold.boolean ? 8 : 0);
        const int background = Colour(bg.color, 0) | (blink.boolean ? 8 : 0);
        return static_cast<WORD>(foreground | (background << 4));
    }

    VTermPos Cursor() const {
        VTermPos pos{};
        vterm_state_get_cursorpos(vterm_obtain_state(m_vt.get()), &pos);
        return pos;
    }

    // Compares the client's screen with the picture's window, as the capture saw it.
    // Returns an empty string when they agree, else a description of the first difference.
    std::string Compare(const ZScreen& picture, bool withCursor = true) const {
        const int top = picture.m_window.Top;
        const int height = picture.m_window.Bottom - top + 1;
        const int width = picture.m_window.Right - picture.m_window.Left + 1;
        for (int r = 0; r < height && r < m_rows; ++r) {
            const CHAR_INFO* row = picture.Row(top + r);
            for (int c = 0; c < width && c < m_columns; ++c) {
                const CHAR_INFO want = row[c];
                if ((want.Attributes & COMMON_LVB_TRAILING_BYTE) != 0) {
                    continue;
                }
                const CHAR_INFO got = Cell(r, c);
                WCHAR expected = want.UnicodeChar;
                if (expected < 32) {
                    expected = static_cast<WCHAR>(" ...............><......II<>..II"[expected]);
                }
                const bool blank = expected == u' ';
                const WORD mask = blank ? 0xF0 : 0xFF;
                if (got.UnicodeChar != expected ||
                    (got.Attributes & mask) != (want.Attributes & mask)) {
                    std::ostringstream out;
                    out << "row " << r << " column " << c << ": client U+" << std::hex
                        << static_cast<int>(got.UnicodeChar) << " attr " << got.Attributes
                        << ", console U+" << static_cast<int>(want.UnicodeChar) << " attr "
                        << want.Attributes << std::dec << "\nclient row:  " << RowText(r)
                        << "\nconsole row: " << PictureRow(picture, top + r, width);
                    return out.str();
                }
            }
        }
        if (withCursor) {
            const VTermPos cursor = Cursor();
            const int wantRow = picture.m_cursor.Y - top;
            const int wantColumn = picture.m_cursor.X;
            if (wantRow >= 0 && wantRow < m_rows && wantColumn < m_columns &&
                (cursor.row != wantRow || cursor.col != wantColumn)) {
                std::ostringstream out;
                out << "cursor: client " << cursor.col << "," << cursor.row << ", console "
                    << wantColumn << "," << wantRow;
                return out.str();
            }
        }
        return {};
    }

    // The lines that scrolled off the top, oldest first, blanks at their ends removed.
    const std::vector<std::string>& Scrollback() const { return m_scrollback; }

    // The scroll-back followed by the screen's rows: everything the client holds.
    std::vector<std::string> AllLines() const {
        std::vector<std::string> lines = m_scrollback;
        for (int r = 0; r < m_rows; ++r) {
            std::string row = RowText(r);
            lines.push_back(row.erase(row.find_last_not_of(' ') + 1));
        }
        return lines;
    }

    std::string RowText(int r) const {
        std::string text;
        for (int c = 0; c < m_columns; ++c) {
            const WCHAR u = Cell(r, c).UnicodeChar;
            text.push_back(u < 128 ? static_cast<char>(u) : '?');
        }
        return text;
    }

    static std::string PictureRow(const ZScreen& picture, int row, int width) {
        std::string text;
        for (int c = 0; c < width; ++c) {
            const WCHAR u = picture.Row(row)[c].UnicodeChar;
            text.push_back(u >= 32 && u < 128 ? static_cast<char>(u) : '?');
        }
        return text;
    }

  private:
    static int OnPushLine(int columns, const VTermScreenCell* cells, void* user) {
        std::string line;
        for (int c = 0; c < columns; ++c) {
            const std::uint32_t u = cells[c].chars[0];
            line.push_back(u == 0 ? ' ' : (u < 128 ? static_cast<char>(u) : '?'));
        }
        static_cast<ClientTerminal*>(user)->m_scrollback.push_back(
            line.erase(line.find_last_not_of(' ') + 1));
        return 1;
    }

    static int Colour(const VTermColor& colour, int fallback) {
        static constexpr int kAnsiToConsole[8] = {0, 4, 2, 6, 1, 5, 3, 7};
        if (VTERM_COLOR_IS_DEFAULT_FG(&colour) || VTERM_COLOR_IS_DEFAULT_BG(&colour) ||
            !VTERM_COLOR_IS_INDEXED(&colour)) {
            return fallback;
        }
        const int index = colour.indexed.idx;
        return kAnsiToConsole[index & 7] | (index >= 8 ? 8 : 0);
    }

    struct Deleter {
        void operator()(VTerm* vt) const { vterm_free(vt); }
    };
    std::unique_ptr<VTerm, Deleter> m_vt;
    VTermScreen* m_screen = nullptr;
    VTermScreenCallbacks m_callbacks{};
    std::vector<std::string> m_scrollback;
    int m_columns = 0;
    int m_rows = 0;
};

}  // namespace test
