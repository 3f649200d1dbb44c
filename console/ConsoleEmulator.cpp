#include "console/ConsoleEmulator.h"

#include <uninorm.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

#include "base/ClusterTable.h"
#include "base/Unicode.h"
#include "console/PlainText.h"
#include "win32/ConsoleScrollMark.h"

namespace {

// A character and the combining marks that follow it, as the one character that
// composes them (canonical composition, NFC) where there is one; the cell keeps only
// one character, so marks that do not compose with the base are dropped.
char32_t ComposedCharacter(const std::uint32_t* chars) {
    std::size_t count = 0;
    while (count < VTERM_MAX_CHARS_PER_CELL && chars[count] != 0) {
        ++count;
    }
    if (count <= 1) {
        return chars[0];
    }
    std::array<std::uint32_t, std::size_t{4} * VTERM_MAX_CHARS_PER_CELL> buffer{};
    std::size_t length = buffer.size();
    std::uint32_t* composed = u32_normalize(UNINORM_NFC, chars, count, buffer.data(), &length);
    if (composed == nullptr) {
        return chars[0];
    }
    const char32_t first = length > 0 ? composed[0] : chars[0];
    if (composed != buffer.data()) {
        // libunistring's own allocation when the result outgrew the buffer.
        std::free(composed);  // NOLINT(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
    }
    return first;
}

// The longest unterminated string at the end of a write that is held back whole.
constexpr std::size_t kMaxHeldString = 4096;

// The bytes at the end of text that start a UTF-8 character without finishing it.
std::size_t IncompleteUtf8Tail(std::string_view bytes) {
    const std::size_t n = bytes.size();
    for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
        const auto c = static_cast<unsigned char>(bytes[n - back]);
        if ((c & 0xC0) == 0x80) {
            continue;  // a continuation byte: its lead is further back
        }
        const std::size_t length = c >= 0xC2 && c < 0xE0   ? 2
                                   : c >= 0xE0 && c < 0xF0 ? 3
                                   : c >= 0xF0 && c < 0xF5 ? 4
                                                           : 1;
        return length > back ? back : 0;
    }
    return 0;
}

// The bytes at the end of the program's output that libvterm 0.1.4 would take wrongly
// if the rest came in another write: an unfinished UTF-8 character, or an unterminated
// string (OSC, DCS, APC, PM, SOS; a window title, for one), which it drops. A string
// longer than kMaxHeldString passes as it is.
std::size_t IncompleteTail(std::string_view bytes) {
    std::size_t esc = bytes.rfind('\x1b');
    if (esc != std::string_view::npos && esc + 1 == bytes.size() && esc > 0) {
        // A lone ESC may begin the string's terminator (ESC \\): look at the one before.
        const std::size_t before = bytes.rfind('\x1b', esc - 1);
        if (before != std::string_view::npos) {
            esc = before;
        }
    }
    if (esc != std::string_view::npos && bytes.size() - esc <= kMaxHeldString) {
        if (esc + 1 == bytes.size()) {
            return 1;
        }
        const char kind = bytes[esc + 1];
        const bool string = kind == ']' || kind == 'P' || kind == '_' || kind == '^' || kind == 'X';
        if (string && bytes.find('\a', esc) == std::string_view::npos &&
            bytes.find("\x1b\\", esc) == std::string_view::npos) {
            return bytes.size() - esc;
        }
    }
    return IncompleteUtf8Tail(bytes);
}

// Characters that take exactly one cell and need no terminal processing: these may be
// written straight into the cells (the scroll mark among them).
bool IsPlainNarrow(char16_t c) {
    return (c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c < 0x300) || (c >= 0x2190 && c < 0x2C00);
}

}  // namespace

std::unique_ptr<ConsoleEmulator> ConsoleEmulator::Create(Events& events) {
    std::unique_ptr<ConsoleEmulator> emulator(new ConsoleEmulator(events));
    if (!emulator->Open()) {
        return nullptr;
    }
    return emulator;
}

ConsoleEmulator::ConsoleEmulator(Events& events) : m_events(events) {}

ConsoleEmulator::~ConsoleEmulator() = default;

bool ConsoleEmulator::Open() {
    const SMALL_RECT& w = m_main.Window();
    m_vt.reset(vterm_new(w.Bottom - w.Top + 1, w.Right - w.Left + 1));
    if (!m_vt) {
        SetLastError(ENOMEM);
        return false;
    }
    vterm_set_utf8(m_vt.get(), 1);
    vterm_output_set_callback(m_vt.get(), &ConsoleEmulator::OnOutput, this);
    m_state = vterm_obtain_state(m_vt.get());
    m_callbacks.putglyph = &ConsoleEmulator::OnPutGlyph;
    m_callbacks.movecursor = &ConsoleEmulator::OnMoveCursor;
    m_callbacks.scrollrect = &ConsoleEmulator::OnScrollRect;
    m_callbacks.moverect = &ConsoleEmulator::OnMoveRect;
    m_callbacks.erase = &ConsoleEmulator::OnErase;
    m_callbacks.initpen = &ConsoleEmulator::OnInitPen;
    m_callbacks.setpenattr = &ConsoleEmulator::OnSetPenAttr;
    m_callbacks.settermprop = &ConsoleEmulator::OnSetTermProp;
    m_callbacks.resize = &ConsoleEmulator::OnResize;
    vterm_state_set_callbacks(m_state, &m_callbacks, this);
    // Bold stays bold: the pen keeps the colour the program chose (the attribute word
    // makes bold bright itself).
    vterm_state_set_bold_highbright(m_state, 0);
    // Without a reset first, libvterm's first input write crashes.
    vterm_state_reset(m_state, 1);
    Prime();
    return true;
}

