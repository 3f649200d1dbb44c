// The console that the session and its shell share: a pseudo-terminal whose output is
// parsed by libvterm's state layer into a grid of console cells with a window, a cursor,
// a current attribute and a title, as the Windows console keeps them. One per process,
// created on first use. A pump thread feeds the shell's output in; the session reads
// cells, writes its own text, resizes, and posts key messages that become terminal input.
// One mutex guards everything; the wake-up event is signalled whenever the cells change,
// the attention event when the session should look at once (see CaptureWanted).
#pragma once

#include <termios.h>
#include <vterm.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/UniqueFd.h"
#include "console/ConsoleBuffer.h"
#include "console/ConsolePen.h"
#include "console/OutputGuard.h"
#include "console/OutputScanner.h"
#include "console/ScrollBound.h"
#include "win32/ConsoleTerminal.h"
#include "win32/Win32.h"

class ConsoleHost : public ConsoleTerminal {
  public:
    static constexpr COORD kDefaultBuffer = {80, 300};
    static constexpr SMALL_RECT kDefaultWindow = {0, 0, 79, 24};
    static constexpr std::size_t kMaxPendingInput = 1 << 20;
    static constexpr std::size_t kInputHighWater = 64 * 1024;
    static constexpr std::size_t kInputLowWater = 16 * 1024;

    // The process's console, created on first use; null (error code set) when it cannot be.
    static ConsoleHost* Instance();

    ConsoleHost(const ConsoleHost&) = delete;
    ConsoleHost& operator=(const ConsoleHost&) = delete;
    ~ConsoleHost() override;

    HANDLE OutputHandle() const { return m_outputHandle; }
    HANDLE InputHandle() const { return m_inputHandle; }
    HWND WindowHandle() const { return m_windowHandle; }
    // The wake-up and the attention eventfds as auto-reset event handles.
    HANDLE ChangeEvent() const { return m_changeEvent; }
    HANDLE AttentionEvent() const { return m_attentionEvent; }
    // An eventfd that becomes readable whenever the cells change; read it to reset.
    int WakeupFd() const { return m_wakeup.Get(); }
    // An eventfd that becomes readable when a capture is wanted now, when queued input
    // has drained below kInputLowWater after reaching kInputHighWater, and when the
    // terminal has reported its end; read it to reset.
    int AttentionFd() const { return m_attention.Get(); }

    // Holds the console still: while the returned lock lives no program output is
    // applied and no other thread uses the console, and what the holder changes (the
    // scroll mark and the cursor put back) is not signalled as a change. A capture and
    // the planting of its mark are thus one step.
    class Hold {
      public:
        explicit Hold(ConsoleHost& host);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

      private:
        ConsoleHost& m_host;
        std::unique_lock<std::recursive_mutex> m_lock;
        bool m_wasQuiet;
    };

    // The scroll mark was just planted on buffer row `row` of the main screen. Until the
    // next call, the program's output is held back before more than `lines` lines scroll
    // past the mark, or before the mark would leave the buffer, and a capture is asked
    // for (the attention event) as that point comes near. 0 lines: never hold back.
    void GuardScroll(SHORT row, DWORD lines);
    // The mark's row now: -1 when it scrolled out of the buffer, -2 when unknown (no
    // mark planted, or the buffer was resized since).
    SHORT GuardRow();
    // Whether output is held back (or soon will be) until the next capture.
    bool CaptureWanted();
    // Whether the cells changed since the last capture began (a Hold): the level behind
    // the wake-up event, which a waiter may have taken without acting on it.
    bool Changed();
    // Input bytes queued for the program and not yet taken by the terminal; true past
    // kInputHighWater until the queue drains below kInputLowWater.
    bool InputFull();
    // The session gives up its own hold on the terminal, so that the terminal reports
    // its end once every program on it has closed it; OutputEnded is then true after all
    // they wrote has been applied.
    void ReleaseTerminal();
    bool OutputEnded();
    // The longest time in milliseconds that the program's output paused (the terminal
    // held nothing to read) before more came, since the last capture began. A pause of
    // the pump (a busy machine, output held for a capture) is not one of the program.
    unsigned long QuietSpell();

    bool GetInfo(CONSOLE_SCREEN_BUFFER_INFO& info);
    bool SetBufferSize(COORD size);
    bool SetWindow(const SMALL_RECT& window);
    bool SetCursor(COORD position);
    // Text at the cursor with processed output (LF acts as CR LF).
    bool Write(std::string_view utf8);
    bool Write(std::u16string_view text);
    bool ReadOutput(CHAR_INFO* cells, COORD size, COORD origin, SMALL_RECT& region);
    // Characters into the cells from at on (row after row), their colours kept; written
    // receives how many fitted before the buffer's end.
    bool WriteCharacters(COORD at, std::u16string_view text, DWORD& written);
    std::string Title();
    void SetTitle(std::string title);
    bool SetInputMode(DWORD mode);
    bool GetInputMode(DWORD& mode);
    // One read of the console's input; in line mode a line ends in CR, as on Windows.
    bool ReadInput(char* buffer, DWORD size, DWORD& read);
    bool PostKeyMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // SIGINT to the console's foreground process group.
    bool InterruptForeground();

