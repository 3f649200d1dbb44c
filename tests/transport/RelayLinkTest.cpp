// The relay's socket over a real socket pair: frames both ways, a megabyte to a reader
// that takes it in slowly, a reader that takes nothing, the peer's end, wake sources and
// bytes that are no frames.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "base/UniqueFd.h"
#include "transport/RelayLink.h"
#include "transport/RelayWire.h"

namespace {

using std::chrono::milliseconds;
using Status = RelayLink::Status;
using Clock = std::chrono::steady_clock;

constexpr milliseconds kLong{10000};

struct Pair {
    UniqueFd a;
    UniqueFd b;
};

Pair MakePair() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    return Pair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Reads until a frame is queued and takes it.
RelayFrame NextFrame(RelayLink& link) {
    RelayFrame frame;
    if (!link.Next(frame)) {
        EXPECT_EQ(link.Read(kLong, {}), Status::Ok);
        EXPECT_TRUE(link.Next(frame));
    }
    return frame;
}

TEST(RelayLink, CarriesFramesBothWays) {
    Pair pair = MakePair();
    RelayLink fresh(std::move(pair.a));
    RelayLink kept(std::move(pair.b));
    ASSERT_TRUE(fresh.Send(RelayWire::Hello(120, 40, "xterm-256color", "truecolor") +
                               RelayWire::Data("ls\r") + RelayWire::Size(100, 30),
                           kLong));
    RelayFrame frame = NextFrame(kept);
    EXPECT_EQ(frame.type, RelayWire::Type::Hello);
    EXPECT_EQ(frame.columns, 120U);
    EXPECT_EQ(frame.terminalType, "xterm-256color");
    frame = NextFrame(kept);
    EXPECT_EQ(frame.type, RelayWire::Type::Data);
    EXPECT_EQ(frame.data, "ls\r");
    frame = NextFrame(kept);
    EXPECT_EQ(frame.type, RelayWire::Type::Size);
    EXPECT_EQ(frame.rows, 30U);
    EXPECT_FALSE(kept.Next(frame));

    ASSERT_TRUE(kept.Send(RelayWire::Data("screen") + RelayWire::End(0, 9, true), kLong));
    frame = NextFrame(fresh);
    EXPECT_EQ(frame.data, "screen");
    frame = NextFrame(fresh);
    EXPECT_EQ(frame.type, RelayWire::Type::End);
    EXPECT_EQ(frame.signal, 9);
    EXPECT_TRUE(frame.coreDumped);
    EXPECT_FALSE(fresh.PeerGone());
}

TEST(RelayLink, SendWaitsForASlowReader) {
    Pair pair = MakePair();
    // Small buffers, so the megabyte has to wait for the reader many times over.
    const int buffer = 16 * 1024;
    ASSERT_EQ(::setsockopt(pair.a.Get(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer), 0);
    ASSERT_EQ(::setsockopt(pair.b.Get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer), 0);
    RelayLink sender(std::move(pair.a));
    RelayLink reader(std::move(pair.b));
    std::string bytes(std::size_t{1024} * 1024, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i % 251);
    }
    std::string received;
    std::size_t frames = 0;
    std::thread taker([&] {
        RelayFrame frame;
        while (received.size() < bytes.size() && reader.Read(kLong, {}) == Status::Ok) {
            while (reader.Next(frame)) {
                ++frames;
                received += frame.data;
            }
        }
    });
    const bool sent = sender.Send(RelayWire::Data(bytes), kLong);
    taker.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(frames, 16U);
    EXPECT_TRUE(received == bytes);
}

TEST(RelayLink, SendGivesUpOnAReaderThatTakesNothing) {
    Pair pair = MakePair();
    RelayLink sender(std::move(pair.a));
    const auto start = Clock::now();
    EXPECT_FALSE(sender.Send(RelayWire::Data(std::string(std::size_t{1024} * 1024, 'x')),
                             milliseconds(300)));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, milliseconds(300));
    EXPECT_LT(took, milliseconds(5000));
    // The stream may end inside a frame now: nothing more goes out.
    EXPECT_TRUE(sender.PeerGone());
    EXPECT_FALSE(sender.Send(RelayWire::Size(80, 24), kLong));
}

TEST(RelayLink, PeerCloseIsGoneAfterWhatItSent) {
    Pair pair = MakePair();
    RelayLink link(std::move(pair.a));
    {
        RelayLink peer(std::move(pair.b));
        ASSERT_TRUE(peer.Send(RelayWire::End(0, 0, false), kLong));
    }
    EXPECT_EQ(NextFrame(link).type, RelayWire::Type::End);
    EXPECT_EQ(link.Read(kLong, {}), Status::Gone);
    EXPECT_TRUE(link.PeerGone());
    // A send to the closed peer fails (no SIGPIPE ends this process).
    EXPECT_FALSE(link.Send(RelayWire::Data("late"), kLong));
}

TEST(RelayLink, WakeSourcesEndTheWait) {
    Pair pair = MakePair();
    RelayLink link(std::move(pair.a));
    EXPECT_EQ(link.Read(milliseconds(50), {}), Status::Timeout);

    const UniqueFd event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    ASSERT_TRUE(event.Valid());
    const UniqueFd quiet(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    ASSERT_TRUE(quiet.Valid());
    const std::vector<SshServer::WakeSource> wake{
        {quiet.Get(), true, false}, {-1, false, false}, {event.Get(), true, false}};
    std::thread poke([&] {
        const std::uint64_t one = 1;
        EXPECT_EQ(::write(event.Get(), &one, sizeof one), static_cast<ssize_t>(sizeof one));
    });
    std::vector<bool> fired;
    EXPECT_EQ(link.Read(kLong, wake, &fired), Status::Ok);
    poke.join();
    EXPECT_EQ(fired, (std::vector<bool>{false, false, true}));
    // It was drained.
    std::uint64_t count = 0;
    EXPECT_EQ(::read(event.Get(), &count, sizeof count), -1);

    // A room source fires when its descriptor takes writes.
    EXPECT_EQ(link.Read(kLong, {{pair.b.Get(), false, true}}, &fired), Status::Ok);
    EXPECT_EQ(fired, std::vector<bool>{true});
    RelayFrame frame;
    EXPECT_FALSE(link.Next(frame));
}

TEST(RelayLink, GarbageIsMalformedAfterTheFramesBeforeIt) {
    Pair pair = MakePair();
    RelayLink link(std::move(pair.a));
    const std::string bytes = RelayWire::Data("fine") + "\x09garbage";
    ASSERT_EQ(::write(pair.b.Get(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
    EXPECT_EQ(link.Read(kLong, {}), Status::Malformed);
    RelayFrame frame;
    ASSERT_TRUE(link.Next(frame));
    EXPECT_EQ(frame.data, "fine");
    EXPECT_EQ(link.Read(kLong, {}), Status::Malformed);
}

}  // namespace
