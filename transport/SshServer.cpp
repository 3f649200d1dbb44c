#include "transport/SshServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/PollTimeout.h"
#include "infra/ZSafePath.h"

namespace {

// A terminal type or COLORTERM worth keeping: a short plain name.
bool IsPlainName(std::string_view name) {
    if (name.empty() || name.size() > 64) {
        return false;
    }
    for (const char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '+' || c == '-')) {
            return false;
        }
    }
    return true;
}

}  // namespace

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The largest key file read: an OpenSSH private key is a few kilobytes.
constexpr std::size_t kMaxKeyFile = std::size_t{64} * 1024;

// How long the end waits for the client to close the channel in answer to ours.
constexpr int kCloseWaitMs = 5000;

// Client data held for the session beyond which the channel's window stays shut.
constexpr std::size_t kReceiveLimit = 1 << 20;

}  // namespace

SshServer::SshServer() {
    ssh_init();
}

SshServer::~SshServer() {
    if (m_event != nullptr) {
        if (m_session != nullptr) {
            ssh_event_remove_session(m_event, m_session);
        }
        Unwatch();
        ssh_event_free(m_event);
    }
    if (m_channel != nullptr) {
        ssh_channel_free(m_channel);
    }
    if (m_session != nullptr) {
        ssh_free(m_session);
    }
    if (m_bind != nullptr) {
        ssh_bind_free(m_bind);
    }
    if (m_key != nullptr) {
        ssh_key_free(m_key);
    }
    ssh_finalize();
}

int SshServer::LoadKey(const std::string& path, const std::string& password, int directory) {
    m_keyProblem.clear();
    m_keyError = 0;
    if (m_key != nullptr) {
        ssh_key_free(m_key);
        m_key = nullptr;
    }
    ZSafePath::Opened file = ZSafePath::OpenForReading(path, directory);
    if (!file.fd.Valid()) {
        m_keyProblem = file.reason;
        m_keyError = file.error;
        return file.refused ? kErrorPermission : kErrorOpen;
    }
    // The password is the same in every installation: the key is safe only while no one
    // else can read or replace its file.
    struct stat st {};
    if (::fstat(file.fd.Get(), &st) != 0) {
        m_keyProblem = ::strerrordesc_np(errno);
        return kErrorOpen;
    }
    if (const std::string problem = ZSafePath::PrivateFileProblem(st); !problem.empty()) {
        m_keyProblem = path + " " + problem;
        return kErrorPermission;
    }
    // Read from the descriptor checked, not again by name.
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(file.fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            m_keyProblem = ::strerrordesc_np(errno);
            ::explicit_bzero(buffer, sizeof buffer);
            ::explicit_bzero(text.data(), text.size());
            return kErrorOpen;
        }
        if (n == 0 || text.size() + static_cast<std::size_t>(n) > kMaxKeyFile) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::explicit_bzero(buffer, sizeof buffer);
    // Always with the password: without one, the crypto library would prompt on the
    // terminal for it.
    const int rc =
        ssh_pki_import_privkey_base64(text.c_str(), password.c_str(), nullptr, nullptr, &m_key);
    ::explicit_bzero(text.data(), text.size());
    if (rc != SSH_OK) {
        m_keyProblem = "holds no key that the key-set password opens";
        return kErrorWrongKey;
    }
    return kOk;
}

std::string SshServer::KeyFingerprint() const {
    if (m_key == nullptr) {
        return {};
    }
    // The key type as OpenSSH names it in the question about an unknown host.
    std::string type;
    switch (ssh_key_type(m_key)) {
        case SSH_KEYTYPE_ED25519:
            type = "ED25519";
            break;
        case SSH_KEYTYPE_RSA:
            type = "RSA";
            break;
        case SSH_KEYTYPE_ECDSA_P256:
        case SSH_KEYTYPE_ECDSA_P384:
        case SSH_KEYTYPE_ECDSA_P521:
            type = "ECDSA";
            break;
        default:
            type = ssh_key_type_to_char(ssh_key_type(m_key));
    }
    unsigned char* hash = nullptr;
    std::size_t length = 0;
    if (ssh_get_publickey_hash(m_key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) != SSH_OK) {
        return {};
    }
    // "SHA256:" and the hash in base64 without its padding, as ssh and ssh-keygen -l show it.
    char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
    ssh_clean_pubkey_hash(&hash);
    if (text == nullptr) {
        return {};
    }
    std::string fingerprint = type + " key fingerprint is " + text;
    ssh_string_free_char(text);
    return fingerprint;
}

