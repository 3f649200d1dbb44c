// The handed-over client socket: its peer's address and port. The socket is never
// closed here; it lives as long as the process.
#pragma once

#include <string>

#include "win32/Win32.h"

class ZSocket {
  public:
    explicit ZSocket(SOCKET socket);

    static int WSAStartup();
    // The peer's address: dotted IPv4 (also for IPv4-mapped IPv6 peers) or IPv6 text;
    // "0.0.0.0" when it cannot be read.
    std::string GetConnectionIP();
    // The peer's port in decimal; "0" when it cannot be read.
    std::string GetConnectionPort();
    // The socket's own address and port, read the same way.
    std::string GetLocalIP();
    std::string GetLocalPort();

    SOCKET m_socket;
};
