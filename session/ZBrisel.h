// The session: one client connection, from the hand-off of its socket to the end of the
// user's shell. It owns every component; its main loop mirrors the console to the client
// and feeds the client's keys to the console, while a login thread logs the user on and
// starts the shell.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "infra/ZTraceScope.h"
#include "input/ClientReports.h"
#include "input/ZKey.h"
#include "monitor/MonitorPolicy.h"
#include "platform/ZConsole.h"
#include "platform/ZPrcsGroup.h"
#include "screen/ZScreen.h"
#include "screen/ZScreenExport.h"
#include "screen/ZTelnet.h"
#include "session/ZCommandPipes.h"
#include "session/ZMirror.h"
#include "session/ZTermConfig.h"
#include "transport/RelayLink.h"
#include "transport/ZSsh.h"
#include "win32/UniqueHandle.h"
#include "win32/Win32.h"

class ZBrisel {
  public:
    enum State : std::int32_t {
        LoggingIn = 0,
        ShellRunning = 1,
        LoginExhausted = 2,
        Starting = 3,
        Relaying = 4,  // the log-on took over a detached session: this session relays
    };

    // The tallest window the console follows: the tallest a capture supports.
    static constexpr SHORT kMaxWindowRows = ZScreen::kMaxWindowRows;

    ZBrisel();
    ~ZBrisel() = default;
    ZBrisel(const ZBrisel&) = delete;
    ZBrisel& operator=(const ZBrisel&) = delete;

    int Run();

    // Whether the login thread has finished (after which the session may be destroyed).
    bool LoginThreadDone() const { return m_loginDone.load(); }
    // Closes the client's channel in order, for an end that cannot wait for the login
    // thread.
    void ShutDownChannel() { m_ssh.ShutDown(); }

  private:
    std::string Export();

    static BOOL event_handler(DWORD type);
    static DWORD LogInThread(ZBrisel* session);
    // The log-on's check: 0 (name set to the account's name, m_hToken to its token) or
    // the error code. The shell is started afterwards (StartShell).
    DWORD LogonUser(std::string user, std::string password, std::string& name);
    DWORD LogonUser1_Debug(std::string user, std::string password, std::string& name);

    // Why the session ends: the log line, a trace-only line before it, and what the
    // client is shown last.
    struct EndReason {
        enum Last {
            Message,      // the configured message, written into the console and exported
            ShellOutput,  // what the shell wrote until the terminal reported its end
            Screen,       // the screen as it is
            Nothing,      // the client is gone
        };
        const char* log;
        const char* traceFirst;
        Last last;
        const std::string* message = nullptr;
    };
    // The main loop's timers and what it knows of the console between passes.
    struct LoopState {
        DWORD passwordStart = 0;
        bool passwordTimer = false;
        DWORD idleStart = 0;
        DWORD keepAliveStart = 0;
        std::uint64_t received = 0;  // the client's bytes at receivedAt
        DWORD receivedAt = 0;        // when the client was last heard from
    };

    // The time-outs, the service and the shell, in this order; the first reason to end.
    std::optional<EndReason> CheckEnd(LoopState& loop, DWORD now);
    // Milliseconds from now to the nearest time-out (INFINITE: none).
    DWORD NextDeadline(const LoopState& loop, DWORD now) const;
    // One exchange with the client: the keep-alive, the screen when it is due, one wait
    // for client input or any other event, the client's size, and the input's reply.
    std::optional<EndReason> Exchange(LoopState& loop);
    // The keep-alive when it is due; the reason to end when the client is gone.
    std::optional<EndReason> KeepAlive(LoopState& loop, DWORD now);
    // While the output floods past its burst, the session runs in the background
    // priority, yielding the processors to interactive sessions; a new burst (the user
    // types, the output pauses) brings it back.
    void FollowFlood();
    // Whether the session may outlive its gone client: an interactive shell runs,
    // detach_timeout allows it, and the monitor can have it found again.
    bool CanDetach();
    // The client is gone: the console and the shell go on without one for
    // detach_timeout seconds. nullopt once a new client took the session over (the loop
    // goes on), else why the session ends.
    std::optional<EndReason> Detached(LoopState& loop);
    // A new client took over through relay (from address): the screen is repainted for
    // it at its size, and the loop starts afresh.
    bool Reattach(LoopState& loop, UniqueFd relay, const std::string& address);
    // After the log-on: the account's detached sessions are offered (or the newest
    // taken), as the reattach setting says. True when one was taken over: this session
    // then relays it.
    bool OfferDetached(const std::string& name);
    // The client's size as the relay carries it (each 1 to the relay's largest).
    ZClientSize RelayedClientSize() const;
    // Exchange while relaying a detached session: client bytes and size to it, its
    // screen to the client.
    std::optional<EndReason> ExchangeRelay(LoopState& loop);
    // Exchange for a command without a terminal: the log-on's dialogue to the client's
    // standard error and its lines to the log-on, then the command's streams.
    std::optional<EndReason> ExchangeStreams(LoopState& loop);
    // The log-on's text: into the console, or without a terminal to the client's
    // standard error (sent by the main loop).
    void Say(const std::string& text);
    // The dialogue said but not yet sent.
    std::string TakeDialogue();
    // The password: read by the console, or without a terminal the client's next line.
    // False when the client's data ended first.
    bool ReadPassword(std::string& password);
    // Hands the log-on the client's next line when it waits for one.
    void DeliverLine();
    // After the command's exit without a terminal: its output until the pipes end.
    void DrainStreams();
    // Whether client input waits: until the shell runs, it reaches the console only while
    // the console hides it (ConsoleHidesInput).
    bool InputHeld();
    // Takes over the client's terminal size: the console follows it.
    void FollowClientSize();
    // Logs the reason and lets the client see the end: the message, or the shell's last
    // output; then the shell's job ends.
    void End(ZTraceScope& trace, const EndReason& reason);
    // After the shell's exit: what it wrote until the terminal reported its end reaches
    // the client.
    void DrainOutput();
    // Wakes the main loop after the login thread moved the state.
    void StateChanged();

