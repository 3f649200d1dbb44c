#include "screen/ZScreenExport.h"

#include <algorithm>

#include "infra/ZTraceScope.h"
#include "win32/ConsoleDefaultColours.h"

namespace {

bool SameCell(const CHAR_INFO& a, const CHAR_INFO& b, const RichCell& ra, const RichCell& rb) {
    return a.UnicodeChar == b.UnicodeChar && a.Attributes == b.Attributes && ra == rb;
}

bool Wrapped(const ZScreen& picture, int row) {
    return (picture.RichRow(row)[picture.m_window.Right].flags & cell_flag::kWrapped) != 0;
}

// A title for the client: no control character (which would end or extend the
// sequence), at most 255 bytes, cut at a character's start.
std::string PrintableTitle(const std::string& title) {
    std::string clean;
    for (std::size_t i = 0; i < title.size(); ++i) {
        const auto c = static_cast<unsigned char>(title[i]);
        if (c < 0x20 || c == 0x7F) {
            continue;
        }
        if (c == 0xC2 && i + 1 < title.size() && static_cast<unsigned char>(title[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(title[i + 1]) <= 0x9F) {
            ++i;  // a C1 control
            continue;
        }
        clean.push_back(title[i]);
    }
    if (clean.size() > 255) {
        std::size_t end = 255;
        while (end > 0 && (static_cast<unsigned char>(clean[end]) & 0xC0) == 0x80) {
            --end;
        }
        clean.resize(end);
    }
    return clean;
}

bool IsBlank(WCHAR c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

}  // namespace

ZScreenExport::ZScreenExport(const ZTelnet& telnet) : m_telnet(telnet) {}

std::string ZScreenExport::Export() {
    ZTraceScope trace;
    TraceLevel(0);
    trace.Trace("ZScreenExport::Export( )");
    m_screen.Refresh(m_console, m_mark, m_burstLeft);
    m_flooding = m_flooding || m_screen.m_skipped;
    m_guarded = std::min(m_burstLeft, GuardLimit());
    // The check needs to know whether the console has scroll-back now.
    std::optional<CONSOLE_SCREEN_BUFFER_INFO> console;
    if (CONSOLE_SCREEN_BUFFER_INFO info{}; m_console.GetConsoleInfo(info)) {
        console = info;
    }
    Frame frame{{}, m_state};
    if (CheckClientScreen(m_screen, console, frame) == Check::CarryOn) {
        // The client follows the programs onto their alternate screen and back: its main
        // screen and history stay as they were meanwhile, and come back as the terminal
        // kept them (with the pen and cursor of the switch), to be brought up to date.
        std::string switched;
        const ZScreen* client = &m_client;
        State state = m_state;
        static const ZScreen kNothingShown;
        if (m_screen.m_modes.altScreen && !state.modes.altScreen) {
            m_mainClient = m_client;
            m_mainPen = state.pen;
            switched = "\x1b[?1049h";
            client = &kNothingShown;  // a repaint
        } else if (!m_screen.m_modes.altScreen && state.modes.altScreen) {
            switched = "\x1b[?1049l";
            state.pen = m_mainPen;
            client = &m_mainClient;
        }
        state.modes.altScreen = m_screen.m_modes.altScreen;
        frame = Export2(m_screen, *client, state);
        frame.bytes.insert(0, switched);
    }
    m_state = frame.state;
    m_client = m_screen;
    return std::move(frame.bytes);
}

void ZScreenExport::Forget() {
    m_client = ZScreen();
    m_mainClient = ZScreen();
    m_state = State();
    m_mainPen = ZTelnet::Pen();
}

bool ZScreenExport::NewBurstNeedsCapture() {
    NewBurst();
    return m_guarded < std::min(m_scrollbackBurst, GuardLimit());
}

DWORD ZScreenExport::GuardLimit() const {
    return static_cast<DWORD>(
        ZScreen::ScrollRoom(m_screen.m_window.Bottom - m_screen.m_window.Top + 1));
}

ZScreenExport::Check ZScreenExport::CheckClientScreen(
    ZScreen& s, const std::optional<CONSOLE_SCREEN_BUFFER_INFO>& console, Frame& frame) const {
    ZTraceScope trace;
    trace.Trace("ZScreenExport::CheckClientScreen( )");
    const int w = m_telnet.m_clientSize.columns;
    const int h = m_telnet.m_clientSize.rows;
    if (s.m_window.Right == w - 1 && s.m_window.Bottom - s.m_window.Top == h - 1) {
        return Check::CarryOn;
    }
    // Cut the picture to the client where that is possible.
    if (s.m_window.Right > w - 1) {
        s.m_window.Right = static_cast<SHORT>(w - 1);
    }
    if (s.m_cursor.X > w - 1) {
        s.m_cursor.X = 0;
    }
    if (s.m_cursor.Y - s.m_window.Top > h - 1) {
        s.m_cursor.Y = s.m_window.Top;
    }
    if (s.m_window.Bottom - s.m_window.Top > h - 1 && s.m_window.Top == s.m_valid.Top &&
        s.m_window.Bottom == s.m_valid.Bottom) {
        s.m_window.Bottom = static_cast<SHORT>(s.m_window.Top + h - 1);
        s.m_valid.Bottom = s.m_window.Bottom;
    }
    if (s.m_window.Right - s.m_window.Left == w - 1 &&
        s.m_window.Bottom - s.m_window.Top == h - 1) {
        return Check::CarryOn;
    }
    // Without scroll-back the export goes on with the sizes as they are; so it does when
    // the console cannot be asked. A client taller than any window the picture supports
    // is told so in any case: no console follows it.
    if (h <= ZScreen::kMaxWindowRows && (!console || !ZConsole::HasScroll(*console))) {
        return Check::CarryOn;
    }
    if (frame.state.mismatchShown) {
        frame.bytes.clear();
        return Check::Mismatch;
    }
    frame.state.mismatchShown = true;
    // Bright white on red.
    const RichCell notice{0, cell_colour::kIndexed | 15, cell_colour::kIndexed | 1, 0, 0};
    frame.bytes = m_telnet.SetPen(0x4F, notice, frame.state.pen) + "\x1b[1;1f\x1b[0J" +
                  ZTelnet::MoveCursor(20, h / 2) + "ZAV error: client screen mismatch";
    return Check::Mismatch;
}

ZScreenExport::Frame ZScreenExport::Export2(const ZScreen& cur, const ZScreen& client,
                                            State state) const {
    ZTraceScope trace;
    TraceLevel(0);
    trace.Trace("ZScreenExport::Export2( )");
    Frame frame{{}, state};
    const bool full = NeedFlatScreen(cur, client, state);
    auto [before, after] = ModeChanges(cur.m_modes, frame.state.modes, full);
    if (full) {
        frame.state.mismatchShown = false;  // the repaint replaces the notice
        frame.bytes = FlatScreen(-1, -1, cur, frame.state.pen);
    } else {
        frame.bytes = DiffScreen(cur, client, frame.state.pen);
    }
    frame.bytes = before + frame.bytes + after;
    return frame;
}

std::pair<std::string, std::string> ZScreenExport::ModeChanges(const ConsoleModes& now,
                                                               ConsoleModes& client,
                                                               bool full) const {
    std::string before;
    std::string after;
    const auto mode = [&before](int number, bool on) {
        before += "\x1b[?" + std::to_string(number) + (on ? "h" : "l");
    };
    // The scroll-back erase goes first: lines the same frame scrolls come after it.
    if (now.scrollbackErased != client.scrollbackErased) {
        before += "\x1b[3J";
    }
    // The title only when a program changed it, not again with a repaint: the client's
    // title may since have been set by its own side (a multiplexer, the user), and
    // repaints come with every resize.
    if (now.title != client.title || now.iconName != client.iconName) {
        if (now.title == now.iconName) {
            before += "\x1b]0;" + PrintableTitle(now.title) + "\x07";
        } else {
            before += "\x1b]1;" + PrintableTitle(now.iconName) + "\x07";
            before += "\x1b]2;" + PrintableTitle(now.title) + "\x07";
        }
    }
    using Mouse = ConsoleModes::Mouse;
    using Encoding = ConsoleModes::MouseEncoding;
    const auto mouseMode = [](Mouse m) {
        return m == Mouse::Click ? 1000 : m == Mouse::Drag ? 1002 : 1003;
    };
    const auto encodingMode = [](Encoding e) {
        return e == Encoding::Utf8 ? 1005 : e == Encoding::Sgr ? 1006 : 1015;
    };
    if (now.mouse != client.mouse || (full && now.mouse != Mouse::None)) {
        if (client.mouse != Mouse::None && client.mouse != now.mouse) {
            mode(mouseMode(client.mouse), false);
        }
        if (now.mouse != Mouse::None) {
            mode(mouseMode(now.mouse), true);
        }
    }
    if (now.mouseEncoding != client.mouseEncoding ||
        (full && now.mouseEncoding != Encoding::Default)) {
        if (client.mouseEncoding != Encoding::Default &&
            client.mouseEncoding != now.mouseEncoding) {
            mode(encodingMode(client.mouseEncoding), false);
        }
        if (now.mouseEncoding != Encoding::Default) {
            mode(encodingMode(now.mouseEncoding), true);
        }
    }
    if (now.focusEvents != client.focusEvents || (full && now.focusEvents)) {
        mode(1004, now.focusEvents);
    }
    if (now.bracketedPaste != client.bracketedPaste || (full && now.bracketedPaste)) {
        mode(2004, now.bracketedPaste);
    }
    // The cursor's look last, once it stands where it belongs.
    if (now.cursorStyle != client.cursorStyle || (full && now.cursorStyle != 0)) {
        after += "\x1b[" + std::to_string(now.cursorStyle) + " q";
    }
    if (now.cursorVisible != client.cursorVisible || (full && !now.cursorVisible)) {
        after += now.cursorVisible ? "\x1b[?25h" : "\x1b[?25l";
    }
    const bool alt = client.altScreen;
    client = now;
    client.altScreen = alt;
    return {before, after};
}

bool ZScreenExport::NeedFlatScreen(const ZScreen& cur, const ZScreen& client,
                                   const State& state) const {
    ZTraceScope trace;
    trace.Trace("ZScreenExport::NeedFlatScreen( )");
    if (state.mismatchShown) {
        return true;
    }
    if (cur.m_valid.Top == 0) {
        trace.Trace("[ true ] - whole buff");
        return true;
    }
    if (cur.m_window.Bottom - cur.m_window.Top != client.m_window.Bottom - client.m_window.Top) {
        trace.Trace("[ true ] - screen differ");
        return true;
    }
    if (cur.m_window.Right - cur.m_window.Left != client.m_window.Right - client.m_window.Left) {
        trace.Trace("[ true ] - screen width differ");
        return true;
    }
    if (cur.m_window.Top < client.m_window.Top) {
        trace.Trace("[ true ] - screen top");
        return true;
    }
    if (ZConsole::HasScroll(cur.m_info) != ZConsole::HasScroll(client.m_info)) {
        trace.Trace("[ true ] - scrollback differ");
        return true;
    }
    trace.Trace("[ false ]");
    return false;
}

int ZScreenExport::RowEnd(int row, const ZScreen& picture, bool wholePen) {
    const CHAR_INFO* cells = picture.Row(row);
    const RichCell* rich = picture.RichRow(row);
    const int right = std::min<int>(picture.m_window.Right, picture.Columns() - 1);
    if (right >= 0 && Wrapped(picture, row)) {
        return right;
    }
    for (int x = right; x >= 0; --x) {
        const CHAR_INFO& cell = cells[x];
        if (!IsBlank(cell.UnicodeChar) || cell.Attributes != picture.m_info.wAttributes ||
            rich[x].text != 0 || (wholePen && !rich[x].SamePen(picture.m_blank))) {
            return x;
        }
    }
    return -1;
}

bool ZScreenExport::Joins(const ZScreen& picture, int row) const {
    if (m_dumbClient || row <= 0 || !Wrapped(picture, row - 1)) {
        return false;
    }
    const CHAR_INFO& first = picture.Row(row)[0];
    const RichCell& rich = picture.RichRow(row)[0];
    constexpr WORD kBackground = 0x00F0 | CONSOLE_DEFAULT_BACKGROUND;
    if (WholePen()) {
        return rich.background == picture.m_blank.background &&
               (rich.flags & cell_flag::kReverse) == 0;
    }
    return (first.Attributes & kBackground) == (picture.m_info.wAttributes & kBackground);
}

std::string ZScreenExport::RowText(const ZScreen& picture, int row, int first, int last,
                                   ZTelnet::Pen& pen) const {
    return m_telnet.ExportCells(std::span<const CHAR_INFO>(picture.Row(row), picture.Columns()),
                                picture.RichRow(row), first, last, pen);
}

// A line feed that scrolls the client fills the new line with the colour last sent, as
// terminals do; blanks of the console's current attribute are never sent, so that is the
// colour the new line must get. The colour goes before the line breaks when it differs.
std::string ZScreenExport::LineBreaks(int count, const ZScreen& picture, ZTelnet::Pen& pen) const {
    if (count <= 0) {
        return {};
    }
    std::string s = m_telnet.SetPen(picture.m_info.wAttributes, picture.m_blank, pen);
    for (int i = 0; i < count; ++i) {
        s += ZTelnet::NewLine();
    }
    return s;
}

// Line breaks, then a row's text; empty, with the colour left as it was, when the row
// has nothing to send. The breaks go first, so their colour precedes the row's own.
// length is the row text's byte count.
std::string ZScreenExport::BrokenRow(int breaks, const ZScreen& picture, int row, int first,
                                     int last, std::size_t& length, ZTelnet::Pen& pen) const {
    const ZTelnet::Pen colour = pen;
    std::string text = LineBreaks(breaks, picture, pen);
    const std::string line = RowText(picture, row, first, last, pen);
    if (line.empty()) {
        pen = colour;
        return {};
    }
    length = line.size();
    return text + line;
}

std::string ZScreenExport::FlatScreen(int first, int last, const ZScreen& picture,
                                      ZTelnet::Pen& pen, COORD* position, bool joined) const {
    ZTraceScope trace;
    trace.Trace("ZScreenExport::FlatScreen( ", first, ", ", last, " )");
    std::string s;
    const bool full = first == -1 && last == -1;
    const ZTelnet::Pen colourBefore = pen;
    // The line feed in front scrolls the client when new rows follow: it needs the colour
    // of the console's blanks (see LineBreaks). A repaint clears the screen anyway, and a
    // row the client wraps into needs neither.
    const std::string lead =
        full || joined ? std::string()
                       : m_telnet.SetPen(picture.m_info.wAttributes, picture.m_blank, pen);
    if (full) {
        s = m_telnet.SetPen(picture.m_info.wAttributes, picture.m_blank, pen) + "\x1b[1;1f\x1b[0J";
        first = picture.m_valid.Top;
        last = picture.m_valid.Bottom;
    }
    int trackedRow = first;
    int trackedColumn = 0;
    bool pending = false;  // the client stands past the end of the tracked row
    for (int row = first; row <= last; ++row) {
        const int end = RowEnd(row, picture, WholePen());
        if (end < 0) {
            continue;
        }
        std::size_t length = 0;
        const int breaks =
            pending && row == trackedRow + 1 && Joins(picture, row) ? 0 : row - trackedRow;
        const std::string text = BrokenRow(breaks, picture, row, 0, end, length, pen);
        if (text.empty()) {
            continue;
        }
        s += text;
        trackedColumn = static_cast<int>(length);
        trackedRow = row;
        pending = end == picture.m_window.Right;
    }
    if (s.empty()) {
        pen = colourBefore;  // nothing is sent, so no colour either
        return s;
    }
    // A repaint of more rows than the client shows must leave the client scrolled through
    // to the last of them, also when the last rows are empty; the client's top row is
    // then the window's.
    int top = picture.m_valid.Top;
    if (full && picture.m_valid.Top < picture.m_window.Top) {
        if (trackedRow < picture.m_valid.Bottom) {
            s += LineBreaks(picture.m_valid.Bottom - trackedRow, picture, pen);
            trackedColumn = 0;
            trackedRow = picture.m_valid.Bottom;
        }
        top = picture.m_window.Top;
    }
    if (position != nullptr) {
        *position = COORD{static_cast<SHORT>(trackedColumn), static_cast<SHORT>(trackedRow)};
    }
    s = lead + (joined ? std::string() : ZTelnet::NewLine()) + s;
    if (position == nullptr &&
        (trackedColumn != picture.m_cursor.X || trackedRow != picture.m_cursor.Y)) {
        const int d = picture.m_cursor.Y - top;
        if (d < m_telnet.m_clientSize.rows || picture.m_cursor.X != 0) {
            s += ZTelnet::MoveCursor(picture.m_cursor.X, d);
        } else {
            s += "\n";
        }
    }
    return s;
}

bool ZScreenExport::DiffRange(const ZScreen& cur, const ZScreen& client, int a, int& first,
                              int& last, int& column) const {
    const int k = client.m_window.Top + (a - cur.m_valid.Top);
    column = -1;
    first = -1;
    last = -1;
    if (k < 0 || k >= ZScreen::kRows) {
        return false;
    }
    int n =
        std::min({static_cast<int>(cur.m_window.Right), cur.Columns() - 1, client.Columns() - 1});
    if (m_dumbClient && a == cur.m_valid.Bottom) {
        n = cur.m_window.Right - 1;
    }
    const CHAR_INFO* now = cur.Row(a);
    const CHAR_INFO* was = client.Row(k);
    const RichCell* nowRich = cur.RichRow(a);
    const RichCell* wasRich = client.RichRow(k);
    for (int x = 0; x <= n; ++x) {
        if (!SameCell(now[x], was[x], nowRich[x], wasRich[x])) {
            if (first < 0) {
                first = x;
            }
            last = x;
        }
    }
    if (first < 0) {
        return false;
    }
    // A stretch may not start on the second half of a double-width character, in either
    // picture: the character is written whole from its first half (and writing over half
    // of one on the client erases all of it).
    if (first > 0 && ((now[first].Attributes & COMMON_LVB_TRAILING_BYTE) != 0 ||
                      (was[first].Attributes & COMMON_LVB_TRAILING_BYTE) != 0)) {
        --first;
    }
    column = first;
    if (k > client.m_cursor.Y) {
        column = -1;
        first = 0;
    }
    return true;
}

std::string ZScreenExport::DiffScreen(const ZScreen& cur, const ZScreen& client,
                                      ZTelnet::Pen& pen) const {
    ZTraceScope trace;
    trace.Trace("ZScreenExport::DiffScreen( )");
    const int h = m_telnet.m_clientSize.rows;
    std::string r;
    int top = cur.m_valid.Top;  // the picture row on the client's first row
    int trackedColumn = client.m_cursor.X;
    // The client's cursor in the current picture's rows. The client's screen shows its
    // picture from its window's top, which is the current picture's first valid row.
    int trackedRow = std::min<int>(client.m_cursor.Y - client.m_window.Top + cur.m_valid.Top,
                                   cur.m_valid.Bottom);
    bool pending = false;  // the client stands past the end of the tracked row
    int a = cur.m_valid.Top;
    for (; a <= cur.m_valid.Bottom &&
           client.m_window.Top + (a - cur.m_valid.Top) <= client.m_valid.Bottom;
         ++a) {
        int column = -1;
        int first = -1;
        int last = -1;
        if (!DiffRange(cur, client, a, first, last, column)) {
            continue;
        }
        // A row the client wrapped into the next (an earlier line that went on) but that
        // now ends where it ends: terminals keep a line's wrap until the line is erased
        // (a copy would join it with the next). The row is erased and written whole.
        const int shown = client.m_window.Top + (a - cur.m_valid.Top);
        if (Wrapped(client, shown) && !Wrapped(cur, a)) {
            if (!(trackedColumn == 0 && trackedRow == a)) {
                r += ZTelnet::MoveCursor(0, a - cur.m_valid.Top);
            }
            r += m_telnet.SetPen(cur.m_info.wAttributes, cur.m_blank, pen) + "\x1b[2K";
            const int end = RowEnd(a, cur, WholePen());
            const std::string text = end >= 0 ? RowText(cur, a, 0, end, pen) : std::string();
            r += text;
            trackedColumn = static_cast<int>(text.size());
            trackedRow = a;
            pending = false;
            continue;
        }
        // The client wraps into a row that goes on from the one it stands past the end of.
        const bool joins = pending && a == trackedRow + 1 && first == 0 && Joins(cur, a);
        if (column == -1) {
            std::size_t length = 0;
            const std::string text =
                BrokenRow(joins ? 0 : a - trackedRow, cur, a, first, last, length, pen);
            if (text.empty()) {
                continue;
            }
            r += text;
            trackedColumn = static_cast<int>(length);
            trackedRow = a;
        } else {
            const std::string seg = RowText(cur, a, first, last, pen);
            if (seg.empty()) {
                continue;
            }
            // Both rows are the current picture's, also when lines have scrolled.
            if (!(column == trackedColumn && a == trackedRow) && !joins) {
                r += ZTelnet::MoveCursor(column, a - cur.m_valid.Top);
            }
            r += seg;
            trackedColumn = column + static_cast<int>(seg.size());
            trackedRow = a;
        }
        pending = last == cur.m_window.Right;
    }
    if (a <= cur.m_valid.Bottom) {
        // The rows from a on are new to the client, which must scroll one line for each:
        // the line feeds start on its last row, and continue past the last row sent.
        const int lastShown = a - 1;
        const bool joins =
            pending && trackedRow == lastShown && RowEnd(a, cur, WholePen()) >= 0 && Joins(cur, a);
        if (trackedRow != lastShown) {
            r += ZTelnet::MoveCursor(0, lastShown - cur.m_valid.Top);
            trackedColumn = 0;
            trackedRow = lastShown;
        }
        COORD position{static_cast<SHORT>(trackedColumn), static_cast<SHORT>(trackedRow)};
        r += FlatScreen(a, cur.m_valid.Bottom, cur, pen, &position, joins);
        trackedColumn = position.X;
        trackedRow = position.Y;
        if (trackedRow < cur.m_valid.Bottom) {
            r += LineBreaks(cur.m_valid.Bottom - trackedRow, cur, pen);
            trackedColumn = 0;
            trackedRow = cur.m_valid.Bottom;
        }
        top = cur.m_window.Top;  // the client has scrolled with the console
    }
    const int d = cur.m_cursor.Y - top;
    if (cur.m_cursor.X != trackedColumn || cur.m_cursor.Y != trackedRow) {
        if (d >= h && cur.m_cursor.X == 0) {
            r += "\n";
        } else {
            r += ZTelnet::MoveCursor(cur.m_cursor.X, d);
        }
    }
    if (!r.empty() || cur.m_cursor.X != client.m_cursor.X || cur.m_cursor.Y != client.m_cursor.Y) {
        r += ZTelnet::MoveCursor(cur.m_cursor.X, d);
    }
    return r;
}
