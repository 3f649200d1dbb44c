#include "console/ConsoleHost.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <time.h>
#include <uninorm.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/Unicode.h"
#include "win32/ErrnoFailure.h"
#include "win32/HandleTable.h"
#include "win32/PrivilegeBroker.h"

namespace {

class ConsoleObject : public KernelObject {};

// One of the console's eventfds seen as an auto-reset event. The console lives as long
// as the process, so the descriptor is borrowed.
class ConsoleEvent : public KernelObject {
  public:
    explicit ConsoleEvent(int fd) : m_fd(fd) {}
    int WaitFd() const override { return m_fd; }
    bool ResetOnWait() const override { return true; }

  private:
    int m_fd;
};

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
    std::array<std::uint32_t, 4 * VTERM_MAX_CHARS_PER_CELL> buffer{};
    std::size_t length = buffer.size();
    std::uint32_t* composed = u32_normalize(UNINORM_NFC, chars, count, buffer.data(), &length);
    if (composed == nullptr) {
        return chars[0];
    }
    const char32_t first = length > 0 ? composed[0] : chars[0];
    if (composed != buffer.data()) {
        std::free(composed);
    }
    return first;
}

std::uint64_t MonotonicMilliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000U +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000U;
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

// The bytes at the end of the program's output that the emulator (libvterm 0.1.4) would
// take wrongly if the rest came in another write: an unfinished UTF-8 character, or an
// unterminated string (OSC, DCS, APC, PM, SOS; a window title, for one), which it drops.
// A string longer than kMaxHeldString passes as it is.
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

// Characters that take exactly one cell and need no terminal processing: these are
// written straight into the cells (the scroll mark among them).
bool IsPlainNarrow(char16_t c) {
    return (c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c < 0x300) || (c >= 0x2190 && c < 0x2C00);
}

VTermKey KeyOfVirtualKey(WPARAM vk) {
    switch (vk) {
        case VK_UP:
            return VTERM_KEY_UP;
        case VK_DOWN:
            return VTERM_KEY_DOWN;
        case VK_LEFT:
            return VTERM_KEY_LEFT;
        case VK_RIGHT:
            return VTERM_KEY_RIGHT;
        case VK_HOME:
            return VTERM_KEY_HOME;
        case VK_END:
            return VTERM_KEY_END;
        case VK_PRIOR:
            return VTERM_KEY_PAGEUP;
        case VK_NEXT:
            return VTERM_KEY_PAGEDOWN;
        case VK_INSERT:
            return VTERM_KEY_INS;
        case VK_DELETE:
            return VTERM_KEY_DEL;
        case VK_RETURN:
            return VTERM_KEY_ENTER;
        case VK_BACK:
            return VTERM_KEY_BACKSPACE;
        case VK_TAB:
            return VTERM_KEY_TAB;
        case VK_ESCAPE:
            return VTERM_KEY_ESCAPE;
        default:
            if (vk >= VK_F1 && vk <= VK_F12) {
                return static_cast<VTermKey>(VTERM_KEY_FUNCTION(static_cast<int>(vk - VK_F1 + 1)));
            }
            return VTERM_KEY_NONE;
    }
}

std::string ProgramPath() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string("console");
}

// The seam's calls that start programs on the console, name its terminal or open the
// window station find the console here, and create it on first use as the console
// functions do.
[[maybe_unused]] const bool g_provided =
    (ConsoleTerminal::SetProvider([]() -> ConsoleTerminal* { return ConsoleHost::Instance(); }),
     true);

}  // namespace

ConsoleHost* ConsoleHost::Instance() {
    static std::mutex creation;
    static std::unique_ptr<ConsoleHost> host;
    static bool failed = false;
    std::lock_guard lock(creation);
    if (!host && !failed) {
        std::unique_ptr<ConsoleHost> fresh(new ConsoleHost());
        if (fresh->Open()) {
            host = std::move(fresh);
        } else {
            // Left for the next call to try again; the error code tells why.
            return nullptr;
        }
    }
    return host.get();
}

