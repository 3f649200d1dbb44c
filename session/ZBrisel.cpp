#include "session/ZBrisel.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

#include "infra/ZTraceScope.h"
#include "monitor/Monitor.h"
#include "monitor/MonitorClient.h"
#include "platform/ZWinsta.h"
#include "session/ClientInput.h"
#include "transport/RelayWire.h"
#include "transport/ZSocket.h"
#include "transport/ZSocketDup.h"
#include "win32/DescriptorHandle.h"
#include "win32/ExitSignal.h"
#include "win32/LoginEnvironment.h"
#include "win32/PamErrorCode.h"
#include "win32/ProcessPriority.h"
#include "win32/ProfileCache.h"
#include "win32/TerminalType.h"

namespace {

// In the monitor: the worker's lines, checked there, for the session's own three files.
void WriteSessionLines(LineFile file, std::string_view lines) {
    switch (file) {
        case LineFile::Trace:
            AppendToFile(TraceFile(""), lines);
            break;
        case LineFile::Log:
            AppendToFile(LogFile(""), lines);
            break;
        case LineFile::Error:
            AppendToFile(ErrorFile(""), lines);
            break;
    }
}

void WriteLogLine(std::string_view message) {
    LogLine(message);
}

// In the worker: finished lines go to the monitor, which alone opens the files.
void WriteThroughMonitor(const std::string& file, std::string_view text) {
    if (file == TraceFile("")) {
        MonitorClient::Log(LineFile::Trace, text);
    } else if (file == LogFile("")) {
        MonitorClient::Log(LineFile::Log, text);
    } else if (file == ErrorFile("")) {
        MonitorClient::Log(LineFile::Error, text);
    }
}

// A number read as a stream reads one: leading blanks, then digits up to the first
// other character; nothing read leaves the default.
bool ReadNumber(const std::string& text, unsigned long long& value) {
    std::size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos || !std::isdigit(static_cast<unsigned char>(text[i]))) {
        return false;
    }
    unsigned long long number = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        number = number * 10 + static_cast<unsigned>(text[i] - '0');
        if (number > 0xFFFFFFFFULL) {
            return false;
        }
    }
    value = number;
    return true;
}

// Passwords leave no copy in memory once used.
void Wipe(std::string& secret) {
    if (!secret.empty()) {
        SecureZeroMemory(secret.data(), secret.size());
    }
    secret.clear();
}

}  // namespace

ZBrisel::ZBrisel() {
    // Until the shell runs, what the client types may be a password.
    HideTracedInput(true);
    const auto threshold = static_cast<std::int32_t>(m_config.trace_level);
    if (threshold >= 0) {
        TraceThreshold(threshold);
    }
    SetIsoLineTime(m_config.log_iso_time);
    // Every line of the session, the worker's and those of any process it starts, names
    // this process (zavd's "session PID", the monitor after the split); the thread id
    // tells the processes apart.
    SetLineProcessId(GetCurrentProcessId());
    ErrorFile(m_config.error_file);
    TraceFile(m_config.trace_file);
    LogFile(m_config.log_file);

    ZTraceScope trace;
    trace.Trace("ZBrisel::ZBrisel( )");
    TraceLevel(10);
    LogLine("brisel.exe started ");
    if (!m_config.problem.empty()) {
        // Without its settings the session has no key to serve with: it says why and ends.
        ReportStartProblem(m_config.problem);
        ExitProcess(0);
    }
    // A size the console does not support is served at the largest it does; the setting
    // is named with its range, not left to fail in the capture.
    for (const std::string& limited : m_config.limited) {
        ReportStartProblem(limited);
    }
    SetConsoleCtrlHandler(&ZBrisel::event_handler, TRUE);
    ZSocket::WSAStartup();

    unsigned long long debug = 0;
    if (ReadNumber(ZWinsta::GetCmdLineParam("-debug:"), debug) && (debug == 0 || debug == 1)) {
        m_config.debug = debug == 1;
    }
    // The debug log-on runs the shell under this process's account: never as root.
    if (m_config.debug && IsUserAnAdmin() != FALSE) {
        m_config.debug = false;
        ReportError(trace, "debug log-on refused as root");
    }

    const SOCKET socket = ZSocketDup::GetSocket("zav" + m_config.ip + m_config.port);
    ZSocket wrapper(socket);
    if (socket == INVALID_SOCKET) {
        ReportError(trace, "dup.GetSocket( ):err");
    }
    // The client as zavd names it (from a load balancer's PROXY header, the address the
    // header gave), and the connection's own peer when that differs.
    const std::string client = m_config.ip + ":" + m_config.port;
    const std::string peer = wrapper.GetConnectionIP() + ":" + wrapper.GetConnectionPort();
    LogLine("connected to " + client + (peer == client ? "" : " via " + peer));
    // The connection's server end, for the shell's SSH_CONNECTION and SSH_CLIENT.
    m_serverIp = wrapper.GetLocalIP();
    m_serverPort = wrapper.GetLocalPort();
    // Read while the files can be: the worker that reads from the client may not.
    TraceLevel(0);
    m_key.Load(m_config.key_init);
    m_telnet.Load(m_config.telnet_init);
    // Nothing reads the files again before the split: both processes start without them.
    ProfileCache::Instance().Forget();
    TraceLevel(10);
    // zavd's registry channel goes to the monitor at the split, before the handshake.
    unsigned long long registry = 0;
    if (ReadNumber(ZWinsta::GetCmdLineParam("-registry:"), registry) && registry > 2 &&
        registry < 1024) {
        m_registry = static_cast<int>(registry);
    }
    m_ssh.m_beforeHandshake = [this] { EnterWorker(); };
    m_ssh.m_session->SetAcceptEnv(m_config.accept_env);
    m_ssh.Init(socket, m_config.rsakey_file, ZSsh::kKeysetPassword);
    // The client's variables that accept_env names, for the shell.
    LoginEnvironment::SetRequested(m_ssh.m_session->Environment());
    LogLine("ssh initialized");
    // A command the client runs without asking for a terminal gets plain streams, as
    // from any SSH server: no screen, no keys.
    m_withoutTerminal = !m_ssh.WantsTerminal() && !m_ssh.Command().empty();
    // What the client's terminal shows decides how the screen is sent, and its type is
    // the programs' where the machine knows it.
    m_telnet.m_colours = ZTelnet::ColoursOf(m_ssh.TerminalType(), m_ssh.ColorTerm());
    SetEnvironmentVariableA(kClientTerminalVariable, m_ssh.TerminalType().c_str());

    unsigned long long service = 0;
    if (ReadNumber(ZWinsta::GetCmdLineParam("-ppid:"), service)) {
        m_hService.Reset(OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(service)));
    }

    const auto width = static_cast<SHORT>(m_config.screen_width);
    const auto height = static_cast<SHORT>(m_config.screen_height);
    m_console.SetScreenSize(COORD{width, height});
    m_telnet.m_clientSize = ZClientSize{width, height};
    m_console.SetBuffSize(COORD{width, static_cast<SHORT>(m_config.buff_height)});
    m_state = Starting;

    m_reports.m_hOutput = m_console.GetOutputHandle();
    m_reports.m_hInput = m_console.GetInputHandle();
    const HWND window = m_console.GetWindowHandle();
    if (window != nullptr) {
        m_key.m_hWnd = window;
    } else {
        ReportError(trace, "this->console.GetWindowHandle( ):err");
    }
    if (m_key.LongestInput() == 0) {
        // Nothing the client types could reach the console: the client is told why.
        const std::string problem =
            "the key table '" + m_config.key_init + "' (key_init) holds no keys or cannot be read";
        ReportStartProblem(problem);
        m_ssh.Push("zav: " + problem + "\r\n");
        m_ssh.ShutDown();
        ExitProcess(0);
    }
    m_export.m_dumbClient = m_config.dumb_client;
    m_export.m_scrollbackBurst = m_config.scrollback_burst;
}