int SshServer::Accept(int socket, milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    int type = 0;
    socklen_t length = sizeof type;
    if (socket < 0 || ::getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
        type != SOCK_STREAM) {
        return kArgErrorNumber;
    }
    if (m_key == nullptr) {
        return kErrorNotFound;
    }
    // A client that vanishes without a word (a cut cable, a sleeping laptop) is noticed
    // within about two minutes: the next read or write then fails.
    const int on = 1;
    const int idle = 60;
    const int interval = 15;
    const int count = 4;
    ::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    m_bind = ssh_bind_new();
    m_session = ssh_new();
    m_event = ssh_event_new();
    if (m_bind == nullptr || m_session == nullptr || m_event == nullptr) {
        return kErrorMemory;
    }
    ssh_set_counters(m_session, &m_counter, nullptr);
    const int quiet = SSH_LOG_NOLOG;
    ssh_bind_options_set(m_bind, SSH_BIND_OPTIONS_LOG_VERBOSITY, &quiet);
    // The library hands the callbacks each string of an authentication request cut at its
    // first NUL byte, and offers no look at the packet itself; it logs each packet's
    // payload length, though. Until the client asks for its shell or command that line
    // comes here (this thread's log only), so that a request whose strings fall short of
    // its length is seen and refused, as OpenSSH refuses a user name with a NUL byte (and
    // an environment variable with one is dropped).
    ssh_set_log_userdata(this);
    ssh_set_log_callback(&SshServer::OnLog);
    ssh_set_log_level(SSH_LOG_PACKET);
    // The bind takes the key over.
    if (ssh_bind_options_set(m_bind, SSH_BIND_OPTIONS_IMPORT_KEY, m_key) != SSH_OK) {
        return kErrorWrongKey;
    }
    m_key = nullptr;

    m_serverCallbacks.userdata = this;
    m_serverCallbacks.auth_none_function = &SshServer::AuthNone;
    m_serverCallbacks.auth_password_function = &SshServer::AuthPassword;
    m_serverCallbacks.auth_pubkey_function = &SshServer::AuthPublicKey;
    m_serverCallbacks.channel_open_request_session_function = &SshServer::OpenSession;
    ssh_callbacks_init(&m_serverCallbacks);
    if (ssh_bind_accept_fd(m_bind, m_session, socket) != SSH_OK) {
        return kErrorRead;
    }
    ssh_set_server_callbacks(m_session, &m_serverCallbacks);
    ssh_set_auth_methods(
        m_session, SSH_AUTH_METHOD_NONE | SSH_AUTH_METHOD_PASSWORD | SSH_AUTH_METHOD_PUBLICKEY);
    // The key exchange runs in the event loop below, like the rest of the handshake:
    // non-blocking, the library's call only starts it. Its blocking wait would end only
    // on seeing the session wait for authentication, and a client that sends its
    // authentication right behind its new keys (dropbear's dbclient) is authenticated
    // by the same read, so that wait would last until the time-out.
    ssh_set_blocking(m_session, 0);
    if (ssh_handle_key_exchange(m_session) == SSH_ERROR) {
        return kErrorRead;
    }
    if (ssh_event_add_session(m_event, m_session) != SSH_OK) {
        return kErrorMemory;
    }
    while (!m_started) {
        const int left = PollTimeout(deadline);
        if (left == 0) {
            return kErrorTimeout;
        }
        if (!Poll(milliseconds(left))) {
            return kErrorRead;
        }
        if (!m_refusal.empty()) {
            return kErrorBadData;
        }
    }
    return kOk;
}

bool SshServer::Alive() const {
    return m_session != nullptr && ssh_is_connected(m_session) != 0 &&
           (ssh_get_status(m_session) & (SSH_CLOSED | SSH_CLOSED_ERROR)) == 0;
}

