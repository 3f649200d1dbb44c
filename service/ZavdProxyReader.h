// Reads the PROXY header of one connection on a proxy listener. zavd runs as root and the
// header is bytes from the network, so zavd never parses it itself: a short-lived child
// process does, as the system account zav (when zavd is root), with no new privileges,
// in a session of its own without a terminal, and under strict seccomp (nothing but
// read, write and exit). It reads exactly the
// header's bytes, so what follows stays on the socket for the session, and sends zavd a
// fixed-size binary report through a pipe. zavd waits for that report in its event loop
// and kills the child at the deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "base/UniqueFd.h"

class ZavdProxyReader {
  public:
    using Clock = std::chrono::steady_clock;

    // Whom the readers run as.
    struct Identity {
        bool drop = false;  // zavd is root: become uid and gid
        uid_t uid = 0;
        gid_t gid = 0;
    };
    // The account's identity when this process is root, else no change; false with
    // error when root and the account is missing or is root itself.
    static bool LookUp(const char* account, Identity& identity, std::string& error);

    // What the header said.
    struct Outcome {
        bool accepted = false;
        // The client's address and port; empty when the connection's own are to be used
        // (version 2 LOCAL, UNKNOWN).
        std::string ip;
        std::string port;
        std::string reason;  // why it was refused
    };

    ZavdProxyReader() = default;
    ~ZavdProxyReader();
    ZavdProxyReader(const ZavdProxyReader&) = delete;
    ZavdProxyReader& operator=(const ZavdProxyReader&) = delete;

    // Starts the child on client (which stays open here too); false with error.
    bool Start(int client, const Identity& identity, std::string& error);
    // Readable (or closed) once the child has reported.
    int ReportFd() const { return m_report.Get(); }
    pid_t Pid() const { return m_pid; }
    // Reads the child's report; a child that ended without one refuses the connection.
    Outcome Finish();
    // Ends the child (at the deadline, or when zavd stops).
    void Kill();

  private:
    UniqueFd m_report;
    UniqueFd m_process;  // pidfd
    pid_t m_pid = -1;
};
