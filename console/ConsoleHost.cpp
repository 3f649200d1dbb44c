#include "console/ConsoleHost.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <climits>

#include "base/Unicode.h"
#include "win32/ErrnoFailure.h"
#include "win32/HandleTable.h"

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

std::string ProgramPath() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string("console");
}

}  // namespace

ConsoleHost* ConsoleHost::Instance() {
    static std::mutex creation;
    static std::unique_ptr<ConsoleHost> host;
    std::lock_guard lock(creation);
    if (!host) {
        std::unique_ptr<ConsoleHost> fresh(new ConsoleHost());
        if (!fresh->Open()) {
            return nullptr;  // the next call tries again; the error code tells why
        }
        host = std::move(fresh);
    }
    return host.get();
}

ConsoleHost* ConsoleHost::ForHandle(HANDLE handle, bool output) {
    ConsoleHost* host = Instance();
    if (host == nullptr) {
        return nullptr;
    }
    if (handle != (output ? host->OutputHandle() : host->InputHandle())) {
        SetLastError(EBADF);
        return nullptr;
    }
    return host;
}

ConsoleHost::ConsoleHost()
    : m_keys([this](VTermKey key, VTermModifier modifiers) {
          return m_emulator->KeyBytes(key, modifiers);
      }) {}

bool ConsoleHost::Open() {
    // The terminal first: a console that cannot have one leaves nothing behind (no
    // handles in the process's table).
    if (!m_pty.Open()) {
        return false;
    }
    m_wakeup.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    m_attention.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!m_wakeup.Valid() || !m_attention.Valid()) {
        return FailWithErrno();
    }
    m_defaultTitle = ProgramPath();
    m_emulator = ConsoleEmulator::Create(*this);
    if (!m_emulator) {
        return false;
    }
    m_emulator->SetTitle(m_defaultTitle);
    HandleTable& table = HandleTable::Instance();
    m_outputHandle = table.Add(std::make_shared<ConsoleObject>());
    m_inputHandle = table.Add(std::make_shared<ConsoleObject>());
    m_windowHandle = table.Add(std::make_shared<ConsoleObject>());
    m_changeEvent = table.Add(std::make_shared<ConsoleEvent>(m_wakeup.Get()));
    m_attentionEvent = table.Add(std::make_shared<ConsoleEvent>(m_attention.Get()));
    {
        std::lock_guard lock(m_mutex);
        SyncSizeLocked();
    }
    m_pty.Start(*this);  // last: the pump calls the host from now on
    return true;
}

ConsoleHost::~ConsoleHost() = default;

std::unique_lock<std::mutex> ConsoleHost::Lock() {
    if (m_holder.load() == std::this_thread::get_id()) {
        return {};  // this thread keeps a Hold: the console is its already
    }
    return std::unique_lock(m_mutex);
}

