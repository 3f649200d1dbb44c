// The console's emulator: libvterm's state layer, fed the programs' output (through the
// output guard), draws through its callbacks into the console's grid: the main screen
// with its scroll-back and the alternate screen (ConsoleBuffer), in the current colours
// (ConsolePen), with a window, a cursor and a title as the Windows console keeps them.
// No I/O and no lock: the console calls it with its own lock held, and it tells the
// console what happened through Events, called inside its calls.
//
// The cursor is shared by the session and the programs, as on Windows, with one rule
// that keeps the two from hurting each other: the session's placement of the cursor is
// kept apart from the terminal's cursor. The emulator reports the session's placement
// until the program next moves its cursor, and the session's next write lands there; the
// terminal's own cursor is moved there only when the session writes text through the
// terminal. A program's output always continues at the terminal's cursor, so the session
// can write the scroll mark and put the cursor back while a program prints, without ever
// displacing the program's output or its pending line wrap.
#pragma once

#include <vterm.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "console/ConsoleBuffer.h"
#include "console/ConsoleModes.h"
#include "console/ConsolePen.h"
#include "console/OutputGuard.h"
#include "console/OutputScanner.h"
#include "console/ScrollBound.h"
#include "win32/Win32.h"

class ConsoleEmulator {
  public:
    static constexpr COORD kDefaultBuffer = {80, 300};
    static constexpr SMALL_RECT kDefaultWindow = {0, 0, 79, 24};
    // Below this, a run of plain text costs libvterm less than the check before the grid
    // takes it directly.
    static constexpr std::size_t kPlainRun = 32;

    class Events {
      public:
        virtual ~Events() = default;
        // kept lines left the top of the main screen's window into its scroll-back; the
        // window moved down over the buffer by `moved` rows meanwhile.
        virtual void Scrolled(int kept, int moved) = 0;
        // The main screen's buffer was resized (its rows keep their place).
        virtual void MainResized(int bufferHeight) = 0;
        // Bytes for the programs' input: the terminal's answers to their queries.
        virtual void Reply(std::string_view bytes) = 0;
        // The main screen's rows above its window (from windowTop up) were erased.
        virtual void ScrollbackErased(int /*windowTop*/) {}
    };

    // Null (error code set) when libvterm cannot be set up.
    static std::unique_ptr<ConsoleEmulator> Create(Events& events);
    ConsoleEmulator(const ConsoleEmulator&) = delete;
    ConsoleEmulator& operator=(const ConsoleEmulator&) = delete;
    ~ConsoleEmulator();

    // Whether the cells, the cursor or the window changed since the last call (a flag,
    // not an event: set for each character, it costs no call).
    bool TakeChanged() {
        const bool changed = m_changed;
        m_changed = false;
        return changed;
    }

    // Program output, in pieces cut anywhere.
    void Feed(std::string_view bytes);
    // Runs of plain text at least this long are drawn into the grid without libvterm
    // (0: never; the reference the tests compare with).
    void SetPlainRun(std::size_t length) { m_plainRun = length; }
    // The session's text at the cursor, with processed output (LF acts as CR LF).
    void Write(std::string_view utf8);
    // One plain character straight into the cell at the cursor, keeping its colour and
    // flagged as the session's scroll mark (CONSOLE_SCROLL_MARK); the terminal's cursor
    // stays where the program left it. False when the character needs the terminal
    // (then Write it).
    bool PutCharacter(char16_t c);
    // Characters into cells, keeping their colours; the cells lose the mark's flag.
    bool WriteCharacters(COORD at, std::u16string_view text, DWORD& written);
    bool ReadOutput(CHAR_INFO* cells, COORD size, COORD origin, SMALL_RECT& region) const;
    // The rich half of count cells of a buffer row from at on (fewer at the row's end).
    bool ReadRich(COORD at, RichCell* cells, int count) const;
    // What erasing leaves now.
    RichCell BlankRich() const { return m_pen.Blank(); }

    void GetInfo(CONSOLE_SCREEN_BUFFER_INFO& info);
    bool SetBufferSize(COORD size);
    bool SetWindow(const SMALL_RECT& window);
    bool SetCursor(COORD position);
    // The window's size, which the terminal's programs are told.
    int Rows() const { return Active().WindowHeight(); }
    int Columns() const { return Active().WindowWidth(); }

    const std::string& Title() const { return m_title; }
    void SetTitle(std::string title) { m_title = std::move(title); }
    bool OnAlternateScreen() const { return m_alt.has_value(); }
    // What the programs set that the client's terminal must apply itself.
    ConsoleModes Modes() const {
        ConsoleModes modes = m_modes;
        modes.altScreen = m_alt.has_value();
        return modes;
    }
    const ConsoleBuffer& MainScreen() const { return m_main; }
    // Where the program's output lands now, for the scroll bound.
    ScrollBound::Window OutputWindow() const;