MonitorPolicy ZBrisel::Policy() const {
    MonitorPolicy policy;
    policy.allowedList = m_config.allowed_login_list;
    policy.forbiddenList = m_config.fordbiden_login_list;
    policy.defaultDomain = m_config.default_domain;
    policy.maxAttempts = std::max<unsigned>(1, m_config.max_login_attempts);
    policy.shellCommand = m_config.shell_command;
    policy.execCommands = m_config.exec_commands;
    policy.clientAddress = m_config.ip;
    policy.clientPort = m_config.port;
    policy.serverAddress = m_serverIp;
    policy.serverPort = m_serverPort;
    policy.acceptEnv = m_config.accept_env;
    policy.printMotd = m_config.print_motd;
    policy.printLastLog = m_config.print_last_log;
    policy.registry = m_registry;
    policy.logLine = &WriteLogLine;
    policy.writeLines = &WriteSessionLines;
    return policy;
}

void ZBrisel::EnterWorker() {
    if (!Monitor::Split(Policy())) {
        ReportStartProblem("cannot separate the session's privileges: " +
                           ZWinsta::GetErrorMessage(GetLastError()));
        ExitProcess(0);
    }
    m_separated = MonitorClient::Installed();
    if (m_separated) {
        SetTraceSink(&WriteThroughMonitor);
    }
}

void ZBrisel::ReportStartProblem(const std::string& problem) {
    std::fprintf(stderr, "brisel[%u]: %s\n", GetCurrentProcessId(), EscapedText(problem).c_str());
    ZTraceScope trace;
    ReportError(trace, problem);
}

BOOL ZBrisel::event_handler(DWORD type) {
    ZTraceScope trace;
    trace.Trace("ZBrisel::event_handler( ", type, " )");
    return TRUE;
}

std::string ZBrisel::Export() {
    ZTraceScope trace;
    trace.Trace("ZBrisel::Export( )");
    return m_export.Export();
}

void ZBrisel::Farewell(const std::string& message) {
    if (m_withoutTerminal) {
        m_ssh.PushError(TakeDialogue() + message);
        return;
    }
    m_console.Write(message);
    m_ssh.Push(Export());
}

void ZBrisel::Say(const std::string& text) {
    if (!m_withoutTerminal) {
        m_console.Write(text);
        return;
    }
    {
        std::lock_guard lock(m_dialogueLock);
        m_dialogue += text;
    }
    StateChanged();
}

std::string ZBrisel::TakeDialogue() {
    std::lock_guard lock(m_dialogueLock);
    return std::exchange(m_dialogue, std::string());
}

bool ZBrisel::ReadPassword(std::string& password) {
    if (!m_withoutTerminal) {
        m_console.SetConsoleMode(ENABLE_LINE_INPUT);
        StateChanged();  // keys typed ahead may reach the console now
        m_console.Write(m_config.pass_message);
        m_console.Read(password);
        return true;
    }
    Say(m_config.pass_message);
    {
        std::lock_guard lock(m_dialogueLock);
        m_lineState = LineState::Wanted;
    }
    StateChanged();
    std::unique_lock lock(m_dialogueLock);
    m_lineChanged.wait(lock, [this] {
        return m_lineState == LineState::Ready || m_lineState == LineState::Ended;
    });
    if (m_lineState == LineState::Ended) {
        return false;
    }
    password = std::move(m_line);
    m_line.clear();
    m_lineState = LineState::Idle;
    lock.unlock();
    Say("\n");  // where a console shows the Enter that ended the password
    return true;
}

