// The console that the session and its shell share: a pseudo-terminal whose output is
// parsed by libvterm's state layer into a grid of console cells with a window, a cursor,
// a current attribute and a title, as the Windows console keeps them. One per process,
// created on first use. A pump thread feeds the shell's output in; the session reads
// cells, writes its own text, resizes, and posts key messages that become terminal input.
// One mutex guards everything; the wake-up event is signalled whenever the cells change.
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

#include "platform/win32/ConsoleBuffer.h"
#include "platform/win32/ConsolePen.h"
#include "platform/win32/UniqueFd.h"
#include "platform/win32/Win32.h"

// What a child process needs to run on the console; prepared before fork, so that the
// child only makes async-signal-safe calls.
struct ConsoleAttachment {
    int slave = -1;
    termios mode{};
};

class ConsoleHost {
  public:
    static constexpr COORD kDefaultBuffer = {80, 300};
    static constexpr SMALL_RECT kDefaultWindow = {0, 0, 79, 24};
    static constexpr std::size_t kMaxPendingInput = 1 << 20;

    // The process's console, created on first use; null (error code set) when it cannot be.
    static ConsoleHost* Instance();

    ConsoleHost(const ConsoleHost&) = delete;
    ConsoleHost& operator=(const ConsoleHost&) = delete;
    ~ConsoleHost();

    HANDLE OutputHandle() const { return m_outputHandle; }
    HANDLE InputHandle() const { return m_inputHandle; }
    HWND WindowHandle() const { return m_windowHandle; }
    // An eventfd that becomes readable whenever the cells change; read it to reset.
    int WakeupFd() const { return m_wakeup.Get(); }

    bool GetInfo(CONSOLE_SCREEN_BUFFER_INFO& info);
    bool SetBufferSize(COORD size);
    bool SetWindow(const SMALL_RECT& window);
    bool SetCursor(COORD position);
    // Text at the cursor with processed output (LF acts as CR LF).
    bool Write(std::string_view utf8);
    bool Write(std::u16string_view text);
    bool ReadOutput(CHAR_INFO* cells, COORD size, COORD origin, SMALL_RECT& region);
    std::string Title();
    void SetTitle(std::string title);
    bool SetInputMode(DWORD mode);
    bool GetInputMode(DWORD& mode);
    // One read of the console's input; in line mode a line ends in CR, as on Windows.
    bool ReadInput(char* buffer, DWORD size, DWORD& read);
    bool PostKeyMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // SIGINT to the console's foreground process group.
    bool InterruptForeground();

    bool PrepareAttachment(ConsoleAttachment& attachment);
    // In a forked child: a new session with the console as controlling terminal and as
    // descriptors 0, 1 and 2, every other descriptor closed at the exec that follows.
    // Returns 0 or an errno value.
    static int AttachChild(const ConsoleAttachment& attachment);

    // Back to a fresh console of the default size (for tests).
    void Reset();
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
    ConsoleBuffer& Active() { return m_alt ? *m_alt : m_main; }
    COORD TerminalCursorLocked();
    COORD CursorLocked();
    // Puts the cursor at position; the terminal's own cursor follows at its next use.
    void KeepCursorLocked(COORD position);
    void SyncCursorLocked();
    void FeedLocked(std::string_view bytes);
    void QueueInputLocked(std::string_view bytes);
    void FlushInputLocked();
    void ResizeTerminalLocked();
    void ChangedLocked() { m_changed = true; }
    void SignalLocked();
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

    std::mutex m_mutex;
    UniqueFd m_master;
    UniqueFd m_slave;
    UniqueFd m_wakeup;
    UniqueFd m_pumpEvent;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_hasPending{false};
    std::thread m_pump;
    termios m_defaultMode{};

    std::unique_ptr<VTerm, VTermDeleter> m_vt;
    VTermState* m_state = nullptr;
    VTermStateCallbacks m_callbacks{};
    ConsoleBuffer m_main{kDefaultBuffer, kDefaultWindow, CHAR_INFO{u' ', 0x07}};
    std::optional<ConsoleBuffer> m_alt;
    ConsolePen m_pen;
    std::optional<COORD> m_placed;         // where the session put the cursor
    unsigned long m_placedGeneration = 0;  // m_generation when it did
    unsigned long m_generation = 0;        // counts the terminal's cursor moves
    COORD m_reportedCursor{-1, -1};        // the cursor of the last GetInfo
    unsigned long m_reportedGeneration = 0;
    std::string m_title;
    std::string m_defaultTitle;
    std::string m_pendingInput;
    WCHAR m_highSurrogate = 0;
    GeometryObserver m_observer;
    bool m_changed = false;

    HANDLE m_outputHandle = nullptr;
    HANDLE m_inputHandle = nullptr;
    HWND m_windowHandle = nullptr;
};