bool SshServer::Poll(milliseconds timeout) {
    if (!Alive()) {
        return false;
    }
    const int rc = ssh_event_dopoll(
        m_event,
        timeout.count() < 0 ? -1 : static_cast<int>(std::min<long long>(timeout.count(), 1 << 30)));
    return rc != SSH_ERROR && Alive();
}

int SshServer::Write(std::string_view data, milliseconds timeout) {
    return Send(data, timeout, false);
}

int SshServer::WriteError(std::string_view data, milliseconds timeout) {
    return Send(data, timeout, true);
}

int SshServer::Send(std::string_view data, milliseconds timeout, bool error) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (!data.empty()) {
        if (m_channel == nullptr || m_closed || !Alive()) {
            return kErrorWrite;
        }
        const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(data.size(), 32768));
        const int n = error ? ssh_channel_write_stderr(m_channel, data.data(), size)
                            : ssh_channel_write(m_channel, data.data(), size);
        if (n == SSH_ERROR) {
            return kErrorWrite;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
        if (!data.empty()) {
            // The client's window is full: let it catch up, but not forever.
            const int left = PollTimeout(deadline);
            if (left == 0) {
                return kErrorTimeout;
            }
            if (!Poll(milliseconds(std::min(left, 100)))) {
                return kErrorWrite;
            }
        }
    }
    return kOk;
}

int SshServer::Flush(milliseconds timeout) {
    if (!Alive()) {
        return kErrorWrite;
    }
    const int rc = ssh_blocking_flush(m_session, static_cast<int>(timeout.count()));
    if (rc == SSH_AGAIN) {
        return kErrorTimeout;
    }
    return rc == SSH_OK ? kOk : kErrorWrite;
}

int SshServer::KeepAlive(milliseconds timeout) {
    if (m_closed || !Alive()) {
        return kErrorWrite;
    }
    // libssh keeps one global request at a time and never waits for its answer here (the
    // session does not block): a call sends a request when none is outstanding; while one
    // is, it only takes in what has arrived, and the call that finds the answer only
    // clears it. Two calls send one request whenever the last was answered (or there was
    // none), and none while the client still owes an answer.
    ssh_send_keepalive(m_session);
    ssh_send_keepalive(m_session);
    return Flush(timeout);
}

void SshServer::Watch(const std::vector<WakeSource>& wake) {
    Unwatch();
    for (const WakeSource& source : wake) {
        auto entry = std::make_unique<WakeEntry>(WakeEntry{this, source, false});
        const short events = source.room ? POLLOUT : POLLIN;
        if (source.fd >= 0 && ssh_event_add_fd(m_event, source.fd, events, &SshServer::OnWakeup,
                                               entry.get()) == SSH_OK) {
            m_wake.push_back(std::move(entry));
        } else {
            entry->source.fd = -1;  // kept in place, so that fired matches wake
            m_wake.push_back(std::move(entry));
        }
    }
}

void SshServer::Unwatch() {
    for (const auto& entry : m_wake) {
        if (entry->source.fd >= 0) {
            ssh_event_remove_fd(m_event, entry->source.fd);
        }
    }
    m_wake.clear();
}

int SshServer::Read(std::string& out, std::size_t max, milliseconds wait,
                    const std::vector<WakeSource>& wake, std::vector<bool>* fired) {
    if (m_session == nullptr || m_event == nullptr) {
        return kErrorRead;
    }
    // The caller's descriptors are in the event loop only while this read waits: the
    // loop also runs while a write waits for the client's window, and would take (drain)
    // a wake-up there that no read then reports.
    Watch(wake);
    struct Unwatching {
        SshServer* server;
        ~Unwatching() { server->Unwatch(); }
    } unwatching{this};
    const bool forever = wait.count() < 0;
    const Clock::time_point deadline = forever ? Clock::time_point::max() : Clock::now() + wait;
    m_woken = false;
    const auto ready = [&] { return max > 0 && !m_received.empty(); };
    // One round even without waiting: it takes in whatever already arrived.
    bool alive = Poll(milliseconds(0));
    Refill();
    // Once the client's data has ended, a read for data no longer waits for it.
    while (alive && !ready() && !m_closed && !m_woken && !(max > 0 && m_eof)) {
        const int left = forever ? -1 : PollTimeout(deadline);
        if (left == 0) {
            break;
        }
        alive = Poll(milliseconds(left));
    }
    if (fired != nullptr) {
        fired->assign(m_wake.size(), false);
        for (std::size_t i = 0; i < m_wake.size(); ++i) {
            (*fired)[i] = m_wake[i]->fired;
        }
    }
    if (ready()) {
        const std::size_t n = std::min(max, m_received.size());
        out.append(m_received, 0, n);
        m_received.erase(0, n);
        Refill();
        return kOk;
    }
    if (!alive || m_closed) {
        return kErrorRead;
    }
    return kErrorTimeout;
}