void ZBrisel::DeliverLine() {
    // The longest line taken as a password; a longer one is cut there, as a console's
    // line is.
    constexpr std::size_t kMaxLine = 1024;
    {
        std::lock_guard lock(m_dialogueLock);
        if (m_lineState != LineState::Wanted) {
            return;
        }
        const std::size_t end = m_input.find('\n');
        std::size_t taken = 0;
        if (end != std::string::npos && end < kMaxLine) {
            taken = end + 1;
            m_line.assign(m_input, 0, end);
        } else if (m_input.size() >= kMaxLine) {
            taken = kMaxLine;
            m_line.assign(m_input, 0, kMaxLine);
        } else if (m_ssh.InputEnded() && !m_input.empty()) {
            taken = m_input.size();  // a last line without its line end
            m_line = m_input;
        } else if (m_ssh.InputEnded()) {
            m_lineState = LineState::Ended;
        } else {
            return;  // the rest of the line has yet to come
        }
        if (m_lineState == LineState::Wanted) {
            if (!m_line.empty() && m_line.back() == '\r') {
                m_line.pop_back();
            }
            // What follows the line is kept for the command; the line leaves no copy.
            std::string rest = m_input.substr(taken);
            Wipe(m_input);
            m_input = std::move(rest);
            m_lineState = LineState::Ready;
        }
    }
    m_lineChanged.notify_all();
}

