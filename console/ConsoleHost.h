// The console that the session and its programs share, one per process, created on
// first use. It joins the engine's parts and owns the only lock:
// - ConsolePty: the pseudo-terminal, whose pump thread reads the programs' output and
//   writes the queued input;
// - ScrollGuard: how much of that output may be applied before the session captures;
// - ConsoleEmulator: libvterm's state drawing into the grid (behind the output guard);
// - KeyEncoder: key messages to the bytes the terminal sends for them.
// The wake-up event is signalled whenever the cells change, the attention event when the
// session should look at once (see CaptureWanted).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "base/UniqueFd.h"
#include "console/ConsoleEmulator.h"
#include "console/ConsolePty.h"
#include "console/KeyEncoder.h"
#include "console/ScrollGuard.h"
#include "win32/ConsoleTerminal.h"
#include "win32/Win32.h"

class ConsoleHost : public ConsoleTerminal, ConsolePty::Sink, ConsoleEmulator::Events {
  public:
    static constexpr COORD kDefaultBuffer = ConsoleEmulator::kDefaultBuffer;
    static constexpr SMALL_RECT kDefaultWindow = ConsoleEmulator::kDefaultWindow;

    // The process's console, created on first use; null (error code set) when it cannot be.
    static ConsoleHost* Instance();
    // The console when handle is its output (or input) handle; null with the error code
    // set otherwise.
    static ConsoleHost* ForHandle(HANDLE handle, bool output);

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
    // has drained after filling up, and when the terminal has reported its end.
    int AttentionFd() const { return m_attention.Get(); }

    // Holds the console still: while it lives no program output is applied and no other
    // thread uses the console, and what the holder changes (the scroll mark and the
    // cursor put back) is not signalled as a change. A capture and the planting of its
    // mark are thus one step. The calls the holding thread makes meanwhile take no lock.
    class Hold {
      public:
        explicit Hold(ConsoleHost& host);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

      private:
        ConsoleHost& m_host;
        std::unique_lock<std::mutex> m_lock;
        bool m_nested;
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
    // ConsolePty::kInputHighWater until the queue drains below kInputLowWater.
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
    bool ReadRich(COORD at, RichCell* cells, int count);
    RichCell BlankRich();
    // Characters into the cells from at on (row after row), their colours kept; written
    // receives how many fitted before the buffer's end.
    bool WriteCharacters(COORD at, std::u16string_view text, DWORD& written);
    std::string Title();
    void SetTitle(std::string title);
    ConsoleModes Modes();
    bool SetInputMode(DWORD mode);
    bool GetInputMode(DWORD& mode);
    // One read of the console's input; in line mode a line ends in CR, as on Windows.
    bool ReadInput(char* buffer, DWORD size, DWORD& read);
    bool PostKeyMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // Bytes for the programs' input as they are (the client's reports), in order with
    // the keys.
    void PassInput(std::string_view bytes);
    // SIGINT to the console's foreground process group.
    bool InterruptForeground();

    bool PrepareAttachment(ConsoleAttachment& attachment) override;
    std::string TerminalName() const override { return m_pty.Name(); }

    // Back to a fresh console of the default size; output held back and queued input
    // are dropped (for tests and benchmarks).
    void Reset();
    // Applies bytes as program output read from the terminal, as far as the scroll guard
    // lets them pass; returns the bytes applied (for the fuzz target, which has no program).
    std::size_t ApplyOutput(std::string_view bytes);
    // Sees every successful buffer ("buffer", {0, 0, X, Y}) and window ("window", rect)
    // change, in order (for tests of the callers' sequences).
    using GeometryObserver = std::function<void(std::string_view call, const SMALL_RECT& rect)>;
    void SetGeometryObserver(GeometryObserver observer);

  private:
    ConsoleHost();
    bool Open();
    // The console's lock, unless the calling thread keeps a Hold.
    std::unique_lock<std::mutex> Lock();

    // ConsolePty::Sink, on the pump's thread.
    std::size_t Output(std::string_view bytes, unsigned long pause) override;
    void Writable() override;
    void HungUp() override;
    // ConsoleEmulator::Events, inside the emulator's calls (the lock held).
    void Scrolled(int kept, int moved) override;
    void MainResized(int bufferHeight) override;
    void Reply(std::string_view bytes) override;
    void ScrollbackErased(int windowTop) override;

    // Everything below runs with the lock held.
    std::size_t FeedGuardedLocked(std::string_view bytes);
    void SyncSizeLocked();
    // Takes the emulator's change into the states (not while a Hold is in force).
    void NoteChangesLocked();
    void SignalLocked();

    std::mutex m_mutex;
    std::atomic<std::thread::id> m_holder{};  // the thread that keeps a Hold
    UniqueFd m_wakeup;
    UniqueFd m_attention;
    std::string m_defaultTitle;

    std::unique_ptr<ConsoleEmulator> m_emulator;
    ScrollGuard m_guard;
    KeyEncoder m_keys;
    GeometryObserver m_observer;
    bool m_changed = false;          // the wake-up event is due
    bool m_dirty = false;            // the cells changed since the last capture began
    bool m_quiet = false;            // a Hold is in force: its changes are not signalled
    bool m_attend = false;           // the attention event is due
    bool m_ended = false;            // the terminal reported its end and all output is applied
    unsigned long m_quietSpell = 0;  // see QuietSpell

    HANDLE m_outputHandle = nullptr;
    HANDLE m_inputHandle = nullptr;
    HWND m_windowHandle = nullptr;
    HANDLE m_changeEvent = nullptr;
    HANDLE m_attentionEvent = nullptr;

    // Last: its pump, which calls the members above, stops first.
    ConsolePty m_pty;
};