void ConsoleHost::SignalLocked() {
    NoteChangesLocked();
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

ConsoleHost::Hold::Hold(ConsoleHost& host) : m_host(host), m_lock(host.Lock()) {
    m_nested = !m_lock.owns_lock();
    if (!m_nested) {
        m_host.m_holder = std::this_thread::get_id();
        m_host.m_quiet = true;
        m_host.m_dirty = false;  // the holder sees every change made before it
        m_host.m_quietSpell = 0;
    }
}

ConsoleHost::Hold::~Hold() {
    if (!m_nested) {
        m_host.m_emulator->TakeChanged();  // the holder's own changes are no news
        m_host.m_quiet = false;
        m_host.m_holder = std::thread::id();
    }
}

// ---- the pump's side -------------------------------------------------------------------

std::size_t ConsoleHost::Output(std::string_view bytes, unsigned long pause) {
    std::lock_guard lock(m_mutex);
    m_quietSpell = std::max(m_quietSpell, pause);
    const std::size_t applied = FeedGuardedLocked(bytes);
    if (m_pty.FlushInput()) {
        m_attend = true;
    }
    SignalLocked();
    return applied;
}

void ConsoleHost::Writable() {
    std::lock_guard lock(m_mutex);
    if (m_pty.FlushInput()) {
        m_attend = true;
    }
    SignalLocked();
}

void ConsoleHost::HungUp() {
    std::lock_guard lock(m_mutex);
    if (m_pty.Released()) {
        m_ended = true;
        m_attend = true;
    }
    m_pty.DropInput();
    SignalLocked();
}

std::size_t ConsoleHost::FeedGuardedLocked(std::string_view bytes) {
    std::size_t fed = 0;
    while (fed < bytes.size()) {
        // The guard counts on the alternate screen too: output that leaves it scrolls the
        // main screen again, and the bound must stop before too much of that, whatever
        // the same read did on the alternate screen first.
        const ConsoleBuffer& main = m_emulator->MainScreen();
        const ScrollGuard::Screen screen{main.Size().Y, main.Window().Bottom};
        bool askCapture = false;
        const std::string_view rest = bytes.substr(fed);
        const std::size_t n = m_guard.Take(rest, screen, m_emulator->OutputWindow(), askCapture);
        m_attend = m_attend || askCapture;
        if (n == 0) {
            break;  // held back until the capture
        }
        m_emulator->Feed(rest.substr(0, n));
        fed += n;
    }
    return fed;
}

// ---- the emulator's events ---------------------------------------------------------------

void ConsoleHost::NoteChangesLocked() {
    if (m_emulator->TakeChanged() && !m_quiet) {
        m_changed = true;
        m_dirty = true;
    }
}

void ConsoleHost::Scrolled(int kept, int moved) {
    m_guard.Scrolled(kept, moved);
}

void ConsoleHost::MainResized(int bufferHeight) {
    m_guard.Resized(bufferHeight);
}

void ConsoleHost::Reply(std::string_view bytes) {
    m_pty.QueueInput(bytes);
}

void ConsoleHost::ScrollbackErased(int windowTop) {
    m_guard.Erased(windowTop);
}

ConsoleModes ConsoleHost::Modes() {
    const auto lock = Lock();
    return m_emulator->Modes();
}

// ---- the scroll guard --------------------------------------------------------------------

SHORT ConsoleHost::GuardRow() {
    const auto lock = Lock();
    // The alternate screen has no scroll-back and no mark; the main screen's is kept.
    return m_emulator->OnAlternateScreen() ? SHORT{-2} : static_cast<SHORT>(m_guard.Row());
}

void ConsoleHost::GuardScroll(SHORT row, DWORD lines) {
    const auto lock = Lock();
    const bool wasWanted = m_guard.Captured();
    // A capture of the alternate screen plants no mark: the main screen's mark and guard
    // stay, so the first capture after the switch back takes the lines that scrolled
    // before it (a command's output right before a full-screen program).
    if (!m_emulator->OnAlternateScreen()) {
        m_guard.Plant(row, lines, m_emulator->MainScreen().Size().Y);
    } else {
        m_guard.Renew();
    }
    if (wasWanted) {
        m_pty.Kick();  // the pump applies what it held back
    }
}

bool ConsoleHost::CaptureWanted() {
    const auto lock = Lock();
    return m_guard.CaptureWanted();
}

bool ConsoleHost::Changed() {
    const auto lock = Lock();
    return m_dirty;
}

bool ConsoleHost::InputFull() {
    const auto lock = Lock();
    return m_pty.InputFull();
}

void ConsoleHost::ReleaseTerminal() {
    const auto lock = Lock();
    m_pty.Release();
}

unsigned long ConsoleHost::QuietSpell() {
    const auto lock = Lock();
    return m_quietSpell;
}

bool ConsoleHost::OutputEnded() {
    const auto lock = Lock();
    return m_ended;
}

// ---- cells, cursor and geometry ------------------------------------------------------------

bool ConsoleHost::Write(std::string_view utf8) {
    const auto lock = Lock();
    m_emulator->Write(utf8);
    if (m_pty.FlushInput()) {
        m_attend = true;
    }
    SignalLocked();
    return true;
}

bool ConsoleHost::Write(std::u16string_view text) {
    {
        const auto lock = Lock();
        if (text.size() == 1 && m_emulator->PutCharacter(text[0])) {
            SignalLocked();
            return true;
        }
    }
    return Write(std::string_view(unicode::Utf16ToUtf8(text)));
}

bool ConsoleHost::WriteCharacters(COORD at, std::u16string_view text, DWORD& written) {
    const auto lock = Lock();
    const bool done = m_emulator->WriteCharacters(at, text, written);
    SignalLocked();
    return done;
}

bool ConsoleHost::ReadOutput(CHAR_INFO* cells, COORD size, COORD origin, SMALL_RECT& region) {
    const auto lock = Lock();
    return m_emulator->ReadOutput(cells, size, origin, region);
}

bool ConsoleHost::ReadRich(COORD at, RichCell* cells, int count) {
    const auto lock = Lock();
    return m_emulator->ReadRich(at, cells, count);
}

RichCell ConsoleHost::BlankRich() {
    const auto lock = Lock();
    return m_emulator->BlankRich();
}

bool ConsoleHost::GetInfo(CONSOLE_SCREEN_BUFFER_INFO& info) {
    const auto lock = Lock();
    m_emulator->GetInfo(info);
    return true;
}

bool ConsoleHost::SetBufferSize(COORD size) {
    const auto lock = Lock();
    if (!m_emulator->SetBufferSize(size)) {
        return false;
    }
    if (m_observer) {
        m_observer("buffer", SMALL_RECT{0, 0, size.X, size.Y});
    }
    SyncSizeLocked();
    SignalLocked();
    return true;
}

bool ConsoleHost::SetWindow(const SMALL_RECT& window) {
    const auto lock = Lock();
    if (!m_emulator->SetWindow(window)) {
        return false;
    }
    if (m_observer) {
        m_observer("window", window);
    }
    SyncSizeLocked();
    SignalLocked();
    return true;
}

// The programs are told the window's size when it changed (SIGWINCH).
void ConsoleHost::SyncSizeLocked() {
    m_pty.SetSize(m_emulator->Rows(), m_emulator->Columns());
}

bool ConsoleHost::SetCursor(COORD position) {
    const auto lock = Lock();
    if (!m_emulator->SetCursor(position)) {
        return false;
    }
    SignalLocked();
    return true;
}

std::string ConsoleHost::Title() {
    const auto lock = Lock();
    return m_emulator->Title();
}

void ConsoleHost::SetTitle(std::string title) {
    const auto lock = Lock();
    m_emulator->SetTitle(std::move(title));
}

// ---- input -----------------------------------------------------------------------------------

bool ConsoleHost::SetInputMode(DWORD mode) {
    return m_pty.SetInputMode(mode);
}

bool ConsoleHost::GetInputMode(DWORD& mode) {
    return m_pty.GetInputMode(mode);
}

bool ConsoleHost::ReadInput(char* buffer, DWORD size, DWORD& read) {
    return m_pty.ReadInput(buffer, size, read);  // blocks: never under the lock
}

bool ConsoleHost::PostKeyMessage(UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    const auto lock = Lock();
    const std::string bytes = m_keys.Encode(message, wParam);
    if (!bytes.empty()) {
        m_pty.QueueInput(bytes);
    }
    return true;
}

void ConsoleHost::PassInput(std::string_view bytes) {
    const auto lock = Lock();
    m_pty.QueueInput(bytes);
}

bool ConsoleHost::InterruptForeground() {
    return m_pty.InterruptForeground();
}

bool ConsoleHost::PrepareAttachment(ConsoleAttachment& attachment) {
    return m_pty.PrepareAttachment(attachment);
}

// ---- tests -----------------------------------------------------------------------------------

void ConsoleHost::Reset() {
    const auto lock = Lock();
    m_emulator->Reset(m_defaultTitle);
    m_guard.Reset();
    m_keys.Reset();
    m_pty.ResetModes();
    SyncSizeLocked();
    SignalLocked();
}

std::size_t ConsoleHost::ApplyOutput(std::string_view bytes) {
    const auto lock = Lock();
    const std::size_t applied = FeedGuardedLocked(bytes);
    SignalLocked();
    return applied;
}

void ConsoleHost::SetGeometryObserver(GeometryObserver observer) {
    const auto lock = Lock();
    m_observer = std::move(observer);
}
