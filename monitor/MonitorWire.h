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
//                then each name and value),
//                streams (1: the shell runs on
//                the three pipe ends passed
//                along instead of the terminal)
//   Interrupt    process group                   -
//   ShellStatus  process id                      waitid's code and status (0 while it runs)
//   EndJob       -                               -
//   Log          file (trace, log, error), text  no reply: a line is never waited for
//   Offers       -                               the account's detached sessions: a
//                                                count, then pid, since, address and
//                                                foreground program of each
//   Reattach     the detached session's pid      - (the relay's end passed along)
//   Detach       -                               - (the first time, the notice socket's
//                                                end passed along)
//   Background   1 into the background, 0 back   -
//
// On the notice socket the monitor tells a detached worker of a new client: a message
// with code kNoticeAttach, the client's address, and the relay's end passed along.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/UniqueFd.h"
#include "monitor/MonitorFields.h"
#include "win32/LoginEnvironment.h"

enum class MonitorRequest : std::uint32_t {
    Logon = 1,
    StartShell = 2,
    Interrupt = 3,
    EndJob = 4,
    Log = 5,
    ShellStatus = 6,
    Offers = 7,
    Reattach = 8,
    Detach = 9,
    Background = 10,
};

// A detached session of the account that logged on, as offered to it.
struct DetachedOffer {
    pid_t pid = 0;
    std::uint64_t since = 0;  // Unix seconds
    std::string address;      // the client's when it detached
    std::string program;      // the terminal's foreground program
};

// The session's three files, as a Log request names them.
enum class LineFile : std::uint32_t { Trace = 0, Log = 1, Error = 2 };

struct MonitorMessage {
    static constexpr std::size_t kMaxPassed = 3;
    std::uint32_t code = 0;  // the request, or in a reply 0 or an error code
    MonitorFields fields;
    // Descriptors that came along (a StartShell's streams); closed unless taken.
    std::array<UniqueFd, kMaxPassed> passed;
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
    bool streams = false;  // on the pipe ends passed along, without a terminal
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
    // The notice socket's one message: a new client for the detached session.
    static constexpr std::uint32_t kNoticeAttach = 1;
    // Offers a reply carries at most, and the longest address and program name.
    static constexpr std::size_t kMaxOffers = 64;
    static constexpr std::size_t kMaxOfferText = 256;

    // Sends a whole message; false when the peer is gone.
    static bool Send(int socket, std::uint32_t code, const MonitorFields& fields);
    // As Send, the descriptors attached to the message's first byte.
    static bool Send(int socket, std::uint32_t code, const MonitorFields& fields,
                     std::span<const int> passed);
    // Reads one whole message; the first kMaxPassed descriptors that come along with it
    // are kept in message.passed, any other is closed. False when the peer is gone or the
    // header is malformed.
    static bool Receive(int socket, MonitorMessage& message);
    // Takes one message off the front of bytes, as Receive takes it off the socket.
    static bool Parse(std::string_view& bytes, MonitorMessage& message);

    // Requests, each decoded whole or refused.
    static bool Decode(MonitorFields& fields, LogonRequest& request);
    static bool Decode(MonitorFields& fields, StartShellRequest& request);
    static bool DecodeGroup(MonitorFields& fields, pid_t& group);
    static bool DecodePid(MonitorFields& fields, pid_t& pid);
    // A yes or no: exactly 1 or 0.
    static bool DecodeFlag(MonitorFields& fields, bool& flag);
    static bool Decode(MonitorFields& fields, LogRequest& request);
    static bool Decode(MonitorFields& fields, std::vector<DetachedOffer>& offers);
    // The notice's address.
    static bool DecodeAddress(MonitorFields& fields, std::string& address);

    static MonitorFields Encode(const LogonRequest& request);
    static MonitorFields Encode(const StartShellRequest& request);
    static MonitorFields Encode(const LogRequest& request);
    static MonitorFields Encode(const std::vector<DetachedOffer>& offers);
};