namespace {

// The widest window the console follows while the shell scrolls.
constexpr SHORT kMaxScrollingWidth = 150;
// The buffer's rows after the client's width changed while the shell scrolls, at least.
constexpr SHORT kScrollingBufferRows = 300;
// The rows of scroll-back the buffer keeps above a window at least: the lines the scroll
// guard lets pass between two captures (with fewer, it holds a flood back more often;
// with none, the window is the whole buffer and has no mark to find scrolled lines by).
constexpr SHORT kScrollBackRows = 100;
// Client bytes handled in one pass: a few milliseconds' work at most.
constexpr std::size_t kInputSlice = 4096;
// How long the end waits, after the shell's exit, for the terminal to report that every
// program on it is gone (a program left running in the background may keep it open).
constexpr DWORD kDrainTime = 1000;

// Milliseconds left until more than limit have passed since start (INFINITE: never).
DWORD Left(DWORD now, DWORD start, DWORD limit) {
    const DWORD spent = now - start;
    return spent > limit ? 0 : limit - spent + 1;
}

// A client's text as the console shows it: every control character in caret notation
// (ESC as ^[, DEL as ^?; a C1 control, U+0080 to U+009F, as M-^ with its C0 partner), as
// cat -v writes them, so that a user name is only ever text.
std::string Visible(std::string_view text) {
    std::string shown;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0U;
        if (c < 0x20 || c == 0x7F) {
            shown += '^';
            shown += static_cast<char>(c ^ 0x40);
        } else if (c == 0xC2 && next >= 0x80 && next < 0xA0) {
            shown += "M-^";
            shown += static_cast<char>((next - 0x80) ^ 0x40);
            ++i;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

}  // namespace

void ZBrisel::StateChanged() {
    if (m_hStateEvent.Valid()) {
        SetEvent(m_hStateEvent.Get());
    }
}

DWORD ZBrisel::NextDeadline(const LoopState& loop, DWORD now) const {
    DWORD next = INFINITE;
    if (m_config.pass_timeout != 0 && loop.passwordTimer && m_state == LoggingIn) {
        next = std::min(next, Left(now, loop.passwordStart, m_config.pass_timeout * 1000U));
    }
    if (m_config.idle_timeout != 0 && m_state != Relaying) {
        next = std::min(next, Left(now, loop.idleStart, m_config.idle_timeout * 1000U));
    }
    if (m_config.keep_alive_interval != 0) {
        next = std::min(next, Left(now, loop.keepAliveStart, m_config.keep_alive_interval * 1000U));
    }
    return next;
}

std::optional<ZBrisel::EndReason> ZBrisel::CheckEnd(LoopState& loop, DWORD now) {
    if (!loop.passwordTimer && m_state == LoggingIn) {
        loop.passwordStart = now;
        loop.passwordTimer = true;
    }
    if (m_config.pass_timeout != 0 && m_state == LoggingIn && loop.passwordTimer &&
        now - loop.passwordStart > m_config.pass_timeout * 1000U) {
        return EndReason{"password timeout", nullptr, EndReason::Message,
                         &m_config.pass_timeout_message};
    }
    // A relaying session's idle time is the relayed session's to count.
    if (m_config.idle_timeout != 0 && m_state != Relaying &&
        now - loop.idleStart > m_config.idle_timeout * 1000U) {
        return EndReason{"idle timeout", nullptr, EndReason::Message,
                         &m_config.idle_timeout_message};
    }
    if (!ZWinsta::ProcessStillActive(m_hService.Get())) {
        return EndReason{"ZAV service stopped", nullptr, EndReason::Message,
                         &m_config.service_stopped_message};
    }
    if (m_state == ShellRunning && !ZWinsta::ProcessStillActive(m_hShell.Get())) {
        return EndReason{"shell is dead", nullptr, EndReason::ShellOutput};
    }
    return std::nullopt;
}

std::optional<ZBrisel::EndReason> ZBrisel::KeepAlive(LoopState& loop, DWORD now) {
    // Keep-alives a client may leave unanswered before it counts as gone, as sshd's
    // ClientAliveCountMax: it answers each, so silence over this many intervals means
    // the connection is stalled (a firewall dropped it, the machine went away).
    constexpr DWORD kUnansweredKeepAlives = 3;
    const DWORD keepAlive = m_config.keep_alive_interval;
    if (keepAlive != 0 && !m_ssh.Relayed()) {
        const std::uint64_t received = m_ssh.ReceivedBytes();
        if (received != loop.received) {
            loop.received = received;
            loop.receivedAt = now;
        } else if (now - loop.receivedAt > kUnansweredKeepAlives * keepAlive * 1000U) {
            return EndReason{"disconnected", "no answer to keep-alives", EndReason::Nothing};
        }
    }
    if (keepAlive != 0 && now - loop.keepAliveStart > keepAlive * 1000U) {
        loop.keepAliveStart = now;
        if (!m_ssh.KeepAlive()) {
            return EndReason{"disconnected", "no connection to client1", EndReason::Nothing};
        }
    }
    return std::nullopt;
}

std::optional<ZBrisel::EndReason> ZBrisel::ExchangeStreams(LoopState& loop) {
    // Client bytes held before the log-on ends, for the password and the command.
    constexpr std::size_t kHeldBeforeLogon = std::size_t{64} * 1024;
    if (std::optional<EndReason> gone = KeepAlive(loop, m_clock())) {
        return gone;
    }
    if (!m_ssh.PushError(TakeDialogue())) {
        return EndReason{"disconnected", "no connection to client2", EndReason::Nothing};
    }
    const bool running = m_state == ShellRunning;
    if (running && !m_pipesFed) {
        // What the client sent after its password is the command's first input.
        m_pipes.Feed(m_input);
        Wipe(m_input);
        m_pipesFed = true;
    }
    std::vector<HANDLE> handles{m_hStateEvent.Get()};
    if (m_hService.Valid()) {
        handles.push_back(m_hService.Get());
    }
    if (running) {
        handles.push_back(m_hShell.Get());
        for (HANDLE pipe : m_pipes.Handles()) {
            handles.push_back(pipe);
        }
    }
    const bool take = running ? m_pipes.WantsInput() : m_input.size() < kHeldBeforeLogon;
    std::string input;
    if (!m_ssh.Pop(input, NextDeadline(loop, m_clock()), handles, nullptr, take)) {
        return EndReason{"disconnected", "no connection to client4", EndReason::Nothing};
    }
    if (!running) {
        m_input += input;
        Wipe(input);
        DeliverLine();
        return std::nullopt;
    }
    m_pipes.Feed(input);
    if (m_ssh.InputEnded()) {
        m_pipes.EndInput();
    }
    std::string out;
    std::string err;
    if (m_pipes.Pump(out, err) || !input.empty()) {
        loop.idleStart = m_clock();
    }
    if (!m_ssh.Push(std::move(out)) || !m_ssh.PushError(err)) {
        return EndReason{"disconnected", "no connection to client5", EndReason::Nothing};
    }
    return std::nullopt;
}

std::optional<ZBrisel::EndReason> ZBrisel::Exchange(LoopState& loop) {
    if (m_withoutTerminal) {
        return ExchangeStreams(loop);
    }
    if (m_state == Relaying) {
        return ExchangeRelay(loop);
    }
    DWORD now = m_clock();
    if (std::optional<EndReason> gone = KeepAlive(loop, now)) {
        return gone;
    }

    if (std::optional<std::string> frame = m_mirror.Due(now)) {
        if (!m_ssh.Push(*frame)) {
            return EndReason{"disconnected", "no connection to client2", EndReason::Nothing};
        }
    }

    // One wait for the first of: client data, a change of the console (unless one is
    // already waiting for its export), the console's call for attention, the login's
    // progress, the service's and the shell's end, and the wait the pacing allows. The
    // pacing looks at the console again after the push, which may have taken its events.
    // While the program is behind in reading its input, the client's data stays with
    // the channel (whose window then closes) instead of piling up here. Input already
    // taken but not yet handled is handled first, without waiting. Until the shell runs,
    // what the client types may be a password: it waits likewise while the console would
    // show it (the log-on turns echo off before its prompt and says so).
    const bool full = InputHeld() || (m_console.GetAttention() & kConsoleInputFull) != 0;
    const bool ready = ClientInputReady(m_reports, m_input);
    const bool take = !full && !ready;
    const DWORD wait = !ready || full ? m_mirror.Wait(m_clock(), NextDeadline(loop, m_clock())) : 0;
    std::vector<HANDLE> handles;
    if (m_mirror.WatchesChanges()) {
        handles.push_back(m_console.GetChangeEvent());
    }
    handles.push_back(m_console.GetAttentionEvent());
    handles.push_back(m_hStateEvent.Get());
    if (m_hService.Valid()) {
        handles.push_back(m_hService.Get());
    }
    if (m_state == ShellRunning) {
        handles.push_back(m_hShell.Get());
    }
    std::string input;
    if (!m_ssh.Pop(input, wait, handles, nullptr, take)) {
        return EndReason{"disconnected", "no connection to client4", EndReason::Nothing};
    }
    m_input += input;
    // A resize that came with the input is applied before the input is handled. The
    // client is brought up to date at once: beyond the sizes the console follows, its
    // cells do not change, yet the client must get the size notice (or lose it).
    const ZClientSize client = m_telnet.m_clientSize;
    FollowClientSize();
    if ((m_telnet.m_clientSize.columns != client.columns ||
         m_telnet.m_clientSize.rows != client.rows) &&
        !m_ssh.Push(Export())) {
        return EndReason{"disconnected", "no connection to client7", EndReason::Nothing};
    }
    // A slice at a time, so that a long paste never keeps the loop from its checks.
    if (ClientInputReady(m_reports, m_input) && !InputHeld() &&
        (m_console.GetAttention() & kConsoleInputFull) == 0) {
        // What the program writes in answer is a burst of its own, held for the client's
        // scroll-back from its first line: after a burst that used up the last one, the
        // guard is renewed by a capture before the keys reach the program.
        if (std::optional<std::string> frame = m_mirror.BeforeInput(m_clock())) {
            if (!m_ssh.Push(*frame)) {
                return EndReason{"disconnected", "no connection to client6", EndReason::Nothing};
            }
        }
        if (!m_ssh.Push(ConsumeClientInput(m_telnet, m_reports, m_key, m_input, kInputSlice))) {
            return EndReason{"disconnected", "no connection to client5", EndReason::Nothing};
        }
        loop.idleStart = m_clock();
        m_mirror.Typed();
    }
    FollowFlood();
    return std::nullopt;
}

void ZBrisel::FollowFlood() {
    const bool flooding = m_state == ShellRunning && m_mirror.Flooding();
    if (flooding == m_background || m_priorityStuck) {
        return;
    }
    ZTraceScope trace;
    switch (ProcessPriority::Background(flooding)) {
        case ProcessPriority::Outcome::Done:
            m_background = flooding;
            trace.Trace(flooding ? "output floods: background priority" : "usual priority");
            break;
        case ProcessPriority::Outcome::TryLater:
            break;  // asked again on the next turn
        case ProcessPriority::Outcome::Failed:
            m_priorityStuck = true;
            trace.Trace("priority not changed: ", GetLastError());
            break;
    }
}

bool ZBrisel::InputHeld() {
    return m_state != ShellRunning && !ConsoleHidesInput(m_console);
}

void ZBrisel::FollowClientSize() {
    m_ssh.m_width = static_cast<std::int32_t>(m_config.screen_width);
    m_ssh.m_height = static_cast<std::int32_t>(m_config.screen_height);
    m_ssh.GetTerminalSize();
    // Whatever the client reports, the console takes at most what it supports: the
    // window always leaves rows of the buffer above it, so a later smaller size is
    // followed too. The export is told the client's own height: a client taller than
    // the console supports gets the size-mismatch notice, not a screen whose rows and
    // scrolling are the console's (its scrolling line feeds would land above its bottom).
    auto width = static_cast<SHORT>(std::clamp<std::int32_t>(m_ssh.m_width, 1, ZScreen::kColumns));
    const auto clientRows =
        static_cast<SHORT>(std::clamp<std::int32_t>(m_ssh.m_height, 1, SHRT_MAX));
    const auto height = std::min<SHORT>(clientRows, kMaxWindowRows);
    m_telnet.m_clientSize = ZClientSize{width, clientRows};
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!m_console.GetConsoleInfo(info)) {
        return;
    }
    if (ZConsole::HasScroll(info)) {
        width = std::min<SHORT>(width, kMaxScrollingWidth);
        m_telnet.m_clientSize.columns = width;
        // The buffer keeps rows of scroll-back above the window, also above a tall one;
        // it grows before the window does, so the window never takes the whole buffer.
        const auto rows = static_cast<SHORT>(
            std::max<int>({kScrollingBufferRows, static_cast<int>(m_config.buff_height),
                           height + kScrollBackRows}));
        if (info.srWindow.Right != width - 1) {
            m_console.SetScreenSize(COORD{width, height});
            m_console.SetBuffSize(COORD{width, rows});
        } else if (info.dwSize.Y < height + kScrollBackRows) {
            m_console.SetBuffSize(COORD{info.dwSize.X, rows});
            m_console.SetScreenSize(COORD{width, height});
        } else {
            m_console.SetScreenSize(COORD{width, height});
        }
        return;
    }
    // A full-screen program gets the client's size too, as on any terminal: its screen
    // and the terminal's size change and it is told so (SIGWINCH).
    const SMALL_RECT& w = info.srWindow;
    if (w.Right - w.Left + 1 != width || w.Bottom - w.Top + 1 != height) {
        m_console.SetBuffSize(COORD{width, height});
        m_console.SetScreenSize(COORD{width, height});
    }
}

void ZBrisel::DrainOutput() {
    m_console.ReleaseTerminal();
    const DWORD start = m_clock();
    for (;;) {
        const DWORD attention = m_console.GetAttention();
        if ((attention & kConsoleOutputEnded) != 0) {
            break;
        }
        if ((attention & kConsoleCaptureWanted) != 0) {
            if (!m_ssh.Push(Export())) {
                return;
            }
            continue;
        }
        const DWORD spent = m_clock() - start;
        if (spent >= kDrainTime) {
            break;
        }
        WaitForSingleObject(m_console.GetAttentionEvent(), kDrainTime - spent);
    }
    m_ssh.Push(Export());
}

void ZBrisel::DrainStreams() {
    // Until both outputs end, or nothing came for a while: a program left running in
    // the background may keep them open.
    DWORD quietSince = m_clock();
    for (;;) {
        std::string out;
        std::string err;
        if (m_pipes.Pump(out, err)) {
            quietSince = m_clock();
        }
        if (!m_ssh.Push(std::move(out)) || !m_ssh.PushError(err)) {
            return;
        }
        const DWORD quiet = m_clock() - quietSince;
        if (m_pipes.OutputEnded() || quiet >= kDrainTime) {
            return;
        }
        std::string ignored;
        if (!m_ssh.Pop(ignored, kDrainTime - quiet, m_pipes.Handles(), nullptr, false)) {
            return;
        }
    }
}

void ZBrisel::End(ZTraceScope& trace, const EndReason& reason) {
    TraceLevel(10);
    if (reason.traceFirst != nullptr) {
        trace.Trace(reason.traceFirst);
    }
    trace.Trace(reason.log);
    LogLine(reason.log);
    switch (reason.last) {
        case EndReason::Message:
            Farewell(*reason.message);
            break;
        case EndReason::ShellOutput: {
            if (m_withoutTerminal) {
                DrainStreams();
            } else {
                DrainOutput();
            }
            // The client learns how the shell ended, as from any SSH server.
            SshServer::ProgramEnd end;
            DWORD code = 0;
            DWORD signal = 0;
            bool core = false;
            if (GetExitCodeProcess(m_hShell.Get(), &code) != FALSE && code != STILL_ACTIVE &&
                ExitSignalOf(m_hShell.Get(), signal, core)) {
                end.status = static_cast<int>(code);
                end.signal = static_cast<int>(signal);
                end.coreDumped = core;
                trace.Trace("shell exit: ", code, " signal: ", signal);
            }
            m_ssh.SetProgramEnd(end);
            break;
        }
        case EndReason::Screen:
            if (m_withoutTerminal) {
                m_ssh.PushError(TakeDialogue());
            } else {
                m_ssh.Push(Export());
            }
            break;
        case EndReason::Nothing:
            break;
    }
}

int ZBrisel::Run() {
    ZTraceScope trace;
    TraceLevel(10);
    trace.Trace("ZBrisel::Run( )");
    try {
        m_hStateEvent.Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        m_loginDone = false;
        std::thread(&ZBrisel::LogInThread, this).detach();

        LoopState loop;
        loop.idleStart = m_clock();
        loop.keepAliveStart = loop.idleStart;
        loop.receivedAt = loop.idleStart;
        // Whatever the console shows already is news to the client, exported at once.
        m_mirror.Start(loop.idleStart, m_config.refresh_delay);
        TraceLevel(0);
        // Scripted pairs with no client bytes are used up at the start, unanswered.
        for (ZTelnetPair& pair : m_telnet.m_pairs) {
            pair.used = pair.used || pair.client.empty();
        }

        std::optional<EndReason> reason;
        for (;;) {
            reason = CheckEnd(loop, m_clock());
            if (reason) {
                break;
            }
            reason = Exchange(loop);
            if (reason && reason->last == EndReason::Nothing && CanDetach()) {
                // The client is gone, the shell is not: the session waits for a new one.
                reason = Detached(loop);
            }
            if (reason) {
                break;
            }
            if (m_state == LoginExhausted) {
                reason =
                    m_inputEndedAtLogon
                        ? EndReason{"input ended before log-on", nullptr, EndReason::Screen}
                        : EndReason{"max login attempts", "force terminate", EndReason::Screen};
                break;
            }
        }
        End(trace, *reason);
        {
            std::lock_guard lock(m_lock);
            m_prcsGroup.Terminate();
        }
        TraceLevel(10);
        trace.Trace("brisel.exe end");
        LogLine("brisel.exe end");
        return 0;
    } catch (...) {
        ReportError(trace, "exception");
        ExitProcess(0);
    }
}

DWORD ZBrisel::LogInThread(ZBrisel* session) {
    ZTraceScope trace;
    TraceLevel(10);
    trace.Trace("ZBrisel::LogInThread( ", reinterpret_cast<std::uintptr_t>(session), " )");
    try {
        ZBrisel& s = *session;
        s.m_state = LoggingIn;
        s.StateChanged();
        s.Say(s.m_config.welcome_message);
        unsigned attempts = 0;
        for (;;) {
            const std::string user = s.m_ssh.m_userName;
            std::string password;
            s.Say(s.m_config.login_message + Visible(user));
            if (!s.m_config.default_pass.empty()) {
                password = s.m_config.default_pass;
            } else if (!s.ReadPassword(password)) {
                // Without a terminal: the client's data ended before a password came.
                s.Say("\n");  // the prompt's line ends before the client's own output
                s.m_inputEndedAtLogon = true;
                s.m_state = LoginExhausted;
                s.StateChanged();
                s.m_loginDone = true;
                return 0;
            }
            DWORD code = 0;
            std::string name;
            {
                std::lock_guard lock(s.m_lock);
                code = s.m_config.debug ? s.LogonUser1_Debug(user, password, name)
                                        : s.LogonUser(user, password, name);
            }
            Wipe(password);
            // A detached session of the account's is offered before a new shell starts
            // (outside the lock: the choice waits for the user).
            if (code == 0 && s.OfferDetached(name)) {
                s.m_loginDone = true;
                return 1;
            }
            if (code == 0) {
                std::lock_guard lock(s.m_lock);
                code = s.StartShell(name, s.m_hToken.Get());
            }
            if (code == 0) {
                s.m_loginDone = true;
                return 1;
            }
            const std::string text = ZWinsta::GetErrorMessage(code);
            s.Say("\n" + text + "\n\n");
            trace.Trace("refused: [ ", user, " ]");
            if (!s.m_separated) {
                LogLine(s.Policy().RefusedLine(user, text));
            }
            ++attempts;
            if (attempts >= s.m_config.max_login_attempts) {
                s.m_state = LoginExhausted;
                s.StateChanged();
                s.m_loginDone = true;
                return 0;
            }
        }
    } catch (...) {
        ReportError(trace, "exception");
        ExitProcess(0);
    }
}

std::string ZBrisel::PrepareLogon(const std::string& user) {
    ZTraceScope trace;
    SetEnvironmentVariableA("ZAV_USER", user.c_str());
    if (m_separated) {
        return user;  // the monitor applies the lists and the domain itself
    }
    std::string why;
    std::string name = Policy().AccountName(user, why);
    if (!why.empty()) {
        trace.Trace(why);
        LogLine(why);
    }
    return name;
}

DWORD ZBrisel::LogonUser(std::string user, std::string password, std::string& name) {
    ZTraceScope trace;
    trace.Trace("ZBrisel::LogonUser( ", user, ", ", "********", " )");
    name = PrepareLogon(user);
    if (!ZWinsta::SetWinstaAndDesktop("zav")) {
        ReportError(trace, "ZWinsta::SetWinstaAndDesktop( zav ):err");
    }
    HANDLE token = nullptr;
    const BOOL accepted = LogonUserA(name.c_str(), nullptr, password.c_str(),
                                     LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token);
    Wipe(password);
    if (accepted == FALSE) {
        return GetLastError();
    }
    m_hToken.Reset(token);
    return 0;
}

DWORD ZBrisel::LogonUser1_Debug(std::string user, std::string password, std::string& name) {
    ZTraceScope trace;
    trace.Trace("ZBrisel::LogonUser1_Debug( ", user, ", ", "********", " )");
    Wipe(password);
    name = PrepareLogon(user);
    // The lists hold here too: a name they refuse is refused like a wrong password.
    if (name.starts_with(":")) {
        return kLogonRefused;
    }
    return 0;  // the shell runs as this process's account (no token)
}

std::string ZBrisel::ShellCommandLine() const {
    return Policy().ShellCommandLine(m_ssh.Command());
}

DWORD ZBrisel::StartShell(const std::string& name, HANDLE token) {
    ZTraceScope trace;
    trace.Trace("ZBrisel::StartShell( ", name, " )");
    Say(m_config.login_successfull_message);
    trace.Trace("accepted: [ ", name, " ]");
    if (!m_separated) {
        LogLine(Policy().AcceptedLine(name));
    }
    const std::string line = ShellCommandLine();
    std::vector<char> commandLine(line.begin(), line.end());
    commandLine.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = 68;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION shell{};
    BOOL started = FALSE;
    if (m_withoutTerminal && !m_pipes.Create(startup)) {
        return GetLastError();
    }
    if (token != nullptr) {
        // The user's shell runs on the session's own desktop.
        char desktop[] = "zavWINSTA\\zavDESK";
        startup.lpDesktop = desktop;
        started = CreateProcessAsUserA(token, nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                       NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &shell);
    } else {
        started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                 NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &shell);
    }
    const DWORD error = started == FALSE ? GetLastError() : 0;
    if (m_withoutTerminal) {
        m_pipes.Started();
    }
    if (started == FALSE) {
        return error;
    }
    m_hShell.Reset(shell.hProcess);
    const UniqueHandle thread(shell.hThread);  // nothing waits for the shell's thread
    // From here on what the client types goes to the user's shell.
    HideTracedInput(false);
    m_state = ShellRunning;
    StateChanged();
    m_prcsGroup.CreateJob(shell.dwProcessId);
    return 0;
}