bool ConsoleHost::Open() {
    // A session split for privileges runs on the terminal its privileged side made: the
    // only terminal that side ever gives the user.
    int master = -1;
    int slave = -1;
    const PrivilegeBroker* broker = PrivilegeBroker::Installed();
    if (broker != nullptr) {
        if (!broker->takeTerminal(master, slave, m_terminalName)) {
            return false;  // taken already: a second terminal would not be the shell's
        }
        m_master.Reset(master);
        m_slave.Reset(slave);
    } else if (!ConsoleTerminal::Make(m_master, m_slave, m_terminalName)) {
        return false;
    }
    const int flags = ::fcntl(m_master.Get(), F_GETFL);
    ::fcntl(m_master.Get(), F_SETFL, flags | O_NONBLOCK);
    termios mode{};
    if (::tcgetattr(m_slave.Get(), &mode) == 0) {
        mode.c_iflag |= IUTF8;
        ::tcsetattr(m_slave.Get(), TCSANOW, &mode);
    }
    m_defaultMode = mode;
    m_wakeup.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    m_attention.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    m_pumpEvent.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!m_wakeup.Valid() || !m_attention.Valid() || !m_pumpEvent.Valid()) {
        return FailWithErrno();
    }

    const SMALL_RECT& w = m_main.Window();
    m_vt.reset(vterm_new(w.Bottom - w.Top + 1, w.Right - w.Left + 1));
    if (!m_vt) {
        SetLastError(ENOMEM);
        return false;
    }
    vterm_set_utf8(m_vt.get(), 1);
    vterm_output_set_callback(m_vt.get(), &ConsoleHost::OnOutput, this);
    m_state = vterm_obtain_state(m_vt.get());
    m_callbacks.putglyph = &ConsoleHost::OnPutGlyph;
    m_callbacks.movecursor = &ConsoleHost::OnMoveCursor;
    m_callbacks.scrollrect = &ConsoleHost::OnScrollRect;
    m_callbacks.moverect = &ConsoleHost::OnMoveRect;
    m_callbacks.erase = &ConsoleHost::OnErase;
    m_callbacks.initpen = &ConsoleHost::OnInitPen;
    m_callbacks.setpenattr = &ConsoleHost::OnSetPenAttr;
    m_callbacks.settermprop = &ConsoleHost::OnSetTermProp;
    m_callbacks.resize = &ConsoleHost::OnResize;
    vterm_state_set_callbacks(m_state, &m_callbacks, this);
    vterm_state_set_bold_highbright(m_state, 1);
    // Without a reset first, libvterm's first input write crashes.
    vterm_state_reset(m_state, 1);
    PrimeTerminalLocked();
    ResizeTerminalLocked();

    m_defaultTitle = ProgramPath();
    m_title = m_defaultTitle;
    HandleTable& table = HandleTable::Instance();
    m_outputHandle = table.Add(std::make_shared<ConsoleObject>());
    m_inputHandle = table.Add(std::make_shared<ConsoleObject>());
    m_windowHandle = table.Add(std::make_shared<ConsoleObject>());
    m_changeEvent = table.Add(std::make_shared<ConsoleEvent>(m_wakeup.Get()));
    m_attentionEvent = table.Add(std::make_shared<ConsoleEvent>(m_attention.Get()));
    m_pump = std::thread(&ConsoleHost::Pump, this);
    return true;
}

ConsoleHost::~ConsoleHost() {
    m_stopping = true;
    Kick();
    if (m_pump.joinable()) {
        m_pump.join();
    }
}

void ConsoleHost::PrimeTerminalLocked() {
    // A repeat (CSI b) before the first character ever printed loops forever in libvterm
    // 0.1.4: a blank printed and taken back gives it a character to repeat (after a CAN
    // that ends any sequence a reset left its parser in).
    vterm_input_write(m_vt.get(), "\x18 \r", 3);
}

void ConsoleHost::Kick() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_pumpEvent.Get(), &one, sizeof one);
}

void ConsoleHost::SignalLocked() {
    const std::uint64_t one = 1;
    if (m_changed) {
        m_changed = false;
        [[maybe_unused]] ssize_t n = ::write(m_wakeup.Get(), &one, sizeof one);
    }
    if (m_attend) {
        m_attend = false;
        [[maybe_unused]] ssize_t n = ::write(m_attention.Get(), &one, sizeof one);
    }
}

void ConsoleHost::AttendLocked() {
    m_attend = true;
}

ConsoleHost::Hold::Hold(ConsoleHost& host) : m_host(host), m_lock(host.m_mutex) {
    m_wasQuiet = m_host.m_quiet;
    m_host.m_quiet = true;
    if (!m_wasQuiet) {
        m_host.m_dirty = false;  // the holder sees every change made before it
        m_host.m_quietSpell = 0;
    }
}

ConsoleHost::Hold::~Hold() {
    m_host.m_quiet = m_wasQuiet;
}

