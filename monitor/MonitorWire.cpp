#include "monitor/MonitorWire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/DescriptorPassing.h"
#include "win32/TerminalType.h"

namespace {

struct Header {
    std::uint32_t code;
    std::uint32_t length;
};
static_assert(sizeof(Header) == MonitorWire::kHeaderSize);

// A name or a password: bounded, and no NUL, which would cut it short below.
bool Text(MonitorFields& fields, std::string& value, std::size_t limit) {
    return fields.Next(value, limit) && value.find('\0') == std::string::npos;
}

// The client's variables: a count, then each name and value, every one well formed.
bool DecodeVariables(MonitorFields& fields, std::vector<LoginEnvironment::Variable>& variables) {
    std::uint64_t count = 0;
    if (!fields.Next(count) || count > LoginEnvironment::kMaxVariables) {
        return false;
    }
    variables.clear();
    for (std::uint64_t i = 0; i < count; ++i) {
        LoginEnvironment::Variable v;
        if (!fields.Next(v.name, LoginEnvironment::kMaxName) ||
            !fields.Next(v.value, LoginEnvironment::kMaxValue) ||
            !LoginEnvironment::WellFormed(v.name, v.value)) {
            return false;
        }
        variables.push_back(std::move(v));
    }
    return true;
}

// Exactly size bytes; descriptors passed along are kept in passed, as many as fit, and
// closed beyond.
bool ReceiveAll(int socket, char* buffer, std::size_t size, std::span<UniqueFd> passed = {}) {
    return DescriptorPassing::Receive(socket, buffer, size, passed);
}

}  // namespace

bool MonitorWire::Send(int socket, std::uint32_t code, const MonitorFields& fields) {
    return Send(socket, code, fields, {});
}

bool MonitorWire::Send(int socket, std::uint32_t code, const MonitorFields& fields,
                       std::span<const int> passed) {
    if (fields.Bytes().size() > kMaxPayload || passed.size() > MonitorMessage::kMaxPassed) {
        return false;
    }
    const Header header{code, static_cast<std::uint32_t>(fields.Bytes().size())};
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
    bytes += fields.Bytes();
    const bool sent = passed.empty() ? DescriptorPassing::Send(socket, bytes)
                                     : DescriptorPassing::Send(socket, bytes, passed);
    ::explicit_bzero(bytes.data(), bytes.size());
    return sent;
}

bool MonitorWire::Receive(int socket, MonitorMessage& message) {
    Header header{};
    if (!ReceiveAll(socket, reinterpret_cast<char*>(&header), sizeof header, message.passed) ||
        header.length > kMaxPayload) {
        return false;
    }
    std::string payload(header.length, '\0');
    if (!ReceiveAll(socket, payload.data(), payload.size())) {
        return false;
    }
    message.code = header.code;
    message.fields = MonitorFields(std::move(payload));
    return true;
}

bool MonitorWire::Parse(std::string_view& bytes, MonitorMessage& message) {
    Header header{};
    if (bytes.size() < sizeof header) {
        return false;
    }
    std::memcpy(&header, bytes.data(), sizeof header);
    if (header.length > kMaxPayload || bytes.size() - sizeof header < header.length) {
        return false;
    }
    message.code = header.code;
    message.fields = MonitorFields(std::string(bytes.substr(sizeof header, header.length)));
    bytes.remove_prefix(sizeof header + header.length);
    return true;
}

bool MonitorWire::Decode(MonitorFields& fields, LogonRequest& request) {
    return Text(fields, request.user, kMaxName) && !request.user.empty() &&
           Text(fields, request.password, kMaxName) && fields.Done();
}

bool MonitorWire::Decode(MonitorFields& fields, StartShellRequest& request) {
    std::string modes;
    std::uint64_t streams = 0;
    if (!Text(fields, request.commandLine, kMaxCommandLine) ||
        !fields.Next(modes, sizeof(termios)) || modes.size() != sizeof(termios) ||
        !Text(fields, request.terminalType, 64) ||
        (!request.terminalType.empty() && !IsTerminalTypeName(request.terminalType)) ||
        !DecodeVariables(fields, request.variables) || !fields.Next(streams) || streams > 1 ||
        !fields.Done()) {
        return false;
    }
    std::memcpy(&request.modes, modes.data(), sizeof(termios));
    request.streams = streams == 1;
    return true;
}

