// The session's SSH channel: sets up the SSH server on the handed-over socket (any
// authentication accepted, the user name kept), carries the terminal bytes both ways and
// reports the client's terminal size. A failed set-up ends the process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/win32/Win32.h"
#include "transport/SshServer.h"

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
    // What the client sent (up to its first zero byte), possibly nothing; false when the
    // connection is gone. Waits at most 100 ms, less when the console changes.
    bool Pop(std::string& text);
    // Overwrites m_width and m_height with the client's size when it reported one.
    void GetTerminalSize();

    std::unique_ptr<SshServer> m_session;
    std::int32_t m_width = 0;
    std::int32_t m_height = 0;
    std::string m_userName;

  private:
    [[noreturn]] static void Fail(const std::string& message, int status, bool errorLine);
};