void ConsoleEmulator::Prime() {
    // A repeat (CSI b) before the first character ever printed loops forever in libvterm
    // 0.1.4: a blank printed and taken back gives it a character to repeat (after a CAN
    // that ends any sequence a reset left its parser in).
    vterm_input_write(m_vt.get(), "\x18 \r", 3);
}

void ConsoleEmulator::Reset(std::string title) {
    m_alt.reset();
    m_main = ConsoleBuffer(kDefaultBuffer, kDefaultWindow, DefaultCell());
    m_placed.reset();
    m_wrap.armed = false;
    m_reportedCursor = COORD{-1, -1};
    m_pen.Reset();
    m_guard.Reset();
    m_scanner.Reset();
    m_partial.clear();
    vterm_state_reset(m_state, 1);
    Prime();
    ResizeTerminal(0);
    m_modes = ConsoleModes{};
    m_cursorStyled = false;
    m_title = std::move(title);
    m_changed = true;
}

// ---- program output ----------------------------------------------------------------------

void ConsoleEmulator::Input(std::string_view bytes) {
    vterm_input_write(m_vt.get(), bytes.data(), bytes.size());
}

void ConsoleEmulator::Feed(std::string_view bytes) {
    // Nothing reaches libvterm that it would take wrongly or not survive.
    bytes = m_guard.Filter(bytes);
    // libvterm takes a character or a string cut between two of its writes wrongly: the
    // start of an unfinished one waits for the rest of it.
    std::string joined;
    if (!m_partial.empty()) {
        joined = m_partial;
        joined.append(bytes);
        bytes = joined;
    }
    const std::size_t tail = IncompleteTail(bytes);
    m_partial.assign(bytes.substr(bytes.size() - tail));
    bytes.remove_suffix(tail);
    m_scanner.SetRows(Rows());
    while (!bytes.empty()) {
        unsigned events = OutputScanner::kNone;
        const std::size_t n = m_scanner.Scan(bytes, events, m_plainRun);
        Input(bytes.substr(0, n));
        bytes.remove_prefix(n);
        if (events != OutputScanner::kNone) {
            ApplyScanned(events);
        } else if (!bytes.empty()) {
            // The scanner stopped where a long run of plain text starts.
            const std::size_t run = m_scanner.PlainRunLength();
            FeedPlain(bytes.substr(0, run));
            bytes.remove_prefix(run);
        }
    }
}

// A run of printable ASCII, CR and LF, which the scanner found outside any sequence with
// nothing in force that changes what such text does. libvterm takes the run up to its
// first printable character itself: that it draws that character (once, where its own
// cursor was, not moving text aside as insert mode would, on a line of single width, off
// the right margin) shows its parser is at rest and no wrap is pending. What follows is
// drawn here as libvterm would draw it, through the same callbacks: cells in the pen's
// colours, carriage returns, line feeds that scroll at the bottom. A character that
// reaches the right margin and the run's last character go to libvterm again, after it
// is told the cursor: it wraps as it does, and what it remembers of the last glyph (for
// combining marks and repeats) is right.
void ConsoleEmulator::FeedPlain(std::string_view run) {
    int rows = 0;
    int columns = 0;
    vterm_get_size(m_vt.get(), &rows, &columns);
    const char* const lost = LostBefore(run, rows);
    while (!run.empty()) {
        const std::size_t first = run.find_first_not_of("\r\n");
        const std::size_t last = run.find_last_not_of("\r\n");
        if (first == std::string_view::npos || last - first < kPlainRun / 2) {
            Input(run);
            return;
        }
        m_probe = Probe{};
        m_probe.active = true;
        Input(run.substr(0, first + 1));
        m_probe.active = false;
        if (m_probe.glyphs != 1 || m_probe.character != static_cast<unsigned char>(run[first]) ||
            m_probe.scrolled || m_probe.doubleWidth || m_probe.pos.row < 0 ||
            m_probe.pos.row >= rows || m_probe.pos.col < 0 || m_probe.pos.col + 1 >= columns) {
            Input(run.substr(first + 1));
            return;
        }
        VTermPos pos{m_probe.pos.row, m_probe.pos.col + 1};
        const VTermPos told = pos;
        std::size_t i = first + 1;
        bool margin = false;
        while (i < last && !margin) {
            const char c = run[i];
            if (c == '\r') {
                const VTermPos old = pos;
                pos.col = 0;
                if (pos.col != old.col) {
                    OnMoveCursor(pos, old, 1, this);
                }
                ++i;
            } else if (c == '\n') {
                const bool draw = run.data() + i >= lost;
                const std::size_t after =
                    pos.row == rows - 1
                        ? PlainLines(run, i,
                                     draw ? last : static_cast<std::size_t>(lost - run.data()), pos,
                                     rows, columns, draw)
                        : i;
                if (after == i) {
                    PlainLineFeed(pos, rows, columns, draw);
                    ++i;
                } else {
                    i = after;
                }
            } else {
                const std::size_t end = i + plain_text::PrintableLength(run.substr(i, last - i));
                const auto room = static_cast<std::size_t>(columns - 1 - pos.col);
                margin = end - i > room;
                const std::size_t length = margin ? room : end - i;
                PlainStretch(run.substr(i, length), pos, run.data() + i >= lost);
                i += length;
            }
        }
        if (pos.row != told.row || pos.col != told.col) {
            char cup[32];
            const int n = std::snprintf(cup, sizeof cup, "\x1b[%d;%dH", pos.row + 1, pos.col + 1);
            m_syncing = true;
            Input(std::string_view(cup, static_cast<std::size_t>(n)));
            m_syncing = false;
        }
        if (!margin) {
            Input(run.substr(i));
            return;
        }
        // The character at the right margin; the next one wraps in libvterm.
        Input(run.substr(i, 1));
        run.remove_prefix(i + 1);
    }
}

