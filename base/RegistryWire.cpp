#include "base/RegistryWire.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "base/DescriptorPassing.h"

namespace {

struct Header {
    std::uint32_t code;
    std::uint32_t length;
};
static_assert(sizeof(Header) == RegistryWire::kHeaderSize);

bool KnownCode(std::uint32_t code) {
    return code >= static_cast<std::uint32_t>(RegistryCode::State) &&
           code <= static_cast<std::uint32_t>(RegistryCode::End);
}

// The payload into its fields: each a 32-bit length and that many bytes, nothing left.
bool Split(std::string_view payload, std::vector<std::string>& fields) {
    fields.clear();
    while (!payload.empty()) {
        std::uint32_t length = 0;
        if (payload.size() < sizeof length || fields.size() >= RegistryWire::kMaxFields) {
            return false;
        }
        std::memcpy(&length, payload.data(), sizeof length);
        payload.remove_prefix(sizeof length);
        if (length > payload.size()) {
            return false;
        }
        fields.emplace_back(payload.substr(0, length));
        payload.remove_prefix(length);
    }
    return true;
}

}  // namespace

bool RegistryWire::Send(int socket, RegistryCode code, const std::vector<std::string>& fields,
                        int passed) {
    if (fields.size() > kMaxFields) {
        return false;
    }
    std::string payload;
    for (const std::string& field : fields) {
        const auto length = static_cast<std::uint32_t>(field.size());
        payload.append(reinterpret_cast<const char*>(&length), sizeof length);
        payload += field;
        if (payload.size() > kMaxPayload) {
            return false;
        }
    }
    const Header header{static_cast<std::uint32_t>(code),
                        static_cast<std::uint32_t>(payload.size())};
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
    bytes += payload;
    return passed >= 0 ? DescriptorPassing::Send(socket, bytes, passed)
                       : DescriptorPassing::Send(socket, bytes);
}

bool RegistryWire::Receive(int socket, RegistryMessage& message) {
    Header header{};
    UniqueFd passed;
    if (!DescriptorPassing::Receive(socket, reinterpret_cast<char*>(&header), sizeof header,
                                    &passed) ||
        header.length > kMaxPayload || !KnownCode(header.code)) {
        return false;
    }
    std::string payload(header.length, '\0');
    if (!DescriptorPassing::Receive(socket, payload.data(), payload.size(), nullptr) ||
        !Split(payload, message.fields)) {
        return false;
    }
    message.code = static_cast<RegistryCode>(header.code);
    message.passed = std::move(passed);
    return true;
}

bool RegistryWire::Parse(std::string_view& bytes, RegistryMessage& message) {
    Header header{};
    if (bytes.size() < sizeof header) {
        return false;
    }
    std::memcpy(&header, bytes.data(), sizeof header);
    if (header.length > kMaxPayload || !KnownCode(header.code) ||
        bytes.size() - sizeof header < header.length ||
        !Split(bytes.substr(sizeof header, header.length), message.fields)) {
        return false;
    }
    message.code = static_cast<RegistryCode>(header.code);
    bytes.remove_prefix(sizeof header + header.length);
    return true;
}

bool RegistryWire::Number(const std::string& field, std::uint64_t max, std::uint64_t& value) {
    if (field.empty() || field.size() > 20) {
        return false;
    }
    std::uint64_t number = 0;
    for (const char c : field) {
        if (c < '0' || c > '9') {
            return false;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (number > (max - digit) / 10) {
            return false;
        }
        number = number * 10 + digit;
    }
    value = number;
    return true;
}
