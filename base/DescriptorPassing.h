// Bytes with a descriptor beside them over a local stream socket (SCM_RIGHTS), under one
// rule for every receiver: each descriptor that arrives is close-on-exec from the moment
// it arrives (MSG_CMSG_CLOEXEC); the receiver keeps at most the ones it expects, the
// first to arrive, and every other one is closed at once; control data cut short (more
// descriptors than fit) fails the read, after closing what did arrive.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "base/UniqueFd.h"

class DescriptorPassing {
  public:
    // Descriptors a read takes in at once; more than that are cut off and fail it.
    static constexpr std::size_t kMaxDescriptors = 16;

    // Sends all of data, no descriptor with it. False with errno set when the peer is
    // gone.
    static bool Send(int socket, std::string_view data);
    // Sends all of data, the descriptor attached to its first byte. False with errno set
    // (EINVAL for empty data).
    static bool Send(int socket, std::string_view data, int descriptor);
    // As Send, with several descriptors (at most kMaxDescriptors) in their order.
    static bool Send(int socket, std::string_view data, std::span<const int> descriptors);
    // Reads exactly size bytes. A descriptor that comes along is put into passed when
    // passed is given and holds none yet; every other one is closed. False with errno
    // set: EPIPE for an end of stream before size bytes, EAGAIN after the socket's
    // time-out, EBADMSG for cut control data.
    static bool Receive(int socket, char* buffer, std::size_t size, UniqueFd* passed);
    // As Receive, keeping the first passed.size() descriptors that arrive, in order, in
    // the empty places of passed.
    static bool Receive(int socket, char* buffer, std::size_t size, std::span<UniqueFd> passed);
};