// Where the part of a run starts whose drawing can be seen: before it, every row drawn
// leaves the main screen's buffer through the run's own later line feeds, so the rows
// need not be drawn (only the cursor, the wrap and the scrolls are followed). A run
// drawn on the alternate screen, or with the window above the buffer's end, is drawn
// whole.
const char* ConsoleEmulator::LostBefore(std::string_view run, int rows) const {
    const SMALL_RECT& window = m_main.Window();
    if (m_alt || window.Bottom != m_main.Size().Y - 1) {
        return run.data();
    }
    // Line feeds after the point: enough to bring the cursor down to the bottom row and
    // then scroll every row of the buffer out.
    std::size_t needed = static_cast<std::size_t>(m_main.Size().Y) + static_cast<std::size_t>(rows);
    if (run.size() < needed || plain_text::LineFeeds(run) < needed) {
        return run.data();
    }
    for (std::size_t i = run.size(); i > 0; --i) {
        if (run[i - 1] == '\n' && --needed == 0) {
            return run.data() + i - 1;
        }
    }
    return run.data();
}

// Characters of one row, as libvterm's glyph callbacks and the cursor report after them
// would draw them (without drawing them when the row is lost anyway).
void ConsoleEmulator::PlainStretch(std::string_view text, VTermPos& pos, bool draw) {
    if (text.empty()) {
        return;
    }
    const VTermPos old = pos;
    ConsoleBuffer& buffer = Active();
    if (draw) {
        if (m_wrap.armed && pos.col == 0 && pos.row == m_wrap.row + 1) {
            buffer.SetWrapped(m_wrap.row);
        }
        buffer.PutText(pos.row, pos.col, text, PlainCell(), m_pen.Concealed());
    }
    pos.col += static_cast<int>(text.size());
    m_wrap = Wrap{true, pos.row, pos.col};  // never at the margin: see FeedPlain
    m_changed = true;
    OnMoveCursor(pos, old, 1, this);
}

// A line feed as libvterm makes it with the whole screen for its scrolling region. In a
// lost part of a run (see LostBefore) the window is at the end of the main screen's
// buffer and every row is drawn again later: a scroll there moves no cell, it only
// counts (the scroll guard's mark moves up with the text, and is lost the same).
void ConsoleEmulator::PlainLineFeed(VTermPos& pos, int rows, int columns, bool draw) {
    const VTermPos old = pos;
    if (pos.row == rows - 1 && !draw) {
        const VTermRect rect{0, rows, 0, columns};
        ScrollWrap(rect, 1, 0);
        m_events.Scrolled(1, 0);
        m_changed = true;
    } else if (pos.row == rows - 1) {
        OnScrollRect(VTermRect{0, rows, 0, columns}, 1, 0, this);
    } else if (pos.row < rows - 1) {
        ++pos.row;
    }
    if (pos.row != old.row) {
        OnMoveCursor(pos, old, 1, this);
    }
}

ConsoleCell ConsoleEmulator::PlainCell() const {
    ConsoleCell cell{CHAR_INFO{u' ', m_pen.Attributes()}, m_pen.Rich()};
    if (!m_pen.Concealed()) {
        cell.rich.text = 0;
    }
    return cell;
}

// Lines that scroll at the bottom row, from the line feed at `at` on: what PlainLineFeed
// and PlainStretch would make of them one by one, made with one scroll. Each line's text
// lands in the row the later line feeds leave it in, which is the scroll's new blank row
// (or, for the line the cursor was on, the bottom row moved up). The lines stop before
// `stop`, before a line feed past the window's height (each line's row must stay in the
// window), and before text that reaches the right margin or goes on from the row above:
// the caller takes those one by one. Returns where the lines end (`at` when they are
// none), the cursor on the bottom row where they leave it.
std::size_t ConsoleEmulator::PlainLines(std::string_view run, std::size_t at, std::size_t stop,
                                        VTermPos& pos, int rows, int columns, bool draw) {
    // The wrap tracker in lines counted from the cursor's (line 0, the bottom row now).
    bool armed = m_wrap.armed;
    int wrapLine = m_wrap.row - (rows - 1);
    int wrapCol = m_wrap.col;
    int lines = 0;
    int col = pos.col;
    std::size_t i = at;
    while (i < stop) {
        const char c = run[i];
        if (c == '\n') {
            if (lines == rows - 1) {
                break;
            }
            ++lines;
            ++i;
        } else if (c == '\r') {
            if (col != 0 && !(wrapLine == lines && wrapCol == 0)) {
                armed = false;  // as OnMoveCursor would see the move
            }
            col = 0;
            ++i;
        } else {
            const std::size_t end = i + plain_text::PrintableLength(run.substr(i, stop - i));
            const auto length = static_cast<int>(end - i);
            if (col + length > columns - 1 || (armed && col == 0 && wrapLine == lines - 1)) {
                break;
            }
            armed = true;
            wrapLine = lines;
            col += length;
            wrapCol = col;
            i = end;
        }
    }
    if (lines == 0) {
        return at;
    }
    const VTermRect screen{0, rows, 0, columns};
    if (draw) {
        OnScrollRect(screen, lines, 0, this);
        const ConsoleCell cell = PlainCell();
        const bool concealed = m_pen.Concealed();
        ConsoleBuffer& buffer = Active();
        int line = 0;
        int x = pos.col;
        for (std::size_t j = at; j < i;) {
            const char c = run[j];
            if (c == '\n') {
                ++line;
                ++j;
            } else if (c == '\r') {
                x = 0;
                ++j;
            } else {
                const std::size_t end = j + plain_text::PrintableLength(run.substr(j, i - j));
                buffer.PutText(rows - 1 - (lines - line), x, run.substr(j, end - j), cell,
                               concealed);
                x += static_cast<int>(end - j);
                j = end;
            }
        }
    } else {
        // A lost part (see PlainLineFeed): the scroll only counts.
        m_events.Scrolled(lines, 0);
    }
    const int wrapRow = rows - 1 - (lines - wrapLine);
    m_wrap = Wrap{armed && wrapRow >= 0, wrapRow, wrapCol};
    pos.col = col;
    ++m_generation;  // the cursor moved with the text
    m_changed = true;
    return i;
}

