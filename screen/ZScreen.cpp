#include "screen/ZScreen.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "infra/ZTraceScope.h"
#include "platform/ZConsole.h"
#include "win32/ConsoleScrollMark.h"

void ZScreen::Free::operator()(void* grid) const {
    std::free(grid);  // NOLINT(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
}

// Both grids are arrays of aggregates whose zero bytes are their zero values: calloc's
// memory holds them as it is.
template <class T>
std::unique_ptr<T, ZScreen::Free> ZScreen::Zeroed() {
    // NOLINTNEXTLINE(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
    void* memory = std::calloc(1, sizeof(T));
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return std::unique_ptr<T, Free>(static_cast<T*>(memory));
}

ZScreen::ZScreen() : m_window{}, m_valid{}, m_cursor{}, m_info{} {}

ZScreen::ZScreen(const ZScreen& other) : ZScreen() {
    *this = other;
}

ZScreen& ZScreen::operator=(const ZScreen& other) {
    if (this != &other) {
        m_window = other.m_window;
        m_valid = other.m_valid;
        m_cursor = other.m_cursor;
        m_info = other.m_info;
        m_blank = other.m_blank;
        m_modes = other.m_modes;
        m_skipped = other.m_skipped;
        m_columns = other.m_columns;
        // Only the rows the capture read: a copy per export stays as small as the window.
        const int first = std::clamp<int>(other.m_valid.Top, 0, kRows);
        const std::size_t cells = Offset(kRows) - Offset(first);
        if (other.m_cells) {
            std::memcpy(Row(first), other.Row(first), cells * sizeof(CHAR_INFO));
        } else {
            m_cells.reset();
        }
        if (other.m_rich) {
            std::memcpy(RichRow(first), other.RichRow(first), cells * sizeof(RichCell));
        } else {
            m_rich.reset();
        }
    }
    return *this;
}

ZScreen::RichGrid& ZScreen::Rich() {
    if (!m_rich) {
        m_rich = Zeroed<RichGrid>();
    }
    return *m_rich;
}

const RichCell* ZScreen::RichRow(int row) const {
    static const std::array<RichCell, kColumns> kPlainRow{};
    return m_rich ? m_rich->data() + Offset(row) : kPlainRow.data();
}

ZScreen::Grid& ZScreen::Cells() {
    if (!m_cells) {
        m_cells = Zeroed<Grid>();
    }
    return *m_cells;
}

const CHAR_INFO* ZScreen::Row(int row) const {
    static const std::array<CHAR_INFO, kColumns> kZeroRow{};
    return m_cells ? m_cells->data() + Offset(row) : kZeroRow.data();
}

bool ZScreen::Refresh(ZConsole& con, Mark& mark, DWORD& burstLeft) {
    ZTraceScope trace;
    TraceLevel(0);
    trace.Trace("ZScreen::Refresh( )");
    if (!Fetch(con, mark, burstLeft)) {
        ReportError(trace, "this->FetchScreen( ):err");
        return false;
    }
    return true;
}