void ConsoleHost::Pump() {
    // Output read but not yet applied: the scroll guard may hold part of a chunk back
    // until the session has captured what scrolled.
    std::string chunk(65536, '\0');
    std::size_t heldFrom = 0;
    std::size_t heldTo = 0;
    bool hungUp = false;
    while (!m_stopping) {
        bool reading = false;
        {
            std::lock_guard lock(m_mutex);
            if (heldFrom < heldTo) {
                heldFrom +=
                    FeedGuardedLocked(std::string_view(chunk.data() + heldFrom, heldTo - heldFrom));
            }
            reading = heldFrom == heldTo && !m_ended;
            SignalLocked();
        }
        if (reading && m_dryAt == 0) {
            int waiting = 0;
            if (::ioctl(m_master.Get(), FIONREAD, &waiting) == 0 && waiting == 0) {
                m_dryAt = MonotonicMilliseconds();
            }
        }
        const bool writing = m_hasPending && !hungUp;
        // A hung-up terminal keeps reporting POLLHUP: it is watched only while read.
        const bool watch = reading || writing;
        pollfd fds[2] = {{watch ? m_master.Get() : -1,
                          static_cast<short>((reading ? POLLIN : 0) | (writing ? POLLOUT : 0)), 0},
                         {m_pumpEvent.Get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(m_pumpEvent.Get(), &count, sizeof count);
        }
        if (reading && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = ::read(m_master.Get(), chunk.data(), chunk.size());
            const int error = errno;
            std::lock_guard lock(m_mutex);
            if (n > 0) {
                if (m_dryAt != 0) {
                    m_quietSpell = std::max<unsigned long>(
                        m_quietSpell,
                        static_cast<unsigned long>(MonotonicMilliseconds() - m_dryAt));
                    m_dryAt = 0;
                }
                heldFrom = 0;
                heldTo = static_cast<std::size_t>(n);
                heldFrom += FeedGuardedLocked(std::string_view(chunk.data(), heldTo));
                FlushInputLocked();
            } else if (n == 0 || (error != EAGAIN && error != EINTR)) {
                // EIO: no program holds the terminal any more and everything it wrote
                // has been read. Before the session released the terminal that cannot
                // happen; after, it is the end of the output.
                hungUp = true;
                if (m_released) {
                    m_ended = true;
                    AttendLocked();
                }
                m_pendingInput.clear();
                m_pendingOffset = 0;
                m_hasPending = false;
            }
            SignalLocked();
        }
        if (writing && (fds[0].revents & POLLOUT) != 0) {
            std::lock_guard lock(m_mutex);
            FlushInputLocked();
            SignalLocked();
        }
    }
}

std::size_t ConsoleHost::GuardRoomLocked() {
    // The guard counts on the alternate screen too: output that leaves it scrolls the
    // main screen again, and the bound must stop before too much of that, whatever
    // the same read did on the alternate screen first.
    if (m_guardRow < 0 || !m_guardHolds) {
        return SIZE_MAX;
    }
    const ConsoleBuffer& buffer = m_main;
    const std::size_t below =
        static_cast<std::size_t>(std::max(0, buffer.Size().Y - 1 - buffer.Window().Bottom));
    return std::min(m_guardLeft, static_cast<std::size_t>(m_guardRow) + below);
}

std::size_t ConsoleHost::FeedGuardedLocked(std::string_view bytes) {
    std::size_t fed = 0;
    while (fed < bytes.size()) {
        const std::size_t room = GuardRoomLocked();
        const std::string_view rest = bytes.substr(fed);
        std::size_t n = m_bound.Take(rest, room, BoundWindowLocked());
        if (room != SIZE_MAX) {
            // A quarter of the room left: ask for the capture while output still flows.
            if ((room * 4 < m_guardTotal || n < rest.size()) && !m_captureWanted) {
                m_captureWanted = true;
                AttendLocked();
            }
            if (n == 0) {
                if (m_guardLeft < m_guardTotal) {
                    break;  // held back until the capture
                }
                // Even a fresh guard cannot take the next sequence (a scroll by a count
                // larger than the room): it passes alone.
                n = m_bound.TakeOne(rest, BoundWindowLocked());
            }
        }
        FeedLocked(rest.substr(0, n));
        fed += n;
    }
    return fed;
}

ScrollBound::Window ConsoleHost::BoundWindowLocked() {
    VTermPos pos{};
    vterm_state_get_cursorpos(m_state, &pos);
    const ConsoleBuffer& buffer = Active();
    return ScrollBound::Window{buffer.WindowWidth(), buffer.WindowHeight(), pos.col};
}

void ConsoleHost::ScrolledLocked(int kept, const SMALL_RECT& before) {
    if (m_guardRow < 0) {
        return;
    }
    // Rows the window moved down over the buffer leave the mark in place; the rest moved
    // the whole buffer up, and the mark with it.
    const int moved = m_main.Window().Top - before.Top;
    m_guardRow -= kept - moved;
    const auto lines = static_cast<std::size_t>(kept);
    m_guardLeft = m_guardLeft > lines ? m_guardLeft - lines : 0;
    if (m_guardRow < 0) {
        m_guardRow = -1;  // the mark is gone: nothing more to hold for
    }
}

SHORT ConsoleHost::GuardRow() {
    std::lock_guard lock(m_mutex);
    // The alternate screen has no scroll-back and no mark; the main screen's is kept.
    return m_alt ? SHORT{-2} : static_cast<SHORT>(m_guardRow);
}

void ConsoleHost::GuardScroll(SHORT row, DWORD lines) {
    std::lock_guard lock(m_mutex);
    const bool wasWanted = m_captureWanted;
    m_captureWanted = false;
    if (m_alt) {
        // A capture of the alternate screen plants no mark: the main screen's mark and
        // guard stay, so the first capture after the switch back takes the lines that
        // scrolled before it (a command's output right before a full-screen program).
    } else if (row < 0 || row >= m_main.Size().Y) {
        m_guardRow = -2;
        m_guardHolds = false;
    } else {
        // The row is followed even when nothing is held back for it.
        m_guardRow = row;
        m_guardLeft = lines;
        m_guardTotal = lines;
        m_guardHolds = lines > 0;
    }
    if (wasWanted) {
        Kick();  // the pump applies what it held back
    }
}

bool ConsoleHost::CaptureWanted() {
    std::lock_guard lock(m_mutex);
    return m_captureWanted;
}

bool ConsoleHost::Changed() {
    std::lock_guard lock(m_mutex);
    return m_dirty;
}

void ConsoleHost::GuardResizedLocked() {
    if (m_guardRow >= m_main.Size().Y) {
        m_guardRow = -1;
    }
}

bool ConsoleHost::InputFull() {
    std::lock_guard lock(m_mutex);
    return m_inputFull;
}

void ConsoleHost::ReleaseTerminal() {
    std::lock_guard lock(m_mutex);
    if (!m_released) {
        m_released = true;
        m_slave.Reset();
        Kick();
    }
}

unsigned long ConsoleHost::QuietSpell() {
    std::lock_guard lock(m_mutex);
    return m_quietSpell;
}

bool ConsoleHost::OutputEnded() {
    std::lock_guard lock(m_mutex);
    return m_ended;
}

// ---- cursor --------------------------------------------------------------------------

// The cursor is shared by the session and the program, as on Windows, with one rule
// that keeps the two from hurting each other: the session's placement of the cursor is
// kept apart from the terminal's cursor. The console reports the session's placement
// until the program next moves its cursor, and the session's next write lands there; the
// terminal's own cursor is moved there only when the session writes text through the
// terminal. A program's output always continues at the terminal's cursor. So the session
// can write the scroll mark and put the cursor back while a program prints, without ever
// displacing the program's output or its pending line wrap.
COORD ConsoleHost::TerminalCursorLocked() {
    VTermPos pos{};
    vterm_state_get_cursorpos(m_state, &pos);
    const SMALL_RECT& w = Active().Window();
    return COORD{static_cast<SHORT>(w.Left + pos.col), static_cast<SHORT>(w.Top + pos.row)};
}

COORD ConsoleHost::CursorLocked() {
    if (m_placed && m_placedGeneration == m_generation) {
        return *m_placed;
    }
    return TerminalCursorLocked();
}

void ConsoleHost::SyncCursorLocked() {
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
    vterm_input_write(m_vt.get(), move, static_cast<std::size_t>(n));
}

bool ConsoleHost::SetCursor(COORD position) {
    std::lock_guard lock(m_mutex);
    if (!Active().Contains(position)) {
        SetLastError(EINVAL);
        return false;
    }
    // Putting back a cursor read before the program moved it would point into the past:
    // the cursor stays with the program.
    if (position.X == m_reportedCursor.X && position.Y == m_reportedCursor.Y &&
        m_generation != m_reportedGeneration) {
        m_placed.reset();
        return true;
    }
    // Unlike Windows, the window does not follow a cursor placed outside it: the window is
    // the program's screen, and moving it under a printing program would shift its output.
    KeepCursorLocked(position);
    SignalLocked();
    return true;
}

void ConsoleHost::KeepCursorLocked(COORD position) {
    const COORD terminal = TerminalCursorLocked();
    if (terminal.X == position.X && terminal.Y == position.Y) {
        m_placed.reset();
    } else {
        m_placed = position;
        m_placedGeneration = m_generation;
    }
}

// ---- writing and reading cells --------------------------------------------------------

void ConsoleHost::FeedLocked(std::string_view bytes) {
    // Nothing reaches the emulator that it would take wrongly or not survive.
    bytes = m_guard.Filter(bytes);
    // The emulator takes a character or a string cut between two of its writes wrongly:
    // the start of an unfinished one waits for the rest of it.
    std::string joined;
    if (!m_partial.empty()) {
        joined = m_partial;
        joined.append(bytes);
        bytes = joined;
    }
    const std::size_t tail = IncompleteTail(bytes);
    m_partial.assign(bytes.substr(bytes.size() - tail));
    bytes.remove_suffix(tail);
    while (!bytes.empty()) {
        OutputScanner::Event event = OutputScanner::Event::None;
        const std::size_t n = m_scanner.Scan(bytes, event);
        vterm_input_write(m_vt.get(), bytes.data(), n);
        bytes.remove_prefix(n);
        switch (event) {
            case OutputScanner::Event::ConcealOn:
                m_pen.SetConcealed(true);
                break;
            case OutputScanner::Event::ConcealOff:
            case OutputScanner::Event::FullReset:
                m_pen.SetConcealed(false);
                break;
            case OutputScanner::Event::ColumnMode: {
                // The window keeps the client's width; the rest is what a VT100 does:
                // margins reset, cursor home, screen cleared.
                constexpr std::string_view kClear = "\x1b[r\x1b[H\x1b[2J";
                vterm_input_write(m_vt.get(), kClear.data(), kClear.size());
                break;
            }
            case OutputScanner::Event::None:
                break;
        }
    }
}

bool ConsoleHost::Write(std::string_view utf8) {
    std::string processed;
    processed.reserve(utf8.size() + 16);
    for (char c : utf8) {
        if (c == '\n') {
            processed.push_back('\r');
        }
        processed.push_back(c);
    }
    std::lock_guard lock(m_mutex);
    SyncCursorLocked();
    FeedLocked(processed);
    FlushInputLocked();
    ChangedLocked();
    SignalLocked();
    return true;
}

bool ConsoleHost::Write(std::u16string_view text) {
    {
        std::lock_guard lock(m_mutex);
        const COORD cursor = m_placed ? *m_placed : TerminalCursorLocked();
        const COORD size = Active().Size();
        // A single character (the scroll mark) goes straight into its cell, wherever the
        // session put the cursor; the terminal's cursor stays where the program left it.
        if (text.size() == 1 && IsPlainNarrow(text[0]) && cursor.X < size.X - 1 &&
            cursor.Y < size.Y) {
            // It keeps the colour of the cell it covers: the mark is put back by the
            // capture character for character, and should leave no trace in colour either.
            CHAR_INFO& cell = Active().At(cursor.X, cursor.Y);
            cell =
                CHAR_INFO{text[0], static_cast<WORD>(cell.Attributes & ~COMMON_LVB_TRAILING_BYTE)};
            KeepCursorLocked(COORD{static_cast<SHORT>(cursor.X + text.size()), cursor.Y});
            ChangedLocked();
            SignalLocked();
            return true;
        }
    }
    return Write(std::string_view(unicode::Utf16ToUtf8(text)));
}

bool ConsoleHost::WriteCharacters(COORD at, std::u16string_view text, DWORD& written) {
    std::lock_guard lock(m_mutex);
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
        buffer.At(x, y).UnicodeChar = unit;
        ++written;
        if (++x == size.X) {
            x = 0;
            ++y;
        }
    }
    ChangedLocked();
    SignalLocked();
    return true;
}