    // The bytes a terminal key sends under the current modes (cursor keys, keypad).
    std::string KeyBytes(VTermKey key, VTermModifier modifiers);

    // A fresh terminal and grid of the default size, with the given title.
    void Reset(std::string title);

  private:
    explicit ConsoleEmulator(Events& events);
    bool Open();
    void Prime();
    ConsoleBuffer& Active() { return m_alt ? *m_alt : m_main; }
    const ConsoleBuffer& Active() const { return m_alt ? *m_alt : m_main; }
    COORD TerminalCursor() const;
    COORD Cursor() const;
    void KeepCursor(COORD position);
    void SyncCursor();
    void Input(std::string_view bytes);
    void FeedPlain(std::string_view run);
    void PlainStretch(std::string_view text, VTermPos& pos, bool draw);
    void PlainLineFeed(VTermPos& pos, int rows, int columns, bool draw);
    std::size_t PlainLines(std::string_view run, std::size_t at, std::size_t stop, VTermPos& pos,
                           int rows, int columns, bool draw);
    ConsoleCell PlainCell() const;
    const char* LostBefore(std::string_view run, int rows) const;
    void ScrollWrap(const VTermRect& rect, int downward, int rightward);
    void ResizeTerminal(int shift);
    ConsoleCell Blank() const;
    static ConsoleCell DefaultCell();
    void SetAltScreen(bool on);
    // What the output scanner saw that libvterm leaves out (OutputScanner::Event flags).
    void ApplyScanned(unsigned events);
    void FullReset();
    void UpdateCursorStyle();

    static char32_t RichText(const std::uint32_t* chars);
    static int OnPutGlyph(VTermGlyphInfo* info, VTermPos pos, void* user);
    static int OnMoveCursor(VTermPos pos, VTermPos oldpos, int visible, void* user);
    static int OnScrollRect(VTermRect rect, int downward, int rightward, void* user);
    static int OnMoveRect(VTermRect dest, VTermRect src, void* user);
    static int OnErase(VTermRect rect, int selective, void* user);
    static int OnInitPen(void* user);
    static int OnSetPenAttr(VTermAttr attr, VTermValue* value, void* user);
    static int OnSetTermProp(VTermProp prop, VTermValue* value, void* user);
    static int OnResize(int rows, int cols, VTermPos* delta, void* user);
    static void OnOutput(const char* bytes, std::size_t length, void* user);

    struct VTermDeleter {
        void operator()(VTerm* vt) const { vterm_free(vt); }
    };

    Events& m_events;
    bool m_changed = false;
    std::unique_ptr<VTerm, VTermDeleter> m_vt;
    VTermState* m_state = nullptr;
    VTermStateCallbacks m_callbacks{};
    ConsoleBuffer m_main{kDefaultBuffer, kDefaultWindow, DefaultCell()};
    std::optional<ConsoleBuffer> m_alt;
    ConsolePen m_pen;
    OutputGuard m_guard;      // what the emulator must not be given
    OutputScanner m_scanner;  // what libvterm does not track in the program's output
    std::string m_partial;    // an unfinished character or string at the output's end
    std::size_t m_plainRun = kPlainRun;
    std::string m_title;
    ConsoleModes m_modes;
    // libvterm's cursor shape and blinking as it reported them last, and whether a
    // program chose a shape (DECSCUSR 1 to 6) that m_modes.cursorStyle then follows.
    int m_cursorShape = VTERM_PROP_CURSORSHAPE_BLOCK;
    bool m_cursorBlink = true;
    bool m_cursorStyled = false;
    std::string* m_keyBytes = nullptr;  // while KeyBytes runs: where the terminal's output goes
    int m_resizeShift = 0;              // see ResizeTerminal
    // The last glyph's window row and the column the cursor stands in after it (the
    // glyph's own when it reached the right margin: a wrap is pending there), while
    // nothing but a line feed may have come since: a glyph at the next row's start then
    // continues its line (libvterm reports no automatic wrap of its own).
    struct Wrap {
        bool armed = false;
        int row = 0;
        int col = 0;
    };
    Wrap m_wrap;
    // What libvterm did with the one character it prints at the start of a plain run
    // (see FeedPlain): whether and where it drew it, and whether it scrolled first.
    struct Probe {
        bool active = false;
        int glyphs = 0;
        std::uint32_t character = 0;
        VTermPos pos{};
        bool doubleWidth = false;
        bool scrolled = false;
    };
    Probe m_probe;
    bool m_syncing = false;                // libvterm is told a cursor the grid already has
    std::optional<COORD> m_placed;         // where the session put the cursor
    unsigned long m_placedGeneration = 0;  // m_generation when it did
    unsigned long m_generation = 0;        // counts the terminal's cursor moves
    COORD m_reportedCursor{-1, -1};        // the cursor of the last GetInfo
    unsigned long m_reportedGeneration = 0;
};
