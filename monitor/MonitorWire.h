// The monitor's wire: what the unprivileged worker may ask the privileged monitor, and
// how. Each message is a fixed header (request code, payload length) and a payload of
// length-checked fields; a reply carries 0 or an error code and its own fields. Every
// request is decoded into its typed form here, with its limits, before the monitor acts
// on it; whatever does not decode exactly is refused.
//
//   request      fields                          reply
//   Logon        user, password                  account name, uid, gid, home, shell
//   StartShell   command line, terminal modes,   the shell's process id
//                the client's terminal type,
//                the client's variables (a count,
//                then each name and value)
//   Interrupt    process group                   -
//   ShellStatus  process id                      waitid's code and status (0 while it runs)
//   EndJob       -                               -
//   Log          file (trace, log, error), text  no reply: a line is never waited for
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/MonitorFields.h"
#include "win32/LoginEnvironment.h"

enum class MonitorRequest : std::uint32_t {
    Logon = 1,
    StartShell = 2,
    Interrupt = 3,
    EndJob = 4,
    Log = 5,
    ShellStatus = 6,
};

// The session's three files, as a Log request names them.
enum class LineFile : std::uint32_t { Trace = 0, Log = 1, Error = 2 };

struct MonitorMessage {
    std::uint32_t code = 0;  // the request, or in a reply 0 or an error code
    MonitorFields fields;
};

struct LogonRequest {
    std::string user;
    std::string password;  // wiped by its holder once used
};

struct StartShellRequest {
    std::string commandLine;
    termios modes{};
    std::string terminalType;  // empty, or a plain name (the monitor checks it is known)
    // The client's env requests the worker accepted; the monitor matches them again.
    std::vector<LoginEnvironment::Variable> variables;
};

struct LogRequest {
    LineFile file = LineFile::Log;
    std::string text;
};

class MonitorWire {
  public:
    static constexpr std::uint32_t kMaxPayload = 64 * 1024;
    static constexpr std::size_t kMaxName = 256;  // a user name, a password
    static constexpr std::size_t kMaxCommandLine = 8192;
    // Header bytes before the payload.
    static constexpr std::size_t kHeaderSize = 8;

    // Sends a whole message; false when the peer is gone.
    static bool Send(int socket, std::uint32_t code, const MonitorFields& fields);
    // Reads one whole message; any descriptor that comes along is closed. False when the
    // peer is gone or the header is malformed.
    static bool Receive(int socket, MonitorMessage& message);
    // Takes one message off the front of bytes, as Receive takes it off the socket.
    static bool Parse(std::string_view& bytes, MonitorMessage& message);

    // Requests, each decoded whole or refused.
    static bool Decode(MonitorFields& fields, LogonRequest& request);
    static bool Decode(MonitorFields& fields, StartShellRequest& request);
    static bool DecodeGroup(MonitorFields& fields, pid_t& group);
    static bool DecodePid(MonitorFields& fields, pid_t& pid);
    static bool Decode(MonitorFields& fields, LogRequest& request);

    static MonitorFields Encode(const LogonRequest& request);
    static MonitorFields Encode(const StartShellRequest& request);
    static MonitorFields Encode(const LogRequest& request);
};
