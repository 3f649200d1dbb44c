// The registry's wire: what a session's privileged monitor and zavd tell each other over
// the stream socket zavd makes for each session it starts (the session gets it as a
// descriptor on its command line, -registry:FD; no worker and no user holds it). Each
// message is a header (code, payload length) and a payload of length-prefixed text
// fields, with at most one descriptor beside it. Whatever does not parse exactly is
// refused.
//
//   code     from      fields                                       descriptor
//   State    session   state ("attached", "detached", "relay"),     -
//                      account, uid, client address, shell pid,
//                      relayed session's pid (0: none)
//   Offers   session   uid                                          -
//   Offers   zavd      pid, since (Unix seconds), client address,   -
//                      foreground program; four per offer
//   Attach   session   uid, pid of the detached session, the new    -
//                      client's address
//   Attach   zavd      to the detached session: the new client's    the relay's end
//                      address; to the asking one: nothing
//   Refused  zavd      why (an Offers or Attach that cannot be met) -
//   End      zavd      - (the administrator ends the session)       -
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/UniqueFd.h"

enum class RegistryCode : std::uint32_t {
    State = 1,
    Offers = 2,
    Attach = 3,
    Refused = 4,
    End = 5,
};

struct RegistryMessage {
    RegistryCode code = RegistryCode::State;
    std::vector<std::string> fields;
    UniqueFd passed;  // the descriptor that came along, if any
};

class RegistryWire {
  public:
    static constexpr std::uint32_t kMaxPayload = 64 * 1024;
    static constexpr std::size_t kMaxFields = 1024;
    static constexpr std::size_t kHeaderSize = 8;

    // Sends one whole message, passed (>= 0) beside it. False when the peer is gone or
    // the message is too large.
    static bool Send(int socket, RegistryCode code, const std::vector<std::string>& fields,
                     int passed = -1);
    // Reads one whole message. False when the peer is gone or the message is malformed.
    static bool Receive(int socket, RegistryMessage& message);
    // Takes one message off the front of bytes, as Receive takes it off the socket.
    static bool Parse(std::string_view& bytes, RegistryMessage& message);

    // A field as a number: decimal digits only, at most max. False otherwise.
    static bool Number(const std::string& field, std::uint64_t max, std::uint64_t& value);
};