bool ConsoleHost::ReadOutput(CHAR_INFO* cells, COORD size, COORD origin, SMALL_RECT& region) {
    std::lock_guard lock(m_mutex);
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
        const CHAR_INFO* row = buffer.Row(y);
        CHAR_INFO* dest =
            cells + static_cast<std::ptrdiff_t>(origin.Y + y - top) * size.X + origin.X;
        std::copy(row + left, row + right + 1, dest);
    }
    region = SMALL_RECT{static_cast<SHORT>(left), static_cast<SHORT>(top),
                        static_cast<SHORT>(right), static_cast<SHORT>(bottom)};
    return true;
}

// ---- geometry ----------------------------------------------------------------------------

bool ConsoleHost::GetInfo(CONSOLE_SCREEN_BUFFER_INFO& info) {
    std::lock_guard lock(m_mutex);
    const ConsoleBuffer& buffer = Active();
    info.dwSize = buffer.Size();
    COORD cursor = CursorLocked();
    cursor.X = std::clamp<SHORT>(cursor.X, 0, static_cast<SHORT>(info.dwSize.X - 1));
    cursor.Y = std::clamp<SHORT>(cursor.Y, 0, static_cast<SHORT>(info.dwSize.Y - 1));
    info.dwCursorPosition = cursor;
    m_reportedCursor = cursor;
    m_reportedGeneration = m_generation;
    info.wAttributes = m_pen.Attributes();
    info.srWindow = buffer.Window();
    info.dwMaximumWindowSize = info.dwSize;
    return true;
}

