// The server side of one SSH connection over libssh, reduced to what a terminal needs:
// a handshake on an already connected socket that accepts any authentication and keeps
// the user name, one session channel with a pseudo-terminal (or an exec command),
// bounded writes and reads, the client's terminal size, the client's accepted environment
// variables, and the program's exit status. Forwarding,
// agent, X11 and subsystems are refused.
//
// Results are status codes numbered like the original security toolkit's, so that log
// readers keep working: 0 success, and the negative codes below.
#pragma once

#include <fcntl.h>
#include <libssh/callbacks.h>
#include <libssh/libssh.h>
#include <libssh/server.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "win32/LoginEnvironment.h"

class SshServer {
  public:
    static constexpr int kOk = 0;
    static constexpr int kErrorMemory = -10;
    static constexpr int kErrorPermission = -21;
    static constexpr int kErrorWrongKey = -22;
    static constexpr int kErrorTimeout = -25;
    static constexpr int kErrorBadData = -32;
    static constexpr int kErrorOpen = -40;
    static constexpr int kErrorRead = -41;
    static constexpr int kErrorWrite = -42;
    static constexpr int kErrorNotFound = -43;
    static constexpr int kArgErrorNumber = -104;
    // The longest command an exec request may carry.
    static constexpr std::size_t kMaxCommand = std::size_t{16} * 1024;

    SshServer();
    ~SshServer();
    SshServer(const SshServer&) = delete;
    SshServer& operator=(const SshServer&) = delete;

    // Imports the server's private key (an OpenSSH key file protected by password), named
    // relative to directory unless absolute. The file is opened without following any link
    // and must be private (ZSafePath::PrivateFileProblem): kErrorPermission otherwise,
    // kErrorOpen when it cannot be opened, kErrorWrongKey when it holds no key this
    // password opens. KeyProblem() then says why.
    int LoadKey(const std::string& path, const std::string& password, int directory = AT_FDCWD);
    const std::string& KeyProblem() const { return m_keyProblem; }
    // The errno of a key file that could not be opened (ENOENT: missing, EACCES: this
    // account may not read it), else 0.
    int KeyError() const { return m_keyError; }
    // The loaded key's fingerprint as the OpenSSH client shows it on a first connection:
    // "ED25519 key fingerprint is SHA256:<base64 without padding>"; empty without a key.
    std::string KeyFingerprint() const;
    // Runs the handshake on the connected socket (taken over: closed with the session)
    // until the client has authenticated, opened its session channel and asked for a
    // shell or a command, or until the time-out.
    int Accept(int socket, std::chrono::milliseconds timeout);
    const std::string& UserName() const { return m_userName; }
    // Why Accept refused the client's authentication (kErrorBadData): its user name, as far
    // as the library passed it on, with a NUL byte after it. Empty otherwise.
    const std::string& Refusal() const { return m_refusal; }

    // Sends all of data within the time-out (a client that stops reading cannot stall
    // the session for longer).
    int Write(std::string_view data, std::chrono::milliseconds timeout);
    // As Write, as the channel's extended data (a program's standard error).
    int WriteError(std::string_view data, std::chrono::milliseconds timeout);
    int Flush(std::chrono::milliseconds timeout);
    // Sends the client a keep-alive (the global request keepalive@openssh.com, which
    // asks for an answer, as sshd's ClientAliveInterval does) and flushes it within the
    // time-out; one is outstanding at a time: while the client has not answered the last,
    // none is added. kErrorWrite: the connection is gone.
    int KeepAlive(std::chrono::milliseconds timeout);
    // Bytes received from the client so far (all of them, the keep-alives' answers too):
    // a count that stops while keep-alives go out tells a client that no longer answers.
    std::uint64_t ReceivedBytes() const { return m_counter.in_bytes; }
    // A descriptor whose readiness ends a read's wait; drained (an eventfd) when drain;
    // ready when writable rather than readable when room.
    struct WakeSource {
        int fd = -1;
        bool drain = false;
        bool room = false;
        bool operator==(const WakeSource&) const = default;
    };
    // Appends what the client sent, at most max bytes, to out. Waits up to wait (negative:
    // no limit) for data when none is buffered; the wait also ends when one of wake
    // becomes readable, and fired (when given) tells which did. With max 0 buffered data
    // is left alone and only wake ends the wait. kErrorTimeout: nothing arrived (also at
    // once once the client's data has ended, see InputEnded); kErrorRead: the connection
    // or the channel is gone.
    int Read(std::string& out, std::size_t max, std::chrono::milliseconds wait,
             const std::vector<WakeSource>& wake, std::vector<bool>* fired = nullptr);
    // The client's terminal size from its pty and window-change requests; false when it
    // sent none.
    bool TerminalSize(int& columns, int& rows) const;
    // The client sent its end of data (EOF) and everything before it has been read.
    bool InputEnded() const { return m_eof && m_received.empty(); }
    // The command of the client's exec request (empty for a shell), and whether it
    // asked for a pseudo-terminal.
    const std::string& Command() const { return m_command; }
    bool WantsTerminal() const { return m_wantsTerminal; }
    // The terminal type of the client's pty request (empty without one), and the
    // COLORTERM it sent (empty when none): what the client's terminal shows.
    const std::string& TerminalType() const { return m_terminalType; }
    const std::string& ColorTerm() const { return m_colorTerm; }
    // The names (space-separated shell globs, as sshd's AcceptEnv) whose env requests
    // are taken; set before Accept. The variables taken, in the order first sent.
    void SetAcceptEnv(std::string patterns) { m_acceptEnv = std::move(patterns); }
    const std::vector<LoginEnvironment::Variable>& Environment() const { return m_environment; }
    // How the program behind the channel ended: its exit status, or the signal that
    // killed it; neither when it did not end by itself.
    struct ProgramEnd {
        std::optional<int> status;
        int signal = 0;
        bool coreDumped = false;
    };
    // Ends the channel (telling the client how the program ended) and disconnects,
    // waiting briefly for the client to acknowledge so it sees an orderly end.
    void Close(const ProgramEnd& end);
    void Close();

