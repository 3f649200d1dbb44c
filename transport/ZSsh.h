// The session's SSH channel: sets up the SSH server on the handed-over socket (any
// authentication accepted, the user name kept), carries the terminal bytes both ways and
// reports the client's terminal size. A failed set-up ends the process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "transport/SshServer.h"
#include "win32/Win32.h"

class RelayLink;
struct RelayFrame;

class ZSsh {
  public:
    static constexpr std::size_t kPopLimit = 60000;
    // The fixed password of the server's key-set file.
    static constexpr const char* kKeysetPassword = "qwpoeru5XV:RT#)(7bnzcx814-ghjo;pa63-=2";

    ZSsh();
    ~ZSsh();
    ZSsh(const ZSsh&) = delete;
    ZSsh& operator=(const ZSsh&) = delete;

    void ShutDown();
    bool Init(SOCKET socket, std::string keysetPath, std::string password);
    bool Push(std::string text);
    // As Push, as the channel's standard error (extended data).
    bool PushError(const std::string& text);
    // The client has sent its end of data and all of it was popped.
    bool InputEnded() const;
    // Whether the client asked for a pseudo-terminal.
    bool WantsTerminal() const;
    // Sends the client an SSH keep-alive; false when the connection is gone.
    bool KeepAlive();
    // What the client sent, possibly nothing; false when the
    // connection is gone. Waits at most 100 ms for it.
    bool Pop(std::string& text);
    // As Pop, waiting at most wait ms (INFINITE: no limit) for client data or for one of
    // handles to be signalled (a process that ends, an event that is set, a pipe with
    // data or room); signalled receives those that were. With take false client data is
    // left unread (the console is behind in taking input) and only the handles end the
    // wait; so too once the client's data has ended.
    bool Pop(std::string& text, DWORD wait, const std::vector<HANDLE>& handles,
             std::vector<HANDLE>* signalled, bool take = true);
    // Overwrites m_width and m_height with the client's size when it reported one.
    void GetTerminalSize();
    // The command of the client's exec request; empty when it asked for a shell.
    std::string Command() const;
    // The client's terminal type and COLORTERM (empty when it sent none).
    std::string TerminalType() const;
    std::string ColorTerm() const;
    // How the program ended, told to the client when the channel closes.
    void SetProgramEnd(const SshServer::ProgramEnd& end) { m_programEnd = end; }
    // Bytes received from the client so far (0 through a relay, whose session watches
    // its client itself).
    std::uint64_t ReceivedBytes() const;

    // The client is gone: its connection is dropped without a word.
    void Drop();
    // Serves a client through another session's relay (a reattach): the screen goes out
    // as the relay's data, the client's keys and size come from it. Waits at most wait ms
    // for the relay's first word (the client's size and terminal); false when it does not
    // come.
    bool AttachRelay(UniqueFd relay, DWORD wait);
    // Whether the client is served through a relay.
    bool Relayed() const { return m_relay != nullptr; }

    // Run once the key is loaded, before the first byte from the client is read (the
    // session leaves root behind here).
    std::function<void()> m_beforeHandshake;

    std::unique_ptr<SshServer> m_session;
    std::int32_t m_width = 0;
    std::int32_t m_height = 0;
    std::string m_userName;

  private:
    // The relayed client's size (Hello, Size) and terminal (Hello).
    void TakeClientWord(const RelayFrame& frame);
    // Pop through the relay.
    bool PopRelay(std::string& text, DWORD wait, const std::vector<SshServer::WakeSource>& wake,
                  std::vector<bool>& fired, bool take);

    SshServer::ProgramEnd m_programEnd;
    std::unique_ptr<RelayLink> m_relay;
    std::string m_relayTerminalType;
    std::string m_relayColorTerm;
    std::int32_t m_relayColumns = 0;
    std::int32_t m_relayRows = 0;
    [[noreturn]] static void Fail(const std::string& message, int status, bool errorLine);
};
