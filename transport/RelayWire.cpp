#include "transport/RelayWire.h"

#include <algorithm>

namespace {

// The fixed parts of the payloads.
constexpr std::size_t kSizePayload = 8;
constexpr std::size_t kEndPayload = 9;
constexpr std::size_t kHelloLeast = 16;  // columns, rows and two empty names
constexpr std::size_t kHelloMost = kHelloLeast + 2 * RelayWire::kMaxName;

void PutU32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xff));
    }
}

// Takes a little-endian u32 off the front of bytes, which holds at least four.
std::uint32_t TakeU32(std::string_view& bytes) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
    }
    bytes.remove_prefix(4);
    return value;
}

std::string Header(RelayWire::Type type, std::size_t length) {
    std::string out;
    out.reserve(RelayWire::kHeaderSize + length);
    out.push_back(static_cast<char>(type));
    PutU32(out, static_cast<std::uint32_t>(length));
    return out;
}

std::uint32_t Clamp(std::uint32_t extent) {
    return std::clamp<std::uint32_t>(extent, 1, RelayWire::kMaxSize);
}

bool InRange(std::uint32_t extent) {
    return extent >= 1 && extent <= RelayWire::kMaxSize;
}

// The shortest and the longest payload a frame of type can have; false for an unknown
// type.
bool PayloadBounds(std::uint8_t type, std::size_t& least, std::size_t& most) {
    switch (static_cast<RelayWire::Type>(type)) {
        case RelayWire::Type::Hello:
            least = kHelloLeast;
            most = kHelloMost;
            return true;
        case RelayWire::Type::Data:
            least = 0;
            most = RelayWire::kMaxData;
            return true;
        case RelayWire::Type::Size:
            least = most = kSizePayload;
            return true;
        case RelayWire::Type::End:
            least = most = kEndPayload;
            return true;
    }
    return false;
}

// A name of a Hello payload: a length and that many bytes of a plain name.
bool TakeName(std::string_view& payload, std::string& name) {
    if (payload.size() < 4) {
        return false;
    }
    const std::uint32_t length = TakeU32(payload);
    if (length > payload.size() || !RelayWire::PlainName(payload.substr(0, length))) {
        return false;
    }
    name.assign(payload.substr(0, length));
    payload.remove_prefix(length);
    return true;
}

// The payload, whose length is within its type's bounds, into frame.
bool ParsePayload(std::string_view payload, RelayFrame& frame) {
    switch (frame.type) {
        case RelayWire::Type::Hello:
            frame.columns = TakeU32(payload);
            frame.rows = TakeU32(payload);
            return InRange(frame.columns) && InRange(frame.rows) &&
                   TakeName(payload, frame.terminalType) && TakeName(payload, frame.colorTerm) &&
                   payload.empty();
        case RelayWire::Type::Data:
            frame.data.assign(payload);
            return true;
        case RelayWire::Type::Size:
            frame.columns = TakeU32(payload);
            frame.rows = TakeU32(payload);
            return InRange(frame.columns) && InRange(frame.rows);
        case RelayWire::Type::End: {
            frame.status = static_cast<std::int32_t>(TakeU32(payload));
            frame.signal = static_cast<std::int32_t>(TakeU32(payload));
            const auto core = static_cast<unsigned char>(payload[0]);
            frame.coreDumped = core == 1;
            return core <= 1;
        }
    }
    return false;
}

}  // namespace

bool RelayWire::PlainName(std::string_view name) {
    if (name.size() > kMaxName) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '+' || c == '-';
    });
}

std::string RelayWire::Hello(std::uint32_t columns, std::uint32_t rows,
                             std::string_view terminalType, std::string_view colorTerm) {
    const std::string_view term = PlainName(terminalType) ? terminalType : std::string_view{};
    const std::string_view color = PlainName(colorTerm) ? colorTerm : std::string_view{};
    std::string out = Header(Type::Hello, kHelloLeast + term.size() + color.size());
    PutU32(out, Clamp(columns));
    PutU32(out, Clamp(rows));
    PutU32(out, static_cast<std::uint32_t>(term.size()));
    out += term;
    PutU32(out, static_cast<std::uint32_t>(color.size()));
    out += color;
    return out;
}

std::string RelayWire::Data(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + (bytes.size() / kMaxData + 1) * kHeaderSize);
    do {
        const std::string_view part = bytes.substr(0, kMaxData);
        out += Header(Type::Data, part.size());
        out += part;
        bytes.remove_prefix(part.size());
    } while (!bytes.empty());
    return out;
}

std::string RelayWire::Size(std::uint32_t columns, std::uint32_t rows) {
    std::string out = Header(Type::Size, kSizePayload);
    PutU32(out, Clamp(columns));
    PutU32(out, Clamp(rows));
    return out;
}

std::string RelayWire::End(std::int32_t status, std::int32_t signal, bool coreDumped) {
    std::string out = Header(Type::End, kEndPayload);
    PutU32(out, static_cast<std::uint32_t>(status));
    PutU32(out, static_cast<std::uint32_t>(signal));
    out.push_back(coreDumped ? '\1' : '\0');
    return out;
}

std::string RelayWire::Encode(const RelayFrame& frame) {
    switch (frame.type) {
        case Type::Hello:
            return Hello(frame.columns, frame.rows, frame.terminalType, frame.colorTerm);
        case Type::Data:
            return Data(frame.data);
        case Type::Size:
            return Size(frame.columns, frame.rows);
        case Type::End:
            return End(frame.status, frame.signal, frame.coreDumped);
    }
    return {};
}

RelayWire::Parsed RelayWire::Parse(std::string_view& bytes, RelayFrame& frame) {
    if (bytes.empty()) {
        return Parsed::Incomplete;
    }
    const auto type = static_cast<std::uint8_t>(bytes[0]);
    std::size_t least = 0;
    std::size_t most = 0;
    if (!PayloadBounds(type, least, most)) {
        return Parsed::Malformed;
    }
    if (bytes.size() < kHeaderSize) {
        return Parsed::Incomplete;
    }
    std::string_view rest = bytes.substr(1);
    const std::uint32_t length = TakeU32(rest);
    if (length < least || length > most) {
        return Parsed::Malformed;
    }
    if (rest.size() < length) {
        return Parsed::Incomplete;
    }
    frame = RelayFrame{};
    frame.type = static_cast<Type>(type);
    if (!ParsePayload(rest.substr(0, length), frame)) {
        return Parsed::Malformed;
    }
    bytes.remove_prefix(kHeaderSize + length);
    return Parsed::Frame;
}