void ConsoleEmulator::ApplyScanned(unsigned events) {
    using Scanner = OutputScanner;
    if ((events & Scanner::kConcealOn) != 0) {
        m_pen.SetConcealed(true);
    }
    if ((events & (Scanner::kConcealOff | Scanner::kFullReset)) != 0) {
        m_pen.SetConcealed(false);
    }
    if ((events & Scanner::kPen) != 0) {
        const Scanner::PenChange& change = m_scanner.Pen();
        if (change.dim >= 0) {
            m_pen.SetDim(change.dim != 0);
        }
        if (change.overline >= 0) {
            m_pen.SetOverline(change.overline != 0);
        }
    }
    if ((events & Scanner::kFullReset) != 0) {
        m_pen.SetDim(false);
        m_pen.SetOverline(false);
    }
    if ((events & Scanner::kColumnMode) != 0) {
        // The window keeps the client's width; the rest is what a VT100 does: margins
        // reset, cursor home, screen cleared.
        Input("\x1b[r\x1b[H\x1b[2J");
    }
    if ((events & Scanner::kFullReset) != 0) {
        FullReset();
    }
    if ((events & Scanner::kSoftReset) != 0) {
        // DECSTR: 0.1.4 takes its '!' for a leader and ignores it (upstream mended that
        // in 0.3.3); the console makes libvterm's soft reset itself, which there also
        // ends mouse reporting.
        vterm_state_reset(m_state, 0);
        Input("\x1b[?1000l");
    }
    if ((events & (Scanner::kSoftReset | Scanner::kCursorStyleDefault)) != 0) {
        m_cursorStyled = false;
        m_modes.cursorStyle = 0;
    }
    if ((events & Scanner::kCursorStyle) != 0) {
        m_cursorStyled = true;
        UpdateCursorStyle();
    }
    if ((events & (Scanner::kModes | Scanner::kSoftReset | Scanner::kFullReset)) != 0) {
        const Scanner::Modes& modes = m_scanner.CurrentModes();
        m_modes.mouseEncoding = modes.mouseEncoding;
        m_modes.focusEvents = modes.focusEvents;
        m_modes.bracketedPaste = modes.bracketedPaste;
    }
    if ((events & Scanner::kEraseScrollback) != 0) {
        // ED 3, which libvterm 0.1.4 ignores: the main screen's rows above its window go,
        // on whichever screen the program draws.
        m_main.EraseScrollback(DefaultCell());
        ++m_modes.scrollbackErased;
        m_events.ScrollbackErased(m_main.Window().Top);
    }
    if ((events & Scanner::kCharsetsRestored) != 0) {
        // libvterm restores the cursor but not the character sets saved with it.
        Input(m_scanner.RestoreBytes());
    }
    if ((events & ~(Scanner::kConcealOn | Scanner::kConcealOff | Scanner::kPen)) != 0) {
        m_changed = true;  // the client has a mode to apply
    }
}

// RIS: libvterm resets itself, but neither reports the modes it dropped nor leaves the
// alternate screen through its callback; the console goes back to the main screen,
// cleared as libvterm cleared the other.
void ConsoleEmulator::FullReset() {
    const std::uint32_t erased = m_modes.scrollbackErased;  // a count, not a mode
    m_modes = ConsoleModes{};
    m_modes.scrollbackErased = erased;
    m_cursorStyled = false;
    Input("\x1b[?1000l");  // libvterm keeps its mouse reporting through a reset
    if (m_alt) {
        SetAltScreen(false);
        Input("\x1b[2J");
    }
}

// DECSCUSR's number for libvterm's shape and blinking, once a program chose a shape.
void ConsoleEmulator::UpdateCursorStyle() {
    if (!m_cursorStyled) {
        return;
    }
    const int first = m_cursorShape == VTERM_PROP_CURSORSHAPE_UNDERLINE  ? 3
                      : m_cursorShape == VTERM_PROP_CURSORSHAPE_BAR_LEFT ? 5
                                                                         : 1;
    m_modes.cursorStyle = static_cast<std::uint8_t>(first + (m_cursorBlink ? 0 : 1));
}

ScrollBound::Window ConsoleEmulator::OutputWindow() const {
    VTermPos pos{};
    vterm_state_get_cursorpos(m_state, &pos);
    const ConsoleBuffer& buffer = Active();
    return ScrollBound::Window{buffer.WindowWidth(), buffer.WindowHeight(), pos.col};
}

// ---- the session's text --------------------------------------------------------------------