void SshServer::Refill() {
    // What the data callback left with the library while the session's store was full
    // is only offered again with the client's next packet, and the client sends none
    // while its window stays shut: it is read from the library directly, which also
    // opens the window again.
    char buffer[16384];
    while (m_channel != nullptr && !m_closed && m_received.size() < kReceiveLimit) {
        const int waiting = ssh_channel_poll(m_channel, 0);
        if (waiting <= 0) {
            return;
        }
        const auto room = std::min<std::size_t>(
            {sizeof buffer, kReceiveLimit - m_received.size(), static_cast<std::size_t>(waiting)});
        const int n =
            ssh_channel_read_nonblocking(m_channel, buffer, static_cast<std::uint32_t>(room), 0);
        if (n <= 0) {
            return;
        }
        m_received.append(buffer, static_cast<std::size_t>(n));
    }
}

bool SshServer::TerminalSize(int& columns, int& rows) const {
    if (!m_sized) {
        return false;
    }
    columns = m_columns;
    rows = m_rows;
    return true;
}

void SshServer::Close() {
    Close(ProgramEnd{});
}

void SshServer::Close(const ProgramEnd& end) {
    if (m_session == nullptr || !Alive()) {
        return;
    }
    if (m_channel != nullptr && !m_closed) {
        if (end.signal != 0) {
            const char* name = ::sigabbrev_np(end.signal);
            ssh_channel_request_send_exit_signal(m_channel, name != nullptr ? name : "KILL",
                                                 end.coreDumped ? 1 : 0, "", "");
        } else if (end.status) {
            ssh_channel_request_send_exit_status(m_channel, *end.status);
        }
        ssh_channel_send_eof(m_channel);
        ssh_channel_close(m_channel);
        // The client answers with its own close; without waiting for it the client
        // reports the connection as closed by the remote host (plink then exits 1, the
        // exit status lost). A busy machine may take a while to schedule the client: the
        // wait is bounded, so a client that never answers cannot hold the session.
        const Clock::time_point deadline = Clock::now() + milliseconds(kCloseWaitMs);
        while (!m_closed && PollTimeout(deadline) > 0) {
            if (!Poll(milliseconds(PollTimeout(deadline)))) {
                break;
            }
        }
    }
    ssh_blocking_flush(m_session, 1000);
    // The disconnect frees the session's channels: ours must not be freed again.
    ssh_disconnect(m_session);
    m_channel = nullptr;
}

// ---- callbacks ----------------------------------------------------------------------

namespace {

// The bytes of an SSH string: its length and its text.
constexpr std::size_t kStringLength = 4;
// A user authentication request's type byte, and its service: the library takes no other.
constexpr std::size_t kRequestHead = 1 + kStringLength + sizeof "ssh-connection" - 1;
constexpr int kUserAuthRequest = 50;
// A channel request "env": its type byte, recipient channel, the request's name and the
// want-reply flag before the variable's name and value.
constexpr int kChannelRequest = 98;
constexpr std::size_t kEnvRequestHead = 1 + 4 + kStringLength + sizeof "env" - 1 + 1;

std::size_t StringBytes(const char* text) {
    return kStringLength + (text != nullptr ? std::strlen(text) : 0);
}

}  // namespace