bool ZScreen::Fetch(ZConsole& con, Mark& mark, DWORD& burstLeft) {
    ZTraceScope trace;
    TraceLevel(0);
    trace.Trace("ZScreen::Fetch( )");
    // Reading the rows and planting the next mark are one step: no program output lands
    // in between, so no line is lost or taken twice; nothing the login writes lands at
    // the top while the cursor is parked there.
    const auto exclusive = ZConsole::Exclusive();
    const auto hold = con.Hold();
    if (!con.GetConsoleInfo(m_info)) {
        ReportError(trace, "this->con.GetConsoleInfo( ):err");
        return false;
    }
    const SMALL_RECT& w = m_info.srWindow;
    m_valid = SMALL_RECT{w.Left, 0, w.Right, kRows - 1};
    // The rows above the window that scrolled since the last capture: from the last
    // mark's row (the console follows it, even when a program wrote over the mark) up to
    // the window, at most what is left of the burst and what the picture holds. A mark
    // that left the buffer (only past the burst, when nothing was held for it) gives the
    // window alone: a flood costs screens, and no row that the client already has is
    // taken twice. Before any mark was planted the client has seen nothing yet: the
    // buffer's rows from its top.
    const SHORT markRow = con.GetScrollGuard();
    const int windowRows = w.Bottom - w.Top + 1;
    const int limit =
        static_cast<int>(std::min<DWORD>(burstLeft, static_cast<DWORD>(ScrollRoom(windowRows))));
    const int top = markRow >= 0 ? std::min<int>(markRow, w.Top) : markRow == -1 ? w.Top : 0;
    const int first = std::max(top, w.Top - limit);
    m_skipped = (markRow >= 0 && markRow < first) || markRow == -1;
    if (markRow >= 0 && markRow < first) {
        trace.Trace("burst spent: ", first - markRow, " lines skipped");
    } else if (markRow == -1) {
        trace.Trace("mark lost");
    }
    // Every row the picture keeps is read afresh below, at this width.
    m_columns = std::clamp<int>(w.Right + 1, 1, kColumns);
    // The rest of each cell is all zero for text in the terminal's own colours: a
    // picture that has held nothing else has no rich grid (RichRow reads zeros), and gets
    // one only when a row needs it.
    std::array<RichCell, kColumns> plain{};
    int read = 0;
    for (int y = w.Bottom; y >= first; --y) {
        const int row = y - w.Bottom + kRows - 1;
        RichCell* rich = m_rich ? RichRow(row) : plain.data();
        if (!con.GetOutputRowW(static_cast<SHORT>(y), Row(row), static_cast<SHORT>(m_columns),
                               &m_info, rich)) {
            ReportError(trace, "this->con.GetOutputRowW( " + std::to_string(y) + " ):err");
            return false;
        }
        if (rich == plain.data() &&
            std::any_of(plain.begin(), plain.begin() + m_columns,
                        [](const RichCell& cell) { return !(cell == RichCell{}); })) {
            std::copy_n(plain.begin(), m_columns, RichRow(row));
        }
        ++read;
        CHAR_INFO* cells = Row(row);
        // The mark is the session's character with the console's flag; a program's own
        // mark character in its place is text. The flag never leaves the picture, also
        // where an old mark's cell was moved or left behind.
        const bool isMark = y == markRow && cells[0].UnicodeChar == kMagicMark &&
                            (cells[0].Attributes & CONSOLE_SCROLL_MARK) != 0;
        for (int x = 0; x < m_columns; ++x) {
            cells[x].Attributes &= static_cast<WORD>(~CONSOLE_SCROLL_MARK);
        }
        if (isMark) {
            // A double-width character whose second half has been written over since is
            // gone, as it is on a terminal: it is not put back as half a character.
            const CHAR_INFO& next = Row(row)[1];
            const bool whole = (next.Attributes & COMMON_LVB_TRAILING_BYTE) != 0 &&
                               next.UnicodeChar == mark.savedTrail;
            Row(row)[0].UnicodeChar = mark.savedWide && !whole ? u' ' : mark.savedChar;
            const char32_t text = mark.savedWide && !whole ? 0 : mark.savedText;
            if (m_rich || text != 0) {
                RichRow(row)[0].text = text;
            }
            // The console gets its character back too: a mark left behind would show if
            // the window ever moved up over its row (a taller window after scrolling).
            if (!con.WriteCell(COORD{0, static_cast<SHORT>(y)}, Row(row)[0].UnicodeChar)) {
                ReportError(trace, "this->con.WriteCell( ):err");
            }
        }
    }
    m_valid.Top = static_cast<SHORT>(kRows - read);
    if (!con.GetBlank(m_blank)) {
        m_blank = RichCell{};
    }
    if (!con.GetModes(m_modes)) {
        m_modes = ConsoleModes{};
    }
    burstLeft -= std::min<DWORD>(burstLeft, static_cast<DWORD>(std::max(0, w.Top - first)));
    if (!SetMagicMark(con, mark, burstLeft)) {
        ReportError(trace, "this->SetMagicMark( ):err");
        return false;
    }
    m_cursor = COORD{m_info.dwCursorPosition.X,
                     static_cast<SHORT>(m_info.dwCursorPosition.Y - w.Bottom + kRows - 1)};
    m_window =
        SMALL_RECT{w.Left, static_cast<SHORT>(w.Top - w.Bottom + kRows - 1), w.Right, kRows - 1};
    return true;
}

bool ZScreen::SetMagicMark(ZConsole& con, Mark& mark, DWORD holdLines) {
    ZTraceScope trace;
    TraceLevel(0);
    trace.Trace("ZScreen::SetMagicMark( )");
    // Nothing the login writes may land at the top while the cursor is parked there, and
    // the mark is not a change of the console.
    const auto exclusive = ZConsole::Exclusive();
    const auto hold = con.Hold();
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!con.GetConsoleInfo(info)) {
        ReportError(trace, "this->con.GetConsoleInfo( ):err");
        return false;
    }
    if (!ZConsole::HasScroll(info)) {
        trace.Trace("mark not needed");
        con.SetScrollGuard(-1, 0);
        return true;
    }
    std::array<CHAR_INFO, kColumns> top{};
    std::array<RichCell, kColumns> topRich{};
    if (!con.GetOutputRowW(info.srWindow.Top, top.data(), kColumns, &info, topRich.data())) {
        ReportError(trace, "this->con.GetOutputRowW( ):err");
        return false;
    }
    if (!con.SetCursor(COORD{0, info.srWindow.Top}, true)) {
        ReportError(trace, "this->con.SetCursor( ):err");
        return false;
    }
    if (!con.WriteW(kMagicMark)) {
        ReportError(trace, "this->con.WriteW( ):err");
        return false;
    }
    if (!con.SetCursor(info.dwCursorPosition, true)) {
        ReportError(trace, "this->con.SetCursor( ):err");
        return false;
    }
    // The picture takes the window and at most the rest of its rows in scrolled lines.
    const int windowRows = info.srWindow.Bottom - info.srWindow.Top + 1;
    const auto room = static_cast<DWORD>(ScrollRoom(windowRows));
    con.SetScrollGuard(info.srWindow.Top, std::min(holdLines, room));
    // A mark still standing there (planted again before a capture took it back) covers
    // what the first one saved; a program's mark character is what the mark covers.
    if ((top[0].Attributes & CONSOLE_SCROLL_MARK) == 0) {
        mark.savedChar = top[0].UnicodeChar;
        // The second cell holds the same unit, or the low half of a surrogate pair.
        mark.savedWide = (top[1].Attributes & COMMON_LVB_TRAILING_BYTE) != 0;
        mark.savedTrail = top[1].UnicodeChar;
        mark.savedText = topRich[0].text;
    }
    return true;
}
