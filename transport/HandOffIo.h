// The local stream sockets of the socket hand-off: their names, whole writes, the peer's
// process and the time-outs. Shared by the session's and the service's side; the bytes
// that carry a descriptor go through DescriptorPassing (base/). Every call returns false
// with errno set on failure.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include <string>
#include <string_view>

namespace handoff {

// The directory holding the hand-off sockets, from the environment of the service.
constexpr const char* kDirectoryVariable = "ZAV_PIPE_DIR";
constexpr const char* kRequestPrefix = "ZAV_sr_";
constexpr const char* kReplyPrefix = "ZAV_sw_";
// The reply carries this record; a payload larger than kMaxPayload is refused.
constexpr std::size_t kRecordSize = 372;
constexpr std::size_t kMaxPayload = 65536;

bool WriteAll(int fd, std::string_view data);
// The process id of the socket's peer, or -1.
pid_t PeerProcess(int fd);
// Sets both time-outs of a socket.
void SetTimeouts(int fd, int milliseconds);
// Whether suffix can name a socket in the directory: not empty, no slash, no NUL, and
// short enough for a socket address.
bool ValidSuffix(std::string_view directory, std::string_view suffix);

}  // namespace handoff
