// zavd's control socket: a local stream socket where root asks the running zavd for its
// list of sessions ("list\n") or to end one ("end PID\n"). Each connection carries one
// request line and gets one text reply, then is closed. Only peers running as root are
// answered; every read and write is non-blocking and each connection has a time limit,
// so a slow or silent client never holds up zavd's loop.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "base/UniqueFd.h"

class ZavdControl {
  public:
    static constexpr const char* kDefaultPath = "/run/zav/zavd.sock";
    static constexpr std::size_t kMaxConnections = 4;
    static constexpr std::size_t kMaxRequest = 64;
    static constexpr int kConnectionTimeoutMs = 2000;

    // answer gives the reply to a request line (without its newline); log takes lines.
    ZavdControl(std::function<std::string(const std::string&)> answer,
                std::function<void(const std::string&)> log);
    ~ZavdControl();
    ZavdControl(const ZavdControl&) = delete;
    ZavdControl& operator=(const ZavdControl&) = delete;

    // Listens at path (its directory made 0700 when missing, the socket 0600, a stale
    // socket replaced); false with error, also when a live zavd listens there already.
    bool Open(const std::string& path, std::string& error);
    bool Listening() const { return m_listener.Valid(); }
    // Stops listening and removes the socket, if it is still the one made by Open.
    void Close();

    // The descriptors to wait on, appended to fds; timeout (milliseconds, -1 none) is
    // lowered to the nearest connection's time limit.
    void Watch(std::vector<pollfd>& fds, int& timeout) const;
    // After poll: fds[first...] are what Watch appended.
    void Handle(const std::vector<pollfd>& fds, std::size_t first);

  private:
    struct Connection {
        UniqueFd fd;
        std::string request;
        std::string reply;
        std::size_t sent = 0;
        bool answered = false;
        std::chrono::steady_clock::time_point deadline;
    };
    void Accept();
    // Reads or writes what it can; false when the connection is finished.
    bool Serve(Connection& connection, short events);

    std::function<std::string(const std::string&)> m_answer;
    std::function<void(const std::string&)> m_log;
    UniqueFd m_listener;
    std::string m_path;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    std::vector<Connection> m_connections;
};