void ConsoleEmulator::Write(std::string_view utf8) {
    std::string processed;
    processed.reserve(utf8.size() + 16);
    for (char c : utf8) {
        if (c == '\n') {
            processed.push_back('\r');
        }
        processed.push_back(c);
    }
    SyncCursor();
    m_wrap.armed = false;  // the session's text is no part of a program's line
    Feed(processed);
    m_wrap.armed = false;
    m_changed = true;
}

bool ConsoleEmulator::PutCharacter(char16_t c) {
    const COORD cursor = m_placed ? *m_placed : TerminalCursor();
    const COORD size = Active().Size();
    if (!IsPlainNarrow(c) || cursor.X >= size.X - 1 || cursor.Y >= size.Y) {
        return false;
    }
    // It keeps the colour of the cell it covers: the mark is put back by the capture
    // character for character, and should leave no trace in colour either. The flag
    // tells the session's mark from the same character written by a program. The rich
    // half keeps the text of the character it covers, which the put-back restores.
    ConsoleCell& cell = Active().At(cursor.X, cursor.Y);
    cell.info = CHAR_INFO{c, static_cast<WORD>((cell.info.Attributes & ~COMMON_LVB_TRAILING_BYTE) |
                                               CONSOLE_SCROLL_MARK)};
    KeepCursor(COORD{static_cast<SHORT>(cursor.X + 1), cursor.Y});
    m_changed = true;
    return true;
}

bool ConsoleEmulator::WriteCharacters(COORD at, std::u16string_view text, DWORD& written) {
    ConsoleBuffer& buffer = Active();
    if (!buffer.Contains(at)) {
        SetLastError(EINVAL);
        return false;
    }
    const COORD size = buffer.Size();
    written = 0;
    int x = at.X;
    int y = at.Y;
    for (const char16_t unit : text) {
        if (y >= size.Y) {
            break;
        }
        // The character the mark covered put back: the cell is no longer the mark, and
        // its text beyond one unit (kept under the mark) is the character's again.
        ConsoleCell& cell = buffer.At(x, y);
        const bool mark = (cell.info.Attributes & CONSOLE_SCROLL_MARK) != 0;
        cell.info = CHAR_INFO{unit, static_cast<WORD>(cell.info.Attributes & ~CONSOLE_SCROLL_MARK)};
        if (!mark) {
            cell.rich.text = 0;
        }
        ++written;
        if (++x == size.X) {
            x = 0;
            ++y;
        }
    }
    m_changed = true;
    return true;
}

bool ConsoleEmulator::ReadOutput(CHAR_INFO* cells, COORD size, COORD origin,
                                 SMALL_RECT& region) const {
    const ConsoleBuffer& buffer = Active();
    const COORD bufferSize = buffer.Size();
    if (size.X <= 0 || size.Y <= 0 || origin.X < 0 || origin.Y < 0 || origin.X >= size.X ||
        origin.Y >= size.Y) {
        SetLastError(EINVAL);
        return false;
    }
    // Clip the source to the buffer and to what fits the destination from origin.
    const int left = std::max<int>(region.Left, 0);
    const int top = std::max<int>(region.Top, 0);
    const int right = std::min<int>({region.Right, bufferSize.X - 1, left + size.X - origin.X - 1});
    const int bottom =
        std::min<int>({region.Bottom, bufferSize.Y - 1, top + size.Y - origin.Y - 1});
    if (left > right || top > bottom) {
        SetLastError(EINVAL);
        return false;
    }
    for (int y = top; y <= bottom; ++y) {
        const ConsoleCell* row = buffer.Row(y);
        CHAR_INFO* dest =
            cells + static_cast<std::ptrdiff_t>(origin.Y + y - top) * size.X + origin.X;
        for (int x = left; x <= right; ++x) {
            *dest++ = row[x].info;
        }
    }
    region = SMALL_RECT{static_cast<SHORT>(left), static_cast<SHORT>(top),
                        static_cast<SHORT>(right), static_cast<SHORT>(bottom)};
    return true;
}

// ---- cursor ------------------------------------------------------------------------------

COORD ConsoleEmulator::TerminalCursor() const {
    VTermPos pos{};
    vterm_state_get_cursorpos(m_state, &pos);
    const SMALL_RECT& w = Active().Window();
    return COORD{static_cast<SHORT>(w.Left + pos.col), static_cast<SHORT>(w.Top + pos.row)};
}

COORD ConsoleEmulator::Cursor() const {
    if (m_placed && m_placedGeneration == m_generation) {
        return *m_placed;
    }
    return TerminalCursor();
}

void ConsoleEmulator::SyncCursor() {
    if (!m_placed) {
        return;
    }
    const COORD c = *m_placed;
    m_placed.reset();
    const SMALL_RECT& w = Active().Window();
    const int row = std::clamp<int>(c.Y - w.Top, 0, w.Bottom - w.Top);
    const int col = std::clamp<int>(c.X - w.Left, 0, w.Right - w.Left);
    char move[32];
    const int n = std::snprintf(move, sizeof move, "\x1b[%d;%dH", row + 1, col + 1);
    Input(std::string_view(move, static_cast<std::size_t>(n)));
}

bool ConsoleEmulator::SetCursor(COORD position) {
    if (!Active().Contains(position)) {
        SetLastError(EINVAL);
        return false;
    }
    // Putting back a cursor read before the program moved it would point into the past:
    // the cursor stays with the program. A put-back follows a placement of the session's
    // own (the scroll mark's); without one this is a new placement, however it compares.
    if (m_placed && position.X == m_reportedCursor.X && position.Y == m_reportedCursor.Y &&
        m_generation != m_reportedGeneration) {
        m_placed.reset();
        return true;
    }
    // Unlike Windows, the window does not follow a cursor placed outside it: the window is
    // the program's screen, and moving it under a printing program would shift its output.
    KeepCursor(position);
    return true;
}

