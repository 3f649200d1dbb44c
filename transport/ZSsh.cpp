#include "transport/ZSsh.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "infra/ZTraceScope.h"
#include "transport/RelayLink.h"
#include "transport/RelayWire.h"
#include "win32/DescriptorWait.h"

namespace {

using std::chrono::milliseconds;

// Handshake, authentication and the shell request together, as an SSH server's log-in
// grace time: a client that stalls cannot hold a session process longer.
constexpr milliseconds kHandshakeTime{60000};
// Sending one export, and flushing it, to a client that does not read.
constexpr milliseconds kSendTime{20000};
// The longest a read waits for client data.
constexpr milliseconds kReadWait{100};

}  // namespace

ZSsh::ZSsh() : m_session(std::make_unique<SshServer>()) {
    ZTraceScope trace;
    trace.Trace("ZSsh::ZSsh( )");
}

ZSsh::~ZSsh() {
    ZTraceScope trace;
    trace.Trace("ZSsh::~ZSsh( )");
    ShutDown();
}

void ZSsh::ShutDown() {
    ZTraceScope trace;
    trace.Trace("ZSsh::ShutDown( )");
    if (m_relay) {
        // The relaying session tells its client how the program ended.
        m_relay->Send(RelayWire::End(m_programEnd.status.value_or(-1), m_programEnd.signal,
                                     m_programEnd.coreDumped),
                      kSendTime);
        m_relay.reset();
    }
    if (m_session) {
        m_session->Close(m_programEnd);
        m_session.reset();
    }
}

std::string ZSsh::Command() const {
    return m_session ? m_session->Command() : std::string();
}

std::string ZSsh::TerminalType() const {
    if (m_relay) {
        return m_relayTerminalType;
    }
    return m_session ? m_session->TerminalType() : std::string();
}

std::string ZSsh::ColorTerm() const {
    if (m_relay) {
        return m_relayColorTerm;
    }
    return m_session ? m_session->ColorTerm() : std::string();
}

std::uint64_t ZSsh::ReceivedBytes() const {
    return m_session ? m_session->ReceivedBytes() : 0;
}

void ZSsh::Drop() {
    ZTraceScope trace;
    trace.Trace("ZSsh::Drop( )");
    m_session.reset();
    m_relay.reset();
    m_programEnd = SshServer::ProgramEnd();
}

bool ZSsh::AttachRelay(UniqueFd relay, DWORD wait) {
    ZTraceScope trace;
    trace.Trace("ZSsh::AttachRelay( )");
    m_session.reset();
    auto link = std::make_unique<RelayLink>(std::move(relay));
    const auto deadline = std::chrono::steady_clock::now() + milliseconds(wait);
    for (;;) {
        RelayFrame frame;
        if (link->Next(frame)) {
            // The first word is the client's size and terminal; anything else is not a
            // relay of ours.
            if (frame.type != RelayWire::Type::Hello) {
                return false;
            }
            TakeClientWord(frame);
            m_relay = std::move(link);
            m_programEnd = SshServer::ProgramEnd();
            return true;
        }
        const auto left =
            std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || link->Read(left, {}, nullptr) != RelayLink::Status::Ok) {
            return false;
        }
    }
}

void ZSsh::Fail(const std::string& message, int status, bool errorLine) {
    const std::string text = message + std::to_string(status);
    if (errorLine) {
        ErrorLine(text);
    }
    {
        ZTraceScope trace;
        trace.Trace(text);
    }
    LogLine(text);
    ExitProcess(0);
}

bool ZSsh::Init(SOCKET socket, std::string keysetPath, std::string password) {
    ZTraceScope trace;
    trace.Trace("ZSsh::Init( ", static_cast<long long>(socket), ", ", keysetPath, " )");
    // Settings may name files the Windows way (keys\zav_key), as zavd --genkey takes them.
    std::replace(keysetPath.begin(), keysetPath.end(), '\\', '/');
    // Opening the key file and reading the key from it are one step here; a file that
    // cannot be opened fails as the opening did.
    int status = m_session->LoadKey(keysetPath, password);
    if (status != SshServer::kOk) {
        // Said where an administrator looks: the service's standard error.
        const std::string problem = EscapedText(m_session->KeyProblem());
        std::string said = "is no key of this server (zavd --genkey)";
        if (status == SshServer::kErrorOpen) {
            said = "cannot be read: " + problem;
        } else if (status == SshServer::kErrorPermission) {
            said = "is refused: " + problem;
        }
        std::fprintf(stderr, "brisel[%u]: the key-set file '%s' (rsakey_file) %s\n",
                     GetCurrentProcessId(), EscapedText(keysetPath).c_str(), said.c_str());
    }
    if (status == SshServer::kErrorOpen || status == SshServer::kErrorPermission) {
        Fail("cryptKeysetOpen = ", status, true);
    }
    if (status != SshServer::kOk) {
        Fail("cryptGetPrivateKey = ", status, true);
    }
    if (m_beforeHandshake) {
        m_beforeHandshake();
    }
    const int fd = socket >= 0 && socket <= 0x7FFFFFFF ? static_cast<int>(socket) : -1;
    status = m_session->Accept(fd, kHandshakeTime);
    if (status == SshServer::kArgErrorNumber) {
        Fail("cryptSetAttribute2 = ", status, true);
    }
    if (status == SshServer::kErrorMemory) {
        Fail("cryptCreateSession = ", status, true);
    }
    if (status == SshServer::kErrorBadData && !m_session->Refusal().empty()) {
        // The name as far as it is known, the NUL byte escaped by the log.
        LogLine("user name refused: [ " + m_session->Refusal() +
                "... ] - a NUL byte in the authentication request");
    }
    if (status != SshServer::kOk) {
        Fail("ssh not initialised. disconnecting", status, false);
    }
    m_userName = m_session->UserName();
    trace.Trace("username = ", m_userName);
    return true;
}