bool MonitorWire::DecodeGroup(MonitorFields& fields, pid_t& group) {
    std::uint64_t value = 0;
    // Never 0 or -1 (this group, every process), never init's.
    if (!fields.Next(value) || !fields.Done() || value <= 1 || value > INT_MAX) {
        return false;
    }
    group = static_cast<pid_t>(value);
    return true;
}

bool MonitorWire::DecodeFlag(MonitorFields& fields, bool& flag) {
    std::uint64_t value = 0;
    if (!fields.Next(value) || !fields.Done() || value > 1) {
        return false;
    }
    flag = value == 1;
    return true;
}

bool MonitorWire::DecodePid(MonitorFields& fields, pid_t& pid) {
    std::uint64_t value = 0;
    if (!fields.Next(value) || !fields.Done() || value <= 1 || value > INT_MAX) {
        return false;
    }
    pid = static_cast<pid_t>(value);
    return true;
}

bool MonitorWire::Decode(MonitorFields& fields, LogRequest& request) {
    std::uint64_t file = 0;
    if (!fields.Next(file) || file > static_cast<std::uint64_t>(LineFile::Error) ||
        !fields.Next(request.text, kMaxPayload) || !fields.Done()) {
        return false;
    }
    request.file = static_cast<LineFile>(file);
    return true;
}

MonitorFields MonitorWire::Encode(const LogonRequest& request) {
    return MonitorFields().Add(request.user).Add(request.password);
}

MonitorFields MonitorWire::Encode(const StartShellRequest& request) {
    MonitorFields fields;
    fields.Add(request.commandLine)
        .Add(std::string_view(reinterpret_cast<const char*>(&request.modes), sizeof request.modes))
        .Add(request.terminalType);
    fields.Add(static_cast<std::uint64_t>(request.variables.size()));
    for (const LoginEnvironment::Variable& v : request.variables) {
        fields.Add(v.name).Add(v.value);
    }
    fields.Add(static_cast<std::uint64_t>(request.streams ? 1 : 0));
    return fields;
}

MonitorFields MonitorWire::Encode(const LogRequest& request) {
    return MonitorFields().Add(static_cast<std::uint64_t>(request.file)).Add(request.text);
}

bool MonitorWire::Decode(MonitorFields& fields, std::vector<DetachedOffer>& offers) {
    std::uint64_t count = 0;
    if (!fields.Next(count) || count > kMaxOffers) {
        return false;
    }
    offers.clear();
    for (std::uint64_t i = 0; i < count; ++i) {
        DetachedOffer offer;
        std::uint64_t pid = 0;
        if (!fields.Next(pid) || pid <= 1 || pid > INT_MAX || !fields.Next(offer.since) ||
            !Text(fields, offer.address, kMaxOfferText) ||
            !Text(fields, offer.program, kMaxOfferText)) {
            return false;
        }
        offer.pid = static_cast<pid_t>(pid);
        offers.push_back(std::move(offer));
    }
    return fields.Done();
}

bool MonitorWire::DecodeAddress(MonitorFields& fields, std::string& address) {
    return Text(fields, address, kMaxOfferText) && fields.Done();
}

MonitorFields MonitorWire::Encode(const std::vector<DetachedOffer>& offers) {
    MonitorFields fields;
    const std::size_t count = std::min(offers.size(), kMaxOffers);
    fields.Add(static_cast<std::uint64_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        fields.Add(static_cast<std::uint64_t>(offers[i].pid))
            .Add(offers[i].since)
            .Add(std::string_view(offers[i].address).substr(0, kMaxOfferText))
            .Add(std::string_view(offers[i].program).substr(0, kMaxOfferText));
    }
    return fields;
}