CHAR_INFO ConsoleHost::BlankLocked() const {
    return CHAR_INFO{u' ',
                     static_cast<WORD>(m_pen.Attributes() & (0x00FF | CONSOLE_DEFAULT_COLOURS))};
}

bool ConsoleHost::SetBufferSize(COORD size) {
    std::lock_guard lock(m_mutex);
    const COORD cursor = CursorLocked();
    const SHORT top = Active().Window().Top;
    if (!Active().Resize(size, CHAR_INFO{u' ', ConsolePen::kDefault})) {
        return false;
    }
    if (!m_alt) {
        GuardResizedLocked();
    }
    if (m_observer) {
        m_observer("buffer", SMALL_RECT{0, 0, size.X, size.Y});
    }
    ResizeTerminalLocked(top - Active().Window().Top);
    // The cursor keeps its buffer position where it still exists.
    KeepCursorLocked(COORD{std::min<SHORT>(cursor.X, static_cast<SHORT>(size.X - 1)),
                           std::min<SHORT>(cursor.Y, static_cast<SHORT>(size.Y - 1))});
    ChangedLocked();
    SignalLocked();
    return true;
}

bool ConsoleHost::SetWindow(const SMALL_RECT& window) {
    std::lock_guard lock(m_mutex);
    const COORD cursor = CursorLocked();
    const SHORT top = Active().Window().Top;
    if (!Active().SetWindow(window)) {
        return false;
    }
    if (m_observer) {
        m_observer("window", window);
    }
    ResizeTerminalLocked(top - Active().Window().Top);
    // The cursor keeps its buffer position, as on Windows.
    KeepCursorLocked(cursor);
    ChangedLocked();
    SignalLocked();
    return true;
}