bool ZSsh::Push(std::string text) {
    ZTraceScope trace;
    trace.Trace("ZSsh::Push( ", text, " )");
    if (text.empty()) {
        return true;
    }
    if (m_relay) {
        if (!m_relay->Send(RelayWire::Data(text), kSendTime)) {
            trace.Trace("relay : gone");
            return false;
        }
        return true;
    }
    if (!m_session) {
        return false;
    }
    int status = m_session->Write(text, kSendTime);
    if (status != SshServer::kOk) {
        trace.Trace("cryptPushData : err = ", status);
        return false;
    }
    status = m_session->Flush(kSendTime);
    if (status != SshServer::kOk) {
        trace.Trace("cryptFlushData : err = ", status);
        return false;
    }
    return true;
}

bool ZSsh::PushError(const std::string& text) {
    ZTraceScope trace;
    trace.Trace("ZSsh::PushError( ", text, " )");
    if (text.empty()) {
        return true;
    }
    if (m_relay) {
        return Push(text);  // a relayed session has a terminal: one stream
    }
    if (!m_session || m_session->WriteError(text, kSendTime) != SshServer::kOk ||
        m_session->Flush(kSendTime) != SshServer::kOk) {
        return false;
    }
    return true;
}

bool ZSsh::InputEnded() const {
    return m_session && m_session->InputEnded();
}

bool ZSsh::WantsTerminal() const {
    return m_relay != nullptr || (m_session && m_session->WantsTerminal());
}

bool ZSsh::KeepAlive() {
    ZTraceScope trace;
    trace.Trace("ZSsh::KeepAlive( )");
    if (m_relay) {
        return true;  // the relaying session keeps its client's connection alive
    }
    const int status = m_session ? m_session->KeepAlive(kSendTime) : SshServer::kErrorWrite;
    if (status != SshServer::kOk) {
        trace.Trace("keep-alive : err = ", status);
        return false;
    }
    return true;
}

bool ZSsh::Pop(std::string& text) {
    return Pop(text, static_cast<DWORD>(kReadWait.count()), {}, nullptr);
}

bool ZSsh::Pop(std::string& text, DWORD wait, const std::vector<HANDLE>& handles,
               std::vector<HANDLE>* signalled, bool take) {
    ZTraceScope trace;
    trace.Trace("ZSsh::Pop( ", wait == INFINITE ? -1LL : static_cast<long long>(wait), " )");
    if (signalled != nullptr) {
        signalled->clear();
    }
    if (!m_session && !m_relay) {
        return false;
    }
    std::vector<SshServer::WakeSource> wake;
    wake.reserve(handles.size());
    for (HANDLE handle : handles) {
        bool reset = false;
        bool room = false;
        const int fd = WaitDescriptorOf(handle, &reset, &room);
        wake.push_back(SshServer::WakeSource{fd, reset, room});
    }
    std::string received;
    std::vector<bool> fired;
    if (m_relay) {
        if (!PopRelay(received, wait, wake, fired, take)) {
            return false;
        }
    } else {
        const milliseconds limit = wait == INFINITE ? milliseconds(-1) : milliseconds(wait);
        // After the client's end of data there is nothing to wait for but the handles.
        const bool taking = take && !m_session->InputEnded();
        const int status = m_session->Read(received, taking ? kPopLimit : 0, limit, wake, &fired);
        if (status != SshServer::kOk && status != SshServer::kErrorTimeout) {
            trace.Trace("cryptPopData : err = ", status);
            return false;
        }
    }
    if (signalled != nullptr) {
        for (std::size_t i = 0; i < fired.size() && i < handles.size(); ++i) {
            if (fired[i]) {
                signalled->push_back(handles[i]);
            }
        }
    }
    // Zero bytes are data like any other (Ctrl+Space).
    text = std::move(received);
    trace.Trace("len = ", text.size());
    return true;
}

bool ZSsh::PopRelay(std::string& text, DWORD wait, const std::vector<SshServer::WakeSource>& wake,
                    std::vector<bool>& fired, bool take) {
    const milliseconds limit = wait == INFINITE ? milliseconds(-1) : milliseconds(wait);
    // Frames already taken in are handled without a wait; while the console takes no
    // input, the relay is not read (its peer then holds the client's data back).
    const RelayLink::Status status = m_relay->Read(limit, wake, &fired, take);
    if (status == RelayLink::Status::Gone || status == RelayLink::Status::Malformed) {
        return false;
    }
    RelayFrame frame;
    while (take && text.size() < kPopLimit && m_relay->Next(frame)) {
        switch (frame.type) {
            case RelayWire::Type::Data:
                text += frame.data;
                break;
            case RelayWire::Type::Hello:
            case RelayWire::Type::Size:
                TakeClientWord(frame);
                break;
            case RelayWire::Type::End:
                break;  // only the relayed session ends a relay
        }
    }
    return true;
}

void ZSsh::TakeClientWord(const RelayFrame& frame) {
    m_relayColumns = static_cast<std::int32_t>(frame.columns);
    m_relayRows = static_cast<std::int32_t>(frame.rows);
    if (frame.type == RelayWire::Type::Hello) {
        m_relayTerminalType = frame.terminalType;
        m_relayColorTerm = frame.colorTerm;
    }
}

void ZSsh::GetTerminalSize() {
    if (m_relay) {
        m_width = m_relayColumns;
        m_height = m_relayRows;
        return;
    }
    int columns = 0;
    int rows = 0;
    if (m_session && m_session->TerminalSize(columns, rows)) {
        m_width = columns;
        m_height = rows;
    }
}