void ConsoleEmulator::KeepCursor(COORD position) {
    const COORD terminal = TerminalCursor();
    if (terminal.X == position.X && terminal.Y == position.Y) {
        m_placed.reset();
    } else {
        m_placed = position;
        m_placedGeneration = m_generation;
    }
}

// ---- geometry ----------------------------------------------------------------------------

void ConsoleEmulator::GetInfo(CONSOLE_SCREEN_BUFFER_INFO& info) {
    const ConsoleBuffer& buffer = Active();
    info.dwSize = buffer.Size();
    COORD cursor = Cursor();
    cursor.X = std::clamp<SHORT>(cursor.X, 0, static_cast<SHORT>(info.dwSize.X - 1));
    cursor.Y = std::clamp<SHORT>(cursor.Y, 0, static_cast<SHORT>(info.dwSize.Y - 1));
    info.dwCursorPosition = cursor;
    m_reportedCursor = cursor;
    m_reportedGeneration = m_generation;
    info.wAttributes = m_pen.Attributes();
    info.srWindow = buffer.Window();
    info.dwMaximumWindowSize = info.dwSize;
}

bool ConsoleEmulator::ReadRich(COORD at, RichCell* cells, int count) const {
    const ConsoleBuffer& buffer = Active();
    if (!buffer.Contains(at) || count < 0) {
        SetLastError(EINVAL);
        return false;
    }
    const ConsoleCell* row = buffer.Row(at.Y);
    const int end = std::min<int>(buffer.Size().X, at.X + count);
    for (int x = at.X; x < end; ++x) {
        *cells++ = row[x].rich;
    }
    return true;
}

ConsoleCell ConsoleEmulator::DefaultCell() {
    return ConsoleCell{CHAR_INFO{u' ', ConsolePen::kDefault}, RichCell{}};
}

ConsoleCell ConsoleEmulator::Blank() const {
    return ConsoleCell{
        CHAR_INFO{u' ', static_cast<WORD>(m_pen.Attributes() & (0x00FF | CONSOLE_DEFAULT_COLOURS))},
        m_pen.Blank()};
}

bool ConsoleEmulator::SetBufferSize(COORD size) {
    const COORD cursor = Cursor();
    const SHORT top = Active().Window().Top;
    if (!Active().Resize(size, DefaultCell())) {
        return false;
    }
    if (!m_alt) {
        m_events.MainResized(size.Y);
    }
    ResizeTerminal(top - Active().Window().Top);
    // The cursor keeps its buffer position where it still exists.
    KeepCursor(COORD{std::min<SHORT>(cursor.X, static_cast<SHORT>(size.X - 1)),
                     std::min<SHORT>(cursor.Y, static_cast<SHORT>(size.Y - 1))});
    m_changed = true;
    return true;
}

bool ConsoleEmulator::SetWindow(const SMALL_RECT& window) {
    const COORD cursor = Cursor();
    const SHORT top = Active().Window().Top;
    if (!Active().SetWindow(window)) {
        return false;
    }
    ResizeTerminal(top - Active().Window().Top);
    // The cursor keeps its buffer position, as on Windows.
    KeepCursor(cursor);
    m_changed = true;
    return true;
}

// Gives libvterm the window's size when it changed. shift: the rows the window's top
// moved up by, which the terminal's cursor moves down by, so that it stays on its row of
// the buffer (as far as the window reaches).
void ConsoleEmulator::ResizeTerminal(int shift) {
    const int rows = Rows();
    const int cols = Columns();
    int oldRows = 0;
    int oldCols = 0;
    vterm_get_size(m_vt.get(), &oldRows, &oldCols);
    if (oldRows != rows || oldCols != cols) {
        if (!m_scanner.ScrollingRegionFits(rows)) {
            // A region the new size leaves without a row is reset to the whole screen first,
            // as xterm resets its region on every resize; the cursor stays where it is.
            VTermPos pos{};
            vterm_state_get_cursorpos(m_state, &pos);
            char reset[40];
            const int n =
                std::snprintf(reset, sizeof reset, "\x1b[r\x1b[%d;%dH", pos.row + 1, pos.col + 1);
            m_syncing = true;
            Input(std::string_view(reset, static_cast<std::size_t>(n)));
            m_syncing = false;
            m_scanner.ScrollingRegionReset();
        }
        m_resizeShift = shift;
        vterm_set_size(m_vt.get(), rows, cols);
        m_resizeShift = 0;
    }
}

