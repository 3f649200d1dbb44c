// The session's end of the two hand-off pipes: local stream sockets in the service's
// private directory, one written (requests) and one read (replies), carrying
// length-prefixed messages. Only the service named by "-ppid:" is accepted at the other
// end.
#pragma once

#include <string>

#include "base/UniqueFd.h"

class ZPipe {
  public:
    // How long one read or write may wait for the service.
    static constexpr int kTimeoutMs = 10000;

    ZPipe();
    ~ZPipe();
    ZPipe(const ZPipe&) = delete;
    ZPipe& operator=(const ZPipe&) = delete;

    bool Connect(std::string suffix);
    bool Read(std::string& text);
    bool Write(std::string text);
    void Close();

    // The descriptor that arrived with a message read, if any; it outlives Close.
    UniqueFd TakePassed() { return std::move(m_passed); }

    UniqueFd m_hReadPipe;
    UniqueFd m_hWritePipe;

  private:
    UniqueFd m_passed;
};