    // The lists, the domain and ZAV_USER: steps shared by both logons. Returns the name
    // to log on with.
    std::string PrepareLogon(const std::string& user);
    // The settings the log-on enforces, as the privileged monitor takes them.
    MonitorPolicy Policy() const;
    // The log-on's last steps: the accepted lines, the shell (as the token's account, or
    // as the session's own without one), the state and the job. 0 or the error code.
    DWORD StartShell(const std::string& name, HANDLE token);
    // shell_command, or the client's command in the account's shell when it named one
    // and exec_commands allows it.
    std::string ShellCommandLine() const;
    // As root: splits into the privileged monitor and the worker that goes on here.
    void EnterWorker();
    // A start that cannot go on: said on the service's standard error and as an error.
    static void ReportStartProblem(const std::string& problem);
    // Writes the configured message into the console and exports it to the client.
    void Farewell(const std::string& message);

    // The loop's clock, a tick counter.
    DWORD (*m_clock)() = &GetTickCount;

    // Written by the login thread and read by the main loop, hence atomic.
    std::atomic<std::int32_t> m_state{Starting};
    ZConsole m_console;
    ClientReports m_reports;
    ZKey m_key;
    ZTelnet m_telnet;
    ZScreenExport m_export{m_telnet};
    ZMirror m_mirror{m_console, m_export};  // when the console goes to the client
    // Guarded by m_lock (below); the main loop reads m_hShell without it only once m_state
    // says ShellRunning, which the login thread stores after it.
    UniqueHandle m_hShell;
    UniqueHandle m_hToken;  // the account the shell runs as, kept while it runs
    ZPrcsGroup m_prcsGroup;
    ZSsh m_ssh;
    UniqueHandle m_hService;  // zavd, watched so that the session ends with it
    // Held by the login thread while it logs the user on and starts the shell (m_hShell,
    // m_prcsGroup), and by the main loop while it ends the shell's job: the job is never
    // ended halfway through a shell's start.
    std::mutex m_lock;
    ZTermConfig m_config;

    std::string m_serverIp;  // the connection's local end
    std::string m_serverPort;
    UniqueHandle m_hStateEvent;  // set by the login thread at each change of m_state
    std::string m_input;         // client bytes taken from the channel, not yet handled

    // A command without a terminal (an exec request without a pty request): the log-on
    // talks on the client's standard error and reads the password as a line; the
    // command runs on pipes.
    ZCommandPipes m_pipes;  // made by the login thread before ShellRunning, then the loop's
    enum class LineState { Idle, Wanted, Ready, Ended };
    std::mutex m_dialogueLock;  // guards the four below
    std::condition_variable m_lineChanged;
    std::string m_dialogue;  // said by the log-on, not yet sent
    std::string m_line;      // the line handed to the log-on (a password)
    LineState m_lineState = LineState::Idle;

    // Split for privileges: the monitor checks the log-on and writes its outcome.
    bool m_separated = false;
    int m_registry = -1;  // zavd's registry channel, for the monitor
    std::atomic<bool> m_loginDone{true};
    bool m_withoutTerminal = false;  // see m_pipes
    bool m_pipesFed = false;         // the input held before the log-on went to the pipes
    bool m_background = false;       // the session runs in the background priority
    bool m_priorityStuck = false;    // the priority could not be changed: not asked again
    std::atomic<bool> m_inputEndedAtLogon{false};

    // While relaying a detached session (m_state Relaying): the relay and its two
    // handles (something to read, room to write), made by the login thread before
    // Relaying, then the loop's; and the size last told.
    std::unique_ptr<RelayLink> m_relay;
    UniqueHandle m_hRelay;
    UniqueHandle m_hRelayRoom;
    ZClientSize m_relayedSize{0, 0};
    UniqueHandle m_hNotice;  // while detached: a new client's notice
};