void SshServer::OnLog(int, const char*, const char* text, void* self) {
    // "packet: read type 50 [len=...,padding=...,comp=...,payload=...]": the payload
    // counts the type byte and everything after it, padding and MAC left out.
    const char* line = text != nullptr ? std::strstr(text, "packet: read type ") : nullptr;
    if (line == nullptr) {
        return;
    }
    auto* server = static_cast<SshServer*>(self);
    int type = -1;
    unsigned payload = 0;
    // The library's own log line, whose numbers it printed itself: a mismatch is no packet.
    // NOLINTNEXTLINE(cert-err34-c)
    if (std::sscanf(line, "packet: read type %d [len=%*u,padding=%*d,comp=%*u,payload=%u]", &type,
                    &payload) == 2) {
        server->m_packetType = type;
        server->m_packetPayload = payload;
    } else {
        server->m_packetType = -1;
    }
}

int SshServer::Authenticated(const char* user, std::size_t rest) {
    // Whatever the client offers is accepted; the console log-in checks the password. But
    // the user name must be the one the client sent.
    const std::size_t parsed = kRequestHead + StringBytes(user) + rest;
    if (m_packetType != kUserAuthRequest || m_packetPayload != parsed) {
        m_refusal = user != nullptr ? user : "";
        m_refusal.push_back('\0');
        return SSH_AUTH_DENIED;
    }
    m_userName = user != nullptr ? user : "";
    return SSH_AUTH_SUCCESS;
}

int SshServer::AuthNone(ssh_session, const char* user, void* self) {
    return static_cast<SshServer*>(self)->Authenticated(user, StringBytes("none"));
}

int SshServer::AuthPassword(ssh_session, const char* user, const char* password, void* self) {
    // The password's string follows a boolean (no new password).
    return static_cast<SshServer*>(self)->Authenticated(
        user, StringBytes("password") + 1 + StringBytes(password));
}

int SshServer::AuthPublicKey(ssh_session, const char* user, ssh_key_struct*, char state,
                             void* self) {
    auto* server = static_cast<SshServer*>(self);
    // The key is acceptable (the client then signs); the length of what it signs with is
    // not passed on, but the library checks the signature over the request as it parsed
    // it: a user name it cut does not match what the client signed.
    if (state == SSH_PUBLICKEY_STATE_NONE) {
        return SSH_AUTH_SUCCESS;
    }
    if (state != SSH_PUBLICKEY_STATE_VALID) {
        return SSH_AUTH_DENIED;
    }
    server->m_userName = user != nullptr ? user : "";
    return SSH_AUTH_SUCCESS;
}

ssh_channel SshServer::OpenSession(ssh_session session, void* self) {
    auto* server = static_cast<SshServer*>(self);
    if (server->m_channel != nullptr) {
        return nullptr;  // one terminal per connection
    }
    server->m_channel = ssh_channel_new(session);
    if (server->m_channel == nullptr) {
        return nullptr;
    }
    auto& cb = server->m_channelCallbacks;
    cb.userdata = server;
    cb.channel_data_function = &SshServer::OnData;
    cb.channel_eof_function = &SshServer::OnEof;
    cb.channel_close_function = &SshServer::OnClose;
    cb.channel_pty_request_function = &SshServer::OnPty;
    cb.channel_pty_window_change_function = &SshServer::OnWindowChange;
    cb.channel_shell_request_function = &SshServer::OnShell;
    cb.channel_exec_request_function = &SshServer::OnExec;
    cb.channel_env_request_function = &SshServer::OnEnv;
    // No subsystem, X11 or agent callbacks: libssh refuses those requests.
    ssh_callbacks_init(&cb);
    ssh_set_channel_callbacks(server->m_channel, &cb);
    return server->m_channel;
}

int SshServer::OnData(ssh_session, ssh_channel, void* data, uint32_t length, int stderrFlag,
                      void* self) {
    auto* server = static_cast<SshServer*>(self);
    if (stderrFlag != 0) {
        return static_cast<int>(length);
    }
    if (server->m_received.size() >= kReceiveLimit) {
        return 0;  // left with the library; the client's window closes until it is read
    }
    server->m_received.append(static_cast<const char*>(data), length);
    return static_cast<int>(length);
}