namespace {

// How long a new client's relay may take to say its size and terminal.
constexpr DWORD kRelayHelloTime = 5000;
// Sending one frame through the relay to a session that does not read.
constexpr auto kRelaySendTime = std::chrono::milliseconds(20000);

// A Unix time as the offer shows it: "2026-12-09 14:02:11 UTC".
std::string UtcTime(std::uint64_t seconds) {
    const auto time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if (gmtime_r(&time, &parts) == nullptr) {
        return "?";
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

}  // namespace

bool ZBrisel::CanDetach() {
    if (m_state != ShellRunning || m_withoutTerminal || m_config.detach_timeout == 0 ||
        !m_separated) {
        return false;
    }
    if (!MonitorClient::Instance().RequestDetach()) {
        ZTraceScope trace;
        trace.Trace("no detach: ", ZWinsta::GetErrorMessage(GetLastError()));
        return false;
    }
    return true;
}

std::optional<ZBrisel::EndReason> ZBrisel::Detached(LoopState& loop) {
    ZTraceScope trace;
    trace.Trace("ZBrisel::Detached( )");
    const std::string detachedLine =
        "detached: the client is gone, kept for " + std::to_string(m_config.detach_timeout) + " s";
    m_ssh.Drop();
    LogLine(detachedLine);
    if (!m_hNotice.Valid()) {
        m_hNotice.Reset(DescriptorHandle(MonitorClient::Instance().NoticeFd(), false));
    }
    DWORD start = m_clock();
    const DWORD limit = m_config.detach_timeout * 1000U;
    for (;;) {
        // Nothing goes anywhere, but the console goes on taking the programs' output:
        // its captures, paced as for a client, let the scroll guard move on.
        const DWORD now = m_clock();
        if (now - start > limit) {
            return EndReason{"detach timeout", nullptr, EndReason::Nothing};
        }
        if (m_mirror.Due(now)) {
            FollowFlood();
            continue;
        }
        std::vector<HANDLE> handles{m_hShell.Get(), m_hNotice.Get(), m_console.GetAttentionEvent()};
        if (m_hService.Valid()) {
            handles.push_back(m_hService.Get());
        }
        if (m_mirror.WatchesChanges()) {
            handles.push_back(m_console.GetChangeEvent());
        }
        const DWORD wait = m_mirror.Wait(now, Left(now, start, limit));
        const DWORD woken =
            WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, wait);
        if (woken == WAIT_FAILED) {
            return EndReason{"detach failed", nullptr, EndReason::Nothing};
        }
        if (!ZWinsta::ProcessStillActive(m_hShell.Get())) {
            return EndReason{"shell is dead", nullptr, EndReason::Nothing};
        }
        if (!ZWinsta::ProcessStillActive(m_hService.Get())) {
            return EndReason{"ZAV service stopped", nullptr, EndReason::Nothing};
        }
        if (woken != WAIT_OBJECT_0 + 1) {
            continue;
        }
        std::string address;
        UniqueFd relay;
        if (!MonitorClient::Instance().TakeNotice(address, relay)) {
            if (MonitorClient::Instance().NoticeFd() < 0) {
                return EndReason{"detach failed", nullptr, EndReason::Nothing};
            }
            continue;
        }
        if (Reattach(loop, std::move(relay), address)) {
            return std::nullopt;
        }
        // The new client went before it said its size: the session waits on, as zavd
        // lists it, from now.
        m_ssh.Drop();
        if (!MonitorClient::Instance().RequestDetach()) {
            return EndReason{"detach failed", nullptr, EndReason::Nothing};
        }
        LogLine(detachedLine);
        start = m_clock();
    }
}

bool ZBrisel::Reattach(LoopState& loop, UniqueFd relay, const std::string& address) {
    ZTraceScope trace;
    trace.Trace("ZBrisel::Reattach( ", address, " )");
    if (!m_ssh.AttachRelay(std::move(relay), kRelayHelloTime)) {
        return false;
    }
    LogLine("reattached from " + address);
    // A new terminal: its kind and size, and a screen that shows nothing of ours yet.
    m_telnet.m_colours = ZTelnet::ColoursOf(m_ssh.TerminalType(), m_ssh.ColorTerm());
    m_export.Forget();
    FollowClientSize();
    const DWORD now = m_clock();
    loop.idleStart = now;
    loop.keepAliveStart = now;
    loop.receivedAt = now;
    m_mirror.Start(now, m_config.refresh_delay);
    return true;
}

bool ZBrisel::OfferDetached(const std::string& name) {
    ZTraceScope trace;
    trace.Trace("ZBrisel::OfferDetached( ", name, " )");
    if (!m_separated || m_withoutTerminal || m_config.reattach == "never") {
        return false;
    }
    std::vector<DetachedOffer> offers;
    if (!MonitorClient::Instance().RequestOffers(offers) || offers.empty()) {
        return false;
    }
    std::size_t chosen = 0;
    if (m_config.reattach == "ask") {
        std::string menu = "\nDetached sessions of " + Visible(name) + ":\n";
        for (std::size_t i = 0; i < offers.size(); ++i) {
            menu += "  " + std::to_string(i + 1) + ") since " + UtcTime(offers[i].since) +
                    " from " + Visible(offers[i].address) + ", running " +
                    Visible(offers[i].program) + "\n";
        }
        menu += "  0) a new session\n";
        Say(menu);
        for (;;) {
            // Read as the password is: the line is shown once it is complete.
            Say("Choose [1]: ");
            m_console.SetConsoleMode(ENABLE_LINE_INPUT);
            StateChanged();
            std::string line;
            m_console.Read(line);
            while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
                line.pop_back();
            }
            Say(Visible(line) + "\n");
            unsigned long long number = 1;
            if (!line.empty() && (!ReadNumber(line, number) ||
                                  line.find_first_not_of("0123456789 ") != std::string::npos)) {
                number = offers.size() + 1;  // not a choice
            }
            if (number == 0) {
                return false;
            }
            if (number <= offers.size()) {
                chosen = number - 1;
                break;
            }
            Say("No such choice.\n");
        }
    }
    UniqueFd relay;
    if (!MonitorClient::Instance().RequestReattach(offers[chosen].pid, relay)) {
        Say("That session is no longer detached; a new session starts.\n");
        return false;
    }
    m_relay = std::make_unique<RelayLink>(std::move(relay));
    m_hRelay.Reset(DescriptorHandle(m_relay->Fd(), false));
    m_hRelayRoom.Reset(DescriptorHandle(m_relay->Fd(), true));
    // The relayed session repaints at this client's size, for its kind of terminal.
    m_ssh.m_width = static_cast<std::int32_t>(m_config.screen_width);
    m_ssh.m_height = static_cast<std::int32_t>(m_config.screen_height);
    m_ssh.GetTerminalSize();
    m_relayedSize = RelayedClientSize();
    // The monitor relays from here on, whatever happens: a relay that fails now ends this
    // session in the loop, as one that fails later does.
    m_relay->Send(RelayWire::Hello(static_cast<std::uint32_t>(m_relayedSize.columns),
                                   static_cast<std::uint32_t>(m_relayedSize.rows),
                                   m_ssh.TerminalType(), m_ssh.ColorTerm()),
                  kRelaySendTime);
    HideTracedInput(false);
    m_state = Relaying;
    StateChanged();
    return true;
}

