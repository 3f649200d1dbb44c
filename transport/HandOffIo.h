// Whole-buffer reads and writes on the local stream sockets of the socket hand-off, and
// the passing of a descriptor beside the bytes. Shared by the session's and the
// service's side. Every call returns false with errno set on failure (EPIPE for an early
// end of stream, EAGAIN after a socket's time-out).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "base/UniqueFd.h"

namespace handoff {

// The directory holding the hand-off sockets, from the environment of the service.
constexpr const char* kDirectoryVariable = "ZAV_PIPE_DIR";
constexpr const char* kRequestPrefix = "ZAV_sr_";
constexpr const char* kReplyPrefix = "ZAV_sw_";
// The reply carries this record; a payload larger than kMaxPayload is refused.
constexpr std::size_t kRecordSize = 372;
constexpr std::size_t kMaxPayload = 65536;

bool WriteAll(int fd, std::string_view data);
// Sends data with descriptor attached to its first byte.
bool WriteWithDescriptor(int fd, std::string_view data, int descriptor);
// Reads exactly size bytes into buffer; a descriptor that arrives with them is put into
// passed (close-on-exec), replacing any earlier one.
bool ReadAll(int fd, char* buffer, std::size_t size, UniqueFd* passed);
// The process id of the socket's peer, or -1.
pid_t PeerProcess(int fd);
// Sets both time-outs of a socket.
void SetTimeouts(int fd, int milliseconds);
// Whether suffix can name a socket in the directory: not empty, no slash, no NUL, and
// short enough for a socket address.
bool ValidSuffix(std::string_view directory, std::string_view suffix);

}  // namespace handoff