void SshServer::OnEof(ssh_session, ssh_channel, void* self) {
    // The client sends nothing more, but may still read; the session goes on, and a
    // program reading the client's data learns of its end.
    auto* server = static_cast<SshServer*>(self);
    server->m_eof = true;
    server->m_woken = true;
}

void SshServer::OnClose(ssh_session, ssh_channel, void* self) {
    static_cast<SshServer*>(self)->m_closed = true;
}

int SshServer::OnPty(ssh_session, ssh_channel, const char* term, int columns, int rows, int, int,
                     void* self) {
    auto* server = static_cast<SshServer*>(self);
    server->m_wantsTerminal = true;
    // Kept only when it is a plain name; it is checked again where it is used.
    const std::string_view type = term != nullptr ? std::string_view(term) : std::string_view();
    server->m_terminalType = IsPlainName(type) ? std::string(type) : std::string();
    return OnWindowChange(nullptr, nullptr, columns, rows, 0, 0, self);
}

int SshServer::OnWindowChange(ssh_session, ssh_channel, int columns, int rows, int, int,
                              void* self) {
    auto* server = static_cast<SshServer*>(self);
    // A client that knows no size reports 0; that is no size.
    if (columns > 0 && rows > 0) {
        server->m_columns = std::min(columns, 0x7FFF);
        server->m_rows = std::min(rows, 0x7FFF);
        server->m_sized = true;
        server->m_woken = true;  // a read's wait ends: the session follows the size at once
    }
    return 0;
}

int SshServer::OnShell(ssh_session, ssh_channel, void* self) {
    auto* server = static_cast<SshServer*>(self);
    if (server->m_started) {
        return -1;
    }
    server->m_started = true;
    // Nothing more to look for: the library's log stays quiet from here on.
    ssh_set_log_level(SSH_LOG_NOLOG);
    return 0;
}

int SshServer::OnExec(ssh_session session, ssh_channel channel, const char* command, void* self) {
    auto* server = static_cast<SshServer*>(self);
    const std::size_t length = command != nullptr ? std::strlen(command) : 0;
    if (length == 0 || length > kMaxCommand || server->m_started) {
        return -1;
    }
    server->m_command.assign(command, length);
    return OnShell(session, channel, self);
}

int SshServer::OnEnv(ssh_session, ssh_channel, const char* name, const char* value, void* self) {
    auto* server = static_cast<SshServer*>(self);
    if (name == nullptr || value == nullptr || server->m_started) {
        return -1;
    }
    // What the client's terminal shows, for the session itself.
    if (std::string_view(name) == "COLORTERM" && IsPlainName(value)) {
        server->m_colorTerm = value;
    }
    // The library cuts both strings at a NUL byte: the request's length must be that of
    // the strings it passed on, or a NUL was cut off and the variable is not the client's.
    const std::size_t parsed = kEnvRequestHead + StringBytes(name) + StringBytes(value);
    const bool whole = server->m_packetType == kChannelRequest && server->m_packetPayload == parsed;
    // Only the names accept_env lists, each well formed, within the bounds, as sshd takes
    // them; the rest is dropped without a word about its text.
    auto& taken = server->m_environment;
    if (!whole || !LoginEnvironment::WellFormed(name, value) ||
        !LoginEnvironment::Accepts(server->m_acceptEnv, name) ||
        taken.size() >= LoginEnvironment::kMaxVariables ||
        LoginEnvironment::Bytes(taken) + std::strlen(name) + std::strlen(value) >
            LoginEnvironment::kMaxBytes) {
        return -1;
    }
    // A name sent again takes its new value.
    for (LoginEnvironment::Variable& v : taken) {
        if (v.name == name) {
            v.value = value;
            return 0;
        }
    }
    taken.push_back(LoginEnvironment::Variable{name, value});
    return 0;
}

int SshServer::OnWakeup(socket_t fd, int revents, void* data) {
    auto* entry = static_cast<WakeEntry*>(data);
    if ((revents & POLLIN) != 0 && entry->source.drain) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(fd, &count, sizeof count);
    }
    entry->fired = true;
    entry->server->m_woken = true;
    return 0;
}
