// Arbitrary bytes as a session's registry channel carries them: messages taken off the
// stream by the wire's parser, which must account for every byte it takes, and each
// message then sent over a real socket to zavd's registry, which answers it or stops
// listening to that session, and must do neither wrongly nor crash.
#include <poll.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/RegistryWire.h"
#include "service/ZavdRegistry.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Two sessions: 100 sends what the input holds, 200 is a detached one it may ask for.
struct Sessions {
    ZavdRegistry registry{[](const std::string&) {}, "/nonexistent", [] { return 1000; }};
    int ends[2][2] = {{-1, -1}, {-1, -1}};

    void Start(int index, pid_t pid) {
        Check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends[index]) == 0);
        registry.Add(pid, UniqueFd(ends[index][0]), "peer", "192.0.2.1:1");
    }
    void Stop(int index, pid_t pid) {
        registry.Remove(pid);
        ::close(ends[index][1]);
    }
};

// Takes every reply there is, with its descriptor (closed).
void Drain(int fd) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) != 1) {
            return;
        }
        RegistryMessage reply;
        Check(RegistryWire::Receive(fd, reply));
        Check(reply.code == RegistryCode::Offers || reply.code == RegistryCode::Attach ||
              reply.code == RegistryCode::Refused || reply.code == RegistryCode::End);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Sessions s;
    s.Start(0, 100);
    s.Start(1, 200);
    RegistryWire::Send(s.ends[1][1], RegistryCode::State,
                       {"detached", "user", "1000", "192.0.2.2:2", "0", "0"});
    s.registry.Readable(200);
    while (!bytes.empty()) {
        const std::size_t before = bytes.size();
        RegistryMessage message;
        if (!RegistryWire::Parse(bytes, message)) {
            Check(bytes.size() == before);
            break;
        }
        // Exactly the header and the fields, each with its length.
        std::size_t payload = 0;
        for (const std::string& field : message.fields) {
            payload += 4 + field.size();
        }
        Check(before - bytes.size() == RegistryWire::kHeaderSize + payload);
        Check(payload <= RegistryWire::kMaxPayload);
        // Cut short by a byte, the same message does not parse.
        std::string_view cut(reinterpret_cast<const char*>(data) + (size - before),
                             before - bytes.size() - 1);
        RegistryMessage partial;
        Check(!RegistryWire::Parse(cut, partial));

        if (!RegistryWire::Send(s.ends[0][1], message.code, message.fields)) {
            continue;
        }
        s.registry.Readable(100);
        Drain(s.ends[0][1]);
        Drain(s.ends[1][1]);
        std::vector<pollfd> fds;
        std::vector<pid_t> watched;
        s.registry.Watch(fds, watched);
        if (watched.empty() || watched[0] != 100) {
            // Not listened to any more: a fresh session takes its place.
            s.Stop(0, 100);
            s.Start(0, 100);
        }
    }
    s.Stop(0, 100);
    s.Stop(1, 200);
    return 0;
}