void ConsoleEmulator::SetAltScreen(bool on) {
    if (on == m_alt.has_value()) {
        return;
    }
    const SMALL_RECT w = Active().Window();
    const SHORT width = static_cast<SHORT>(w.Right - w.Left + 1);
    const SHORT height = static_cast<SHORT>(w.Bottom - w.Top + 1);
    if (on) {
        // The alternate screen is exactly as large as the window, which sits at its origin.
        m_alt.emplace(
            COORD{width, height},
            SMALL_RECT{0, 0, static_cast<SHORT>(width - 1), static_cast<SHORT>(height - 1)},
            DefaultCell());
    } else {
        m_alt.reset();
        // A window resized meanwhile keeps its new size on the main screen.
        SMALL_RECT main = m_main.Window();
        if (main.Right - main.Left + 1 != width || main.Bottom - main.Top + 1 != height) {
            const COORD size = m_main.Size();
            if (size.X < width || size.Y < height) {
                m_main.Resize(COORD{std::max(size.X, width), std::max(size.Y, height)},
                              DefaultCell());
                m_events.MainResized(m_main.Size().Y);
                main = m_main.Window();
            }
            const COORD grown = m_main.Size();
            main.Left = std::min<SHORT>(main.Left, static_cast<SHORT>(grown.X - width));
            main.Top = std::min<SHORT>(main.Top, static_cast<SHORT>(grown.Y - height));
            main.Right = static_cast<SHORT>(main.Left + width - 1);
            main.Bottom = static_cast<SHORT>(main.Top + height - 1);
            m_main.SetWindow(main);
        }
    }
    m_placed.reset();
    m_wrap.armed = false;
    m_changed = true;
}

// ---- keys ----------------------------------------------------------------------------------

std::string ConsoleEmulator::KeyBytes(VTermKey key, VTermModifier modifiers) {
    std::string bytes;
    m_keyBytes = &bytes;
    vterm_keyboard_key(m_vt.get(), key, modifiers);
    m_keyBytes = nullptr;
    return bytes;
}

// ---- libvterm's callbacks (inside vterm_input_write) -----------------------------------

int ConsoleEmulator::OnPutGlyph(VTermGlyphInfo* info, VTermPos pos, void* user) {
    auto* self = static_cast<ConsoleEmulator*>(user);
    if (self->m_probe.active) {
        Probe& probe = self->m_probe;
        ++probe.glyphs;
        probe.character = info->chars[0];
        probe.pos = pos;
        probe.doubleWidth = info->dwl != 0 || info->width != 1 || info->chars[1] != 0;
    }
    const WORD attributes = self->m_pen.Attributes();
    ConsoleBuffer& buffer = self->Active();
    const int width = std::max(1, info->width);
    ConsoleCell cell{CHAR_INFO{u' ', attributes}, self->m_pen.Rich()};
    if (self->m_pen.Concealed()) {
        for (int i = 0; i < width; ++i) {
            buffer.Put(pos.row, pos.col + i, cell);
        }
    } else {
        const char32_t c = ComposedCharacter(info->chars);
        // The unit keeps one UTF-16 unit: a character beyond it takes the two halves of
        // its surrogate pair into its two cells; one only one cell wide cannot be kept
        // there. The rich half keeps the character, or the whole cluster, as written.
        WCHAR first = static_cast<WCHAR>(c);
        WCHAR second = first;
        if (c > 0xFFFF) {
            if (width == 2) {
                first = unicode::HighSurrogate(c);
                second = unicode::LowSurrogate(c);
            } else {
                first = static_cast<WCHAR>(0xFFFD);
            }
        }
        cell.info.UnicodeChar = first;
        cell.rich.text = RichText(info->chars);
        buffer.Put(pos.row, pos.col, cell);
        cell.info = CHAR_INFO{second, static_cast<WORD>(attributes | COMMON_LVB_TRAILING_BYTE)};
        cell.rich.text = 0;
        for (int i = 1; i < width; ++i) {
            buffer.Put(pos.row, pos.col + i, cell);
        }
    }
    // A glyph at the start of the row below the last one, with no cursor movement in
    // between, is the program's text going on past the right margin.
    if (self->m_wrap.armed && pos.col == 0 && pos.row == self->m_wrap.row + 1) {
        buffer.SetWrapped(self->m_wrap.row);
    }
    const int after = pos.col + width;
    self->m_wrap = Wrap{true, pos.row, after < buffer.WindowWidth() ? after : pos.col};
    self->m_changed = true;
    return 1;
}

// The rich half's text of a glyph: 0 when the unit holds it, else the character or the
// number of its cluster (0 too when the cluster table is full: the unit's character then).
char32_t ConsoleEmulator::RichText(const std::uint32_t* chars) {
    if (chars[0] == 0 || chars[1] == 0) {
        return chars[0] > 0xFFFF ? static_cast<char32_t>(chars[0]) : 0;
    }
    std::string utf8;
    for (std::size_t i = 0; i < VTERM_MAX_CHARS_PER_CELL && chars[i] != 0; ++i) {
        char bytes[4];
        utf8.append(bytes, static_cast<std::size_t>(unicode::EncodeUtf8(chars[i], bytes)));
    }
    const std::optional<std::uint32_t> number = ClusterTable::Shared().Intern(utf8);
    return number ? RichCell::kCluster | *number : 0;
}

int ConsoleEmulator::OnMoveCursor(VTermPos pos, VTermPos /*oldpos*/, int /*visible*/, void* user) {
    auto* self = static_cast<ConsoleEmulator*>(user);
    if (self->m_syncing) {
        return 1;  // the plain path reported this move already
    }
    // libvterm reports the cursor after a run of text (where the last glyph left it, also
    // when a wrap is pending); any other move ends the line, a carriage return back to
    // a glyph's own column among them.
    Wrap& wrap = self->m_wrap;
    if (wrap.armed && !(pos.row == wrap.row && pos.col == wrap.col)) {
        wrap.armed = false;
    }
    ++self->m_generation;
    self->m_changed = true;
    return 1;
}

