// Listening sockets passed by systemd (socket activation): the protocol of
// sd_listen_fds(3), without depending on libsystemd.
#pragma once

#include <string>
#include <vector>

#include "base/UniqueFd.h"

class ZavdSocketActivation {
  public:
    // The first descriptor systemd passes.
    static constexpr int kFirstFd = 3;

    // The sockets passed to this process: descriptors 3 to 3 + LISTEN_FDS - 1 when
    // LISTEN_PID is this process's id, else none. LISTEN_PID, LISTEN_FDS and
    // LISTEN_FDNAMES are removed from the environment in every case, so the sessions
    // never see them. The sockets are made close-on-exec and non-blocking. False with
    // error when a variable is malformed or a descriptor is not a listening TCP socket.
    static bool Take(std::vector<UniqueFd>& sockets, std::string& error);

    // The address a socket is bound to, as "127.0.0.1:2222" or "[::]:2222".
    static std::string Address(int fd);
};