ZClientSize ZBrisel::RelayedClientSize() const {
    return ZClientSize{
        static_cast<SHORT>(std::clamp<std::int32_t>(m_ssh.m_width, 1, RelayWire::kMaxSize)),
        static_cast<SHORT>(std::clamp<std::int32_t>(m_ssh.m_height, 1, RelayWire::kMaxSize))};
}

std::optional<ZBrisel::EndReason> ZBrisel::ExchangeRelay(LoopState& loop) {
    if (std::optional<EndReason> gone = KeepAlive(loop, m_clock())) {
        return gone;
    }
    // The client's bytes are taken while the relay has room for them; the relayed
    // session's screen whenever it comes.
    const bool room = WaitForSingleObject(m_hRelayRoom.Get(), 0) == WAIT_OBJECT_0;
    std::vector<HANDLE> handles{m_hRelay.Get(), m_hStateEvent.Get()};
    if (!room) {
        handles.push_back(m_hRelayRoom.Get());
    }
    if (m_hService.Valid()) {
        handles.push_back(m_hService.Get());
    }
    std::string input;
    if (!m_ssh.Pop(input, NextDeadline(loop, m_clock()), handles, nullptr, room)) {
        return EndReason{"disconnected", "no connection to client4", EndReason::Nothing};
    }
    if (!input.empty() && !m_relay->Send(RelayWire::Data(input), kRelaySendTime)) {
        return EndReason{"reattached session ended", nullptr, EndReason::Nothing};
    }
    m_ssh.GetTerminalSize();
    const ZClientSize size = RelayedClientSize();
    if ((size.columns != m_relayedSize.columns || size.rows != m_relayedSize.rows) &&
        !m_relay->Send(RelayWire::Size(static_cast<std::uint32_t>(size.columns),
                                       static_cast<std::uint32_t>(size.rows)),
                       kRelaySendTime)) {
        return EndReason{"reattached session ended", nullptr, EndReason::Nothing};
    }
    m_relayedSize = size;
    const RelayLink::Status status = m_relay->Read(std::chrono::milliseconds(0), {});
    RelayFrame frame;
    while (m_relay->Next(frame)) {
        if (frame.type == RelayWire::Type::Data) {
            if (!m_ssh.Push(std::move(frame.data))) {
                return EndReason{"disconnected", "no connection to client5", EndReason::Nothing};
            }
        } else if (frame.type == RelayWire::Type::End) {
            // The relayed session ended: its client learns how its program did.
            SshServer::ProgramEnd end;
            if (frame.status >= 0) {
                end.status = frame.status;
            }
            end.signal = frame.signal;
            end.coreDumped = frame.coreDumped;
            m_ssh.SetProgramEnd(end);
            return EndReason{"reattached session ended", nullptr, EndReason::Nothing};
        }
    }
    if (status == RelayLink::Status::Gone || status == RelayLink::Status::Malformed) {
        return EndReason{"reattached session ended", nullptr, EndReason::Nothing};
    }
    return std::nullopt;
}
