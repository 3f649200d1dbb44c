// One end of the relay between two sessions' workers: a stream socket carrying RelayWire
// frames. Writes are whole and bounded in time, so a peer that stops reading cannot stall
// this side for longer; reads take what has arrived, parse it into frames and wait on the
// caller's wake sources as SshServer::Read does.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "transport/RelayWire.h"
#include "transport/SshServer.h"

class RelayLink {
  public:
    enum class Status {
        Ok,         // frames are queued (see Next), or a wake source fired
        Timeout,    // neither within the wait
        Gone,       // the peer closed (or the socket broke) and no frame is queued
        Malformed,  // the peer sent bytes that are no frame; nothing more is read
    };
    // The most bytes one Read takes off the socket.
    static constexpr std::size_t kReadLimit = std::size_t{256} * 1024;

    // Takes the connected socket over and makes it non-blocking.
    explicit RelayLink(UniqueFd socket);
    RelayLink(const RelayLink&) = delete;
    RelayLink& operator=(const RelayLink&) = delete;

    // The socket, to wait on beside others (a wake source of SshServer::Read). Frames
    // already queued do not make it readable: take them with Next before such a wait.
    int Fd() const { return m_socket.Get(); }

    // Writes all of frames within the time-out. False when the peer is gone or does not
    // take them in time; the stream may then end inside a frame, so every later Send is
    // false at once too.
    bool Send(const std::string& frames, std::chrono::milliseconds timeout);

    // Waits up to wait (negative: no limit) for frames or for one of wake (readable, or
    // writable when room; an eventfd is drained when drain), and fired (when given) tells
    // which of wake did. Takes at most kReadLimit bytes, and none while frames are still
    // queued: then only the wake sources are looked at, without waiting. Frames parsed
    // before bytes that are Malformed stay queued. With receive false nothing is read
    // and queued frames do not end the wait: the caller takes none now (the peer's data
    // then stays in the socket, which holds it back).
    Status Read(std::chrono::milliseconds wait, const std::vector<SshServer::WakeSource>& wake,
                std::vector<bool>* fired = nullptr, bool receive = true);
    // Takes the oldest queued frame; false when none is.
    bool Next(RelayFrame& frame);

    // The peer closed its end (what it sent before is still read and queued) or a Send
    // failed.
    bool PeerGone() const { return m_ended || m_broken; }

  private:
    // Takes in what the socket holds, at most kReadLimit bytes, and parses it.
    void Receive();

    UniqueFd m_socket;
    std::string m_pending;  // received bytes that do not yet make a whole frame
    std::deque<RelayFrame> m_frames;
    bool m_ended = false;      // the peer's end of data was read, or reading failed
    bool m_broken = false;     // a Send failed
    bool m_malformed = false;  // the received bytes are no frames
};
