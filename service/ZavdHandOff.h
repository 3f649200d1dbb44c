// The service's side of handing one connected socket to its session: two local stream
// sockets named after the session's suffix, and the three-message exchange. Only the
// session process itself may connect; anybody else is turned away without disturbing
// the exchange. Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "base/UniqueFd.h"

class ZavdHandOff {
  public:
    ZavdHandOff() = default;
    ~ZavdHandOff();
    ZavdHandOff(const ZavdHandOff&) = delete;
    ZavdHandOff& operator=(const ZavdHandOff&) = delete;

    // Creates the request and the reply socket in directory; call before the session
    // starts, so that its first attempt finds them.
    bool Listen(const std::string& directory, const std::string& suffix, std::string& error);
    // Runs the exchange with the session process: its id, the socket record with client
    // attached, the acknowledgement. False with the reason in error.
    bool Run(pid_t session, int client, std::chrono::milliseconds timeout, std::string& error);
    // Removes the two sockets; done by the destructor too.
    void Close();

  private:
    UniqueFd m_request;
    UniqueFd m_reply;
    std::string m_requestPath;
    std::string m_replyPath;
};