    bool PrepareAttachment(ConsoleAttachment& attachment) override;
    std::string TerminalName() const override { return m_terminalName; }

    // Back to a fresh console of the default size (for tests).
    void Reset();
    // Applies bytes as program output read from the terminal, as far as the scroll guard
    // lets them pass; returns the bytes applied (for the fuzz target, which has no program).
    std::size_t ApplyOutput(std::string_view bytes);
    // Sees every successful buffer ("buffer", {0, 0, X, Y}) and window ("window", rect)
    // change, in order (for tests of the callers' sequences).
    using GeometryObserver = std::function<void(std::string_view call, const SMALL_RECT& rect)>;
    void SetGeometryObserver(GeometryObserver observer);

  private:
    ConsoleHost() = default;
    bool Open();
    void Pump();
    void Kick();

    // Everything below runs with m_mutex held.
    void PrimeTerminalLocked();
    ConsoleBuffer& Active() { return m_alt ? *m_alt : m_main; }
    COORD TerminalCursorLocked();
    COORD CursorLocked();
    // Puts the cursor at position; the terminal's own cursor follows at its next use.
    void KeepCursorLocked(COORD position);
    void SyncCursorLocked();
    void FeedLocked(std::string_view bytes);
    void QueueInputLocked(std::string_view bytes);
    void FlushInputLocked();
    void ScheduleInputLocked();
    void ResizeTerminalLocked(int shift = 0);
    void ChangedLocked() {
        if (!m_quiet) {
            m_changed = true;
            m_dirty = true;
        }
    }
    void SignalLocked();
    void AttendLocked();
    // Applies program output as far as the scroll guard allows; returns the bytes applied.
    std::size_t FeedGuardedLocked(std::string_view bytes);
    // Lines that may still scroll before the mark is lost (SIZE_MAX without a guard).
    std::size_t GuardRoomLocked();
    ScrollBound::Window BoundWindowLocked();
    // The mark's row after the buffer was resized (rows keep their place): lost when the
    // buffer no longer reaches it.
    void GuardResizedLocked();
    void ScrolledLocked(int kept, const SMALL_RECT& before);
    CHAR_INFO BlankLocked() const;
    void SendUnitLocked(WCHAR unit, bool alt);
    void SetAltScreenLocked(bool on);

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

    std::recursive_mutex m_mutex;
    UniqueFd m_master;
    UniqueFd m_slave;
    UniqueFd m_wakeup;
    UniqueFd m_attention;
    UniqueFd m_pumpEvent;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_hasPending{false};
    std::thread m_pump;
    termios m_defaultMode{};
    std::string m_terminalName;

    std::unique_ptr<VTerm, VTermDeleter> m_vt;
    VTermState* m_state = nullptr;
    VTermStateCallbacks m_callbacks{};
    ConsoleBuffer m_main{kDefaultBuffer, kDefaultWindow, CHAR_INFO{u' ', ConsolePen::kDefault}};
    std::optional<ConsoleBuffer> m_alt;
    ConsolePen m_pen;
    OutputGuard m_guard;            // what the emulator must not be given
    OutputScanner m_scanner;        // what the emulator does not track in the program's output
    ScrollBound m_bound;            // how far the program's output may scroll
    std::string m_partial;          // an unfinished character or string at the output's end
    int m_resizeShift = 0;          // see ResizeTerminalLocked
    std::optional<COORD> m_placed;  // where the session put the cursor
    unsigned long m_placedGeneration = 0;  // m_generation when it did
    unsigned long m_generation = 0;        // counts the terminal's cursor moves
    COORD m_reportedCursor{-1, -1};        // the cursor of the last GetInfo
    unsigned long m_reportedGeneration = 0;
    std::string m_title;
    std::string m_defaultTitle;
    std::string m_pendingInput;
    std::size_t m_pendingOffset = 0;  // bytes of m_pendingInput already written
    bool m_inputFull = false;
    WCHAR m_highSurrogate = 0;
    GeometryObserver m_observer;
    bool m_changed = false;          // the wake-up event is due
    bool m_dirty = false;            // the cells changed since the last capture began
    bool m_quiet = false;            // a Hold is in force: its changes are not signalled
    bool m_attend = false;           // the attention event is due
    bool m_released = false;         // the session closed its own slave descriptor
    bool m_ended = false;            // the terminal reported its end and all output is applied
    std::uint64_t m_dryAt = 0;       // when the pump found the terminal empty (0: it was not)
    unsigned long m_quietSpell = 0;  // see QuietSpell

    // The scroll guard (see GuardScroll).
    int m_guardRow = -2;           // the mark's buffer row; -1 lost, -2 unknown
    bool m_guardHolds = false;     // output is held back for the mark
    std::size_t m_guardLeft = 0;   // lines that may still scroll
    std::size_t m_guardTotal = 0;  // lines the guard allowed when set
    bool m_captureWanted = false;

    HANDLE m_outputHandle = nullptr;
    HANDLE m_inputHandle = nullptr;
    HWND m_windowHandle = nullptr;
    HANDLE m_changeEvent = nullptr;
    HANDLE m_attentionEvent = nullptr;
};