  private:
    static int AuthNone(ssh_session, const char* user, void* self);
    static int AuthPassword(ssh_session, const char* user, const char*, void* self);
    static int AuthPublicKey(ssh_session, const char* user, ssh_key_struct*, char, void* self);
    static ssh_channel OpenSession(ssh_session, void* self);
    static int OnData(ssh_session, ssh_channel, void* data, uint32_t length, int stderrFlag,
                      void* self);
    static void OnEof(ssh_session, ssh_channel, void* self);
    static void OnClose(ssh_session, ssh_channel, void* self);
    static int OnPty(ssh_session, ssh_channel, const char* term, int columns, int rows, int, int,
                     void* self);
    static int OnWindowChange(ssh_session, ssh_channel, int columns, int rows, int, int,
                              void* self);
    static int OnShell(ssh_session, ssh_channel, void* self);
    static int OnExec(ssh_session, ssh_channel, const char* command, void* self);
    static int OnEnv(ssh_session, ssh_channel, const char*, const char*, void* self);
    static int OnWakeup(socket_t fd, int revents, void* entry);
    void Watch(const std::vector<WakeSource>& wake);
    void Unwatch();
    void Refill();
    int Send(std::string_view data, std::chrono::milliseconds timeout, bool error);

    // The authentication request as the library parsed it agrees with the packet's length
    // (the library cuts strings at a NUL byte): the user name is the client's.
    int Authenticated(const char* user, std::size_t rest);
    static void OnLog(int priority, const char* function, const char* text, void* self);
    bool Alive() const;
    // One round of the event loop, at most timeout long; false when the session broke.
    bool Poll(std::chrono::milliseconds timeout);

    ssh_bind m_bind = nullptr;
    ssh_session m_session = nullptr;
    ssh_event m_event = nullptr;
    ssh_channel m_channel = nullptr;
    ssh_key m_key = nullptr;
    ssh_counter_struct m_counter{};  // the socket's bytes, counted by the library
    ssh_server_callbacks_struct m_serverCallbacks{};
    ssh_channel_callbacks_struct m_channelCallbacks{};

    std::string m_keyProblem;
    int m_keyError = 0;
    std::string m_userName;
    std::string m_received;  // client data not yet read
    bool m_started = false;  // a shell or a command was asked for
    int m_packetType = -1;   // the type of the packet the library took last, as it logs it
    std::uint32_t m_packetPayload = 0;  // and that packet's payload length
    std::string m_refusal;              // see Refusal
    std::string m_command;              // the exec request's command
    bool m_wantsTerminal = false;
    std::string m_terminalType;
    std::string m_colorTerm;
    std::string m_acceptEnv;
    std::vector<LoginEnvironment::Variable> m_environment;
    bool m_closed = false;  // the client closed the channel
    bool m_eof = false;     // the client sends no more data
    struct WakeEntry {
        SshServer* server;
        WakeSource source;
        bool fired;
    };
    std::vector<std::unique_ptr<WakeEntry>> m_wake;  // in the event loop while a read waits
    bool m_woken = false;
    int m_columns = 0;
    int m_rows = 0;
    bool m_sized = false;
};