// Gives the terminal the window's size when it changed; the shell gets SIGWINCH. shift:
// the rows the window's top moved up by, which the terminal's cursor moves down by, so
// that it stays on its row of the buffer (as far as the window reaches).
void ConsoleHost::ResizeTerminalLocked(int shift) {
    const ConsoleBuffer& buffer = Active();
    const int rows = buffer.WindowHeight();
    const int cols = buffer.WindowWidth();
    int oldRows = 0;
    int oldCols = 0;
    vterm_get_size(m_vt.get(), &oldRows, &oldCols);
    if (oldRows != rows || oldCols != cols) {
        m_resizeShift = shift;
        vterm_set_size(m_vt.get(), rows, cols);
        m_resizeShift = 0;
    }
    winsize size{};
    if (::ioctl(m_master.Get(), TIOCGWINSZ, &size) != 0 || size.ws_row != rows ||
        size.ws_col != cols) {
        size.ws_row = static_cast<unsigned short>(rows);
        size.ws_col = static_cast<unsigned short>(cols);
        ::ioctl(m_master.Get(), TIOCSWINSZ, &size);
    }
}

void ConsoleHost::SetAltScreenLocked(bool on) {
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
            CHAR_INFO{u' ', ConsolePen::kDefault});
    } else {
        m_alt.reset();
        // A window resized meanwhile keeps its new size on the main screen.
        SMALL_RECT main = m_main.Window();
        if (main.Right - main.Left + 1 != width || main.Bottom - main.Top + 1 != height) {
            const COORD size = m_main.Size();
            if (size.X < width || size.Y < height) {
                m_main.Resize(COORD{std::max(size.X, width), std::max(size.Y, height)},
                              CHAR_INFO{u' ', ConsolePen::kDefault});
                GuardResizedLocked();
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
    ChangedLocked();
}

// ---- title, modes, input -------------------------------------------------------------------

std::string ConsoleHost::Title() {
    std::lock_guard lock(m_mutex);
    return m_title;
}

void ConsoleHost::SetTitle(std::string title) {
    std::lock_guard lock(m_mutex);
    m_title = std::move(title);
}

bool ConsoleHost::SetInputMode(DWORD mode) {
    termios t{};
    if (::tcgetattr(m_slave.Get(), &t) != 0) {
        return FailWithErrno();
    }
    auto apply = [&](tcflag_t& flags, tcflag_t bit, bool on) {
        flags = on ? flags | bit : flags & ~bit;
    };
    apply(t.c_lflag, ISIG, (mode & ENABLE_PROCESSED_INPUT) != 0);
    apply(t.c_lflag, ICANON, (mode & ENABLE_LINE_INPUT) != 0);
    apply(t.c_lflag, ECHO, (mode & ENABLE_ECHO_INPUT) != 0);
    if (::tcsetattr(m_slave.Get(), TCSANOW, &t) != 0) {
        return FailWithErrno();
    }
    return true;
}

bool ConsoleHost::GetInputMode(DWORD& mode) {
    termios t{};
    if (::tcgetattr(m_slave.Get(), &t) != 0) {
        return FailWithErrno();
    }
    mode = ((t.c_lflag & ISIG) != 0 ? ENABLE_PROCESSED_INPUT : 0) |
           ((t.c_lflag & ICANON) != 0 ? ENABLE_LINE_INPUT : 0) |
           ((t.c_lflag & ECHO) != 0 ? ENABLE_ECHO_INPUT : 0);
    return true;
}

bool ConsoleHost::ReadInput(char* buffer, DWORD size, DWORD& read) {
    for (;;) {
        const ssize_t n = ::read(m_slave.Get(), buffer, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return FailWithErrno();
        }
        read = static_cast<DWORD>(n);
        break;
    }
    // The Enter key arrives as CR, which the terminal's input processing turns into LF;
    // a line read in line mode ends in CR, as on Windows.
    termios t{};
    if (read > 0 && buffer[read - 1] == '\n' && ::tcgetattr(m_slave.Get(), &t) == 0 &&
        (t.c_lflag & ICANON) != 0) {
        buffer[read - 1] = '\r';
    }
    return true;
}

void ConsoleHost::QueueInputLocked(std::string_view bytes) {
    if (m_pendingInput.size() - m_pendingOffset + bytes.size() > kMaxPendingInput) {
        return;  // the shell reads nothing: drop rather than grow without bound
    }
    m_pendingInput.append(bytes);
    if (m_pendingInput.size() - m_pendingOffset > kInputHighWater) {
        m_inputFull = true;
    }
}

void ConsoleHost::FlushInputLocked() {
    while (m_pendingOffset < m_pendingInput.size()) {
        const ssize_t n = ::write(m_master.Get(), m_pendingInput.data() + m_pendingOffset,
                                  m_pendingInput.size() - m_pendingOffset);
        if (n > 0) {
            m_pendingOffset += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        break;  // full: the pump writes the rest when the terminal takes it
    }
    // Written bytes leave the front in one step, not one erase per write.
    if (m_pendingOffset == m_pendingInput.size()) {
        m_pendingInput.clear();
        m_pendingOffset = 0;
    } else if (m_pendingOffset >= 64 * 1024 && m_pendingOffset * 2 >= m_pendingInput.size()) {
        m_pendingInput.erase(0, m_pendingOffset);
        m_pendingOffset = 0;
    }
    const std::size_t left = m_pendingInput.size() - m_pendingOffset;
    if (m_inputFull && left < kInputLowWater) {
        m_inputFull = false;
        AttendLocked();
    }
    const bool pending = left > 0;
    if (pending != m_hasPending.exchange(pending) && pending) {
        Kick();
    }
}

// Keys are queued and handed to the terminal by the pump, in large writes when many
// arrive together (a paste); the first key of a batch wakes the pump at once.
void ConsoleHost::ScheduleInputLocked() {
    const bool pending = m_pendingOffset < m_pendingInput.size();
    if (pending && !m_hasPending.exchange(true)) {
        Kick();
    }
}

void ConsoleHost::SendUnitLocked(WCHAR unit, bool alt) {
    char32_t c = unit;
    if (unicode::IsHighSurrogate(unit)) {
        m_highSurrogate = unit;  // completed by the next unit
        return;
    }
    if (unicode::IsLowSurrogate(unit)) {
        if (m_highSurrogate == 0) {
            return;
        }
        c = unicode::FromSurrogates(m_highSurrogate, unit);
    }
    m_highSurrogate = 0;
    std::string bytes;
    if (alt) {
        bytes.push_back('\x1b');
    }
    unicode::AppendUtf8(bytes, c);
    QueueInputLocked(bytes);
}

bool ConsoleHost::PostKeyMessage(UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    std::lock_guard lock(m_mutex);
    switch (message) {
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN: {
            const bool alt = message == WM_SYSKEYDOWN;
            const VTermKey key = KeyOfVirtualKey(wParam);
            if (key != VTERM_KEY_NONE) {
                vterm_keyboard_key(m_vt.get(), key, alt ? VTERM_MOD_ALT : VTERM_MOD_NONE);
            } else if (wParam >= 'A' && wParam <= 'Z') {
                SendUnitLocked(static_cast<WCHAR>(wParam - 'A' + 'a'), alt);
            } else if ((wParam >= '0' && wParam <= '9') || wParam == VK_SPACE) {
                SendUnitLocked(static_cast<WCHAR>(wParam), alt);
            }
            break;
        }
        case WM_CHAR:
            SendUnitLocked(static_cast<WCHAR>(wParam), false);
            break;
        case WM_SYSCHAR:
            SendUnitLocked(static_cast<WCHAR>(wParam), true);
            break;
        default:
            break;
    }
    ScheduleInputLocked();
    return true;
}

bool ConsoleHost::InterruptForeground() {
    const pid_t group = ::tcgetpgrp(m_master.Get());
    if (group < 0) {
        return FailWithErrno();
    }
    if (group == 0) {
        SetLastError(ESRCH);  // no program has the console as its terminal
        return false;
    }
    if (group == ::getpgrp()) {
        SetLastError(EPERM);  // never the session itself
        return false;
    }
    if (const PrivilegeBroker* broker = PrivilegeBroker::Installed(); broker != nullptr) {
        return broker->interrupt(group);  // the user's programs are the privileged side's
    }
    if (::killpg(group, SIGINT) != 0) {
        return FailWithErrno();
    }
    return true;
}

bool ConsoleHost::PrepareAttachment(ConsoleAttachment& attachment) {
    attachment.slave = m_slave.Get();
    attachment.mode = m_defaultMode;
    return true;
}

void ConsoleHost::Reset() {
    std::lock_guard lock(m_mutex);
    m_alt.reset();
    m_main = ConsoleBuffer(kDefaultBuffer, kDefaultWindow, CHAR_INFO{u' ', ConsolePen::kDefault});
    m_placed.reset();
    m_reportedCursor = COORD{-1, -1};
    m_pen.Reset();
    m_guard.Reset();
    m_scanner.Reset();
    m_bound.Reset();
    m_partial.clear();
    vterm_state_reset(m_state, 1);
    PrimeTerminalLocked();
    ResizeTerminalLocked();
    m_title = m_defaultTitle;
    m_pendingInput.clear();
    m_pendingOffset = 0;
    m_inputFull = false;
    m_guardRow = -2;
    m_guardHolds = false;
    m_captureWanted = false;
    m_highSurrogate = 0;
    ::tcsetattr(m_slave.Get(), TCSANOW, &m_defaultMode);
    ::tcflush(m_slave.Get(), TCIOFLUSH);
    ChangedLocked();
    SignalLocked();
}

std::size_t ConsoleHost::ApplyOutput(std::string_view bytes) {
    std::lock_guard lock(m_mutex);
    const std::size_t applied = FeedGuardedLocked(bytes);
    SignalLocked();
    return applied;
}

void ConsoleHost::SetGeometryObserver(GeometryObserver observer) {
    std::lock_guard lock(m_mutex);
    m_observer = std::move(observer);
}

// ---- terminal callbacks (called inside vterm_input_write, with m_mutex held) -----------------

int ConsoleHost::OnPutGlyph(VTermGlyphInfo* info, VTermPos pos, void* user) {
    auto* self = static_cast<ConsoleHost*>(user);
    const WORD attributes = self->m_pen.Attributes();
    ConsoleBuffer& buffer = self->Active();
    const int width = std::max(1, info->width);
    if (self->m_pen.Concealed()) {
        for (int i = 0; i < width; ++i) {
            buffer.Put(pos.row, pos.col + i, CHAR_INFO{u' ', attributes});
        }
        self->ChangedLocked();
        return 1;
    }
    const char32_t c = ComposedCharacter(info->chars);
    // A cell holds one UTF-16 unit: a character beyond it takes the two halves of its
    // surrogate pair into its two cells; one that is only one cell wide cannot be kept.
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
    buffer.Put(pos.row, pos.col, CHAR_INFO{first, attributes});
    for (int i = 1; i < width; ++i) {
        buffer.Put(pos.row, pos.col + i,
                   CHAR_INFO{second, static_cast<WORD>(attributes | COMMON_LVB_TRAILING_BYTE)});
    }
    self->ChangedLocked();
    return 1;
}

int ConsoleHost::OnMoveCursor(VTermPos /*pos*/, VTermPos /*oldpos*/, int /*visible*/, void* user) {
    auto* self = static_cast<ConsoleHost*>(user);
    ++self->m_generation;
    self->ChangedLocked();
    return 1;
}

int ConsoleHost::OnScrollRect(VTermRect rect, int downward, int rightward, void* user) {
    auto* self = static_cast<ConsoleHost*>(user);
    // Only the main screen keeps lines that leave the window.
    const SMALL_RECT before = self->Active().Window();
    const int kept =
        self->Active().Scroll(rect.start_row, rect.end_row, rect.start_col, rect.end_col, downward,
                              rightward, self->BlankLocked(), !self->m_alt.has_value());
    if (kept > 0) {
        self->ScrolledLocked(kept, before);
    }
    self->ChangedLocked();
    return 1;
}

int ConsoleHost::OnMoveRect(VTermRect dest, VTermRect src, void* user) {
    auto* self = static_cast<ConsoleHost*>(user);
    self->Active().Move(dest.start_row, dest.start_col, src.start_row, src.end_row, src.start_col,
                        src.end_col);
    self->ChangedLocked();
    return 1;
}

int ConsoleHost::OnErase(VTermRect rect, int /*selective*/, void* user) {
    auto* self = static_cast<ConsoleHost*>(user);
    self->Active().Erase(rect.start_row, rect.end_row, rect.start_col, rect.end_col,
                         self->BlankLocked());
    self->ChangedLocked();
    return 1;
}

int ConsoleHost::OnInitPen(void* user) {
    static_cast<ConsoleHost*>(user)->m_pen.Reset();
    return 1;
}

int ConsoleHost::OnSetPenAttr(VTermAttr attr, VTermValue* value, void* user) {
    static_cast<ConsoleHost*>(user)->m_pen.Set(attr, *value);
    return 1;
}

int ConsoleHost::OnSetTermProp(VTermProp prop, VTermValue* value, void* user) {
    auto* self = static_cast<ConsoleHost*>(user);
    switch (prop) {
        case VTERM_PROP_TITLE:
            self->m_title = value->string != nullptr ? value->string : "";
            break;
        case VTERM_PROP_ALTSCREEN:
            self->SetAltScreenLocked(value->boolean != 0);
            break;
        default:
            break;
    }
    return 1;
}

int ConsoleHost::OnResize(int /*rows*/, int /*cols*/, VTermPos* delta, void* user) {
    delta->row += static_cast<ConsoleHost*>(user)->m_resizeShift;
    return 1;
}

void ConsoleHost::OnOutput(const char* bytes, std::size_t length, void* user) {
    // Replies to the program's queries and the bytes of keys go to the program's input.
    // The emulator answers a secondary device attributes query (CSI > c) as itself,
    // which programs take for a 256-colour terminal; this console renders 16 colours and
    // answers as a VT100 does: not at all.
    const std::string_view reply(bytes, length);
    if (reply.starts_with("\x1b[>") && reply.ends_with('c')) {
        return;
    }
    static_cast<ConsoleHost*>(user)->QueueInputLocked(reply);
}