int ConsoleEmulator::OnScrollRect(VTermRect rect, int downward, int rightward, void* user) {
    auto* self = static_cast<ConsoleEmulator*>(user);
    // Insert mode moves the line's rest aside before a glyph.
    self->m_probe.scrolled = self->m_probe.scrolled || (self->m_probe.active && rightward != 0);
    self->ScrollWrap(rect, downward, rightward);
    // Only the main screen keeps lines that leave the window.
    const SMALL_RECT before = self->Active().Window();
    const int kept =
        self->Active().Scroll(rect.start_row, rect.end_row, rect.start_col, rect.end_col, downward,
                              rightward, self->Blank(), !self->m_alt.has_value());
    if (kept > 0) {
        self->m_events.Scrolled(kept, self->m_main.Window().Top - before.Top);
    }
    self->m_changed = true;
    return 1;
}

// A line feed at the bottom (an automatic one among them) moves the last glyph's row up
// with the text; any other scroll ends the line.
void ConsoleEmulator::ScrollWrap(const VTermRect& rect, int downward, int rightward) {
    Wrap& wrap = m_wrap;
    if (wrap.armed) {
        const bool up = downward > 0 && rightward == 0 && rect.start_col == 0 &&
                        rect.end_col == Active().WindowWidth() && wrap.row >= rect.start_row &&
                        wrap.row < rect.end_row;
        wrap.row -= downward;
        wrap.armed = up && wrap.row >= rect.start_row;
    }
}

int ConsoleEmulator::OnMoveRect(VTermRect dest, VTermRect src, void* user) {
    auto* self = static_cast<ConsoleEmulator*>(user);
    self->m_wrap.armed = false;
    self->Active().Move(dest.start_row, dest.start_col, src.start_row, src.end_row, src.start_col,
                        src.end_col);
    self->m_changed = true;
    return 1;
}

int ConsoleEmulator::OnErase(VTermRect rect, int /*selective*/, void* user) {
    auto* self = static_cast<ConsoleEmulator*>(user);
    self->m_wrap.armed = false;
    self->Active().Erase(rect.start_row, rect.end_row, rect.start_col, rect.end_col, self->Blank());
    self->m_changed = true;
    return 1;
}

int ConsoleEmulator::OnInitPen(void* user) {
    static_cast<ConsoleEmulator*>(user)->m_pen.Reset();
    return 1;
}

int ConsoleEmulator::OnSetPenAttr(VTermAttr attr, VTermValue* value, void* user) {
    static_cast<ConsoleEmulator*>(user)->m_pen.Set(attr, *value);
    return 1;
}

int ConsoleEmulator::OnSetTermProp(VTermProp prop, VTermValue* value, void* user) {
    auto* self = static_cast<ConsoleEmulator*>(user);
    switch (prop) {
        case VTERM_PROP_TITLE:
            // The console's title is the session's too (it finds its window by it); the
            // program's own is kept apart, for the client.
            self->m_title = value->string != nullptr ? value->string : "";
            self->m_modes.title = self->m_title;
            break;
        case VTERM_PROP_ICONNAME:
            self->m_modes.iconName = value->string != nullptr ? value->string : "";
            break;
        case VTERM_PROP_ALTSCREEN:
            self->SetAltScreen(value->boolean != 0);
            break;
        case VTERM_PROP_MOUSE:
            self->m_modes.mouse =
                value->number == VTERM_PROP_MOUSE_CLICK  ? ConsoleModes::Mouse::Click
                : value->number == VTERM_PROP_MOUSE_DRAG ? ConsoleModes::Mouse::Drag
                : value->number == VTERM_PROP_MOUSE_MOVE ? ConsoleModes::Mouse::Move
                                                         : ConsoleModes::Mouse::None;
            break;
        case VTERM_PROP_CURSORVISIBLE:
            self->m_modes.cursorVisible = value->boolean != 0;
            break;
        // DECSCUSR reports both, blinking first; so do DECSET 12 (blinking alone), DECRC
        // (the saved ones) and the resets (a blinking block), which set no shape of a
        // program's: the style follows them only once a program chose one.
        case VTERM_PROP_CURSORBLINK:
            self->m_cursorBlink = value->boolean != 0;
            self->UpdateCursorStyle();
            break;
        case VTERM_PROP_CURSORSHAPE:
            self->m_cursorShape = value->number;
            self->UpdateCursorStyle();
            break;
        default:
            return 1;
    }
    self->m_changed = true;
    return 1;
}

int ConsoleEmulator::OnResize(int /*rows*/, int /*cols*/, VTermPos* delta, void* user) {
    auto* self = static_cast<ConsoleEmulator*>(user);
    self->m_wrap.armed = false;
    // The cursor follows its row as far as the window reaches: libvterm bounds it below
    // the window but not above, and a cursor above the first row makes it read outside
    // its line table.
    VTermPos pos{};
    vterm_state_get_cursorpos(self->m_state, &pos);
    delta->row += self->m_resizeShift;
    delta->row = std::max(delta->row, -pos.row);
    return 1;
}

void ConsoleEmulator::OnOutput(const char* bytes, std::size_t length, void* user) {
    auto* self = static_cast<ConsoleEmulator*>(user);
    const std::string_view output(bytes, length);
    if (self->m_keyBytes != nullptr) {
        self->m_keyBytes->append(output);
        return;
    }
    // libvterm answers a secondary device attributes query (CSI > c) as itself, version
    // 100, which programs take for a terminal of 256 colours and more; this console
    // renders 16 and answers as a VT100 (type 0, firmware 10, no cartridge).
    if ((output.starts_with("\x1b[>") || output.starts_with("\x9b>")) && output.ends_with('c')) {
        self->m_events.Reply(output[0] == '\x1b' ? std::string_view("\x1b[>0;10;0c")
                                                 : std::string_view("\x9b>0;10;0c"));
        return;
    }
    self->m_events.Reply(output);
}
