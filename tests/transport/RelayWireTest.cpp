// The relay's frames: each type encoded and parsed back, the exact bytes of the wire,
// each limit refused once, and frames arriving in pieces.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "transport/RelayWire.h"

namespace {

using Parsed = RelayWire::Parsed;
using Type = RelayWire::Type;

// A header as the wire has it: type, then the length little endian.
std::string Header(std::uint8_t type, std::uint32_t length) {
    std::string out(1, static_cast<char>(type));
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((length >> shift) & 0xff));
    }
    return out;
}

std::string U32(std::uint32_t value) {
    return Header(0, value).substr(1);
}

// Parses all of bytes as exactly one frame.
RelayFrame One(const std::string& bytes) {
    std::string_view view = bytes;
    RelayFrame frame;
    EXPECT_EQ(RelayWire::Parse(view, frame), Parsed::Frame);
    EXPECT_TRUE(view.empty());
    return frame;
}

// The bytes are refused, and left where they were.
void ExpectMalformed(const std::string& bytes) {
    std::string_view view = bytes;
    RelayFrame frame;
    EXPECT_EQ(RelayWire::Parse(view, frame), Parsed::Malformed);
    EXPECT_EQ(view.size(), bytes.size());
}

TEST(RelayWire, HelloBytesAndRoundTrip) {
    const std::string bytes = RelayWire::Hello(132, 43, "xterm-256color", "truecolor");
    EXPECT_EQ(bytes, Header(1, 16 + 14 + 9) + U32(132) + U32(43) + U32(14) + "xterm-256color" +
                         U32(9) + "truecolor");
    const RelayFrame frame = One(bytes);
    EXPECT_EQ(frame.type, Type::Hello);
    EXPECT_EQ(frame.columns, 132U);
    EXPECT_EQ(frame.rows, 43U);
    EXPECT_EQ(frame.terminalType, "xterm-256color");
    EXPECT_EQ(frame.colorTerm, "truecolor");
    EXPECT_EQ(RelayWire::Encode(frame), bytes);
    // No names at all is a Hello too.
    EXPECT_EQ(One(RelayWire::Hello(80, 24, "", "")).terminalType, "");
}

TEST(RelayWire, SizeAndEndBytesAndRoundTrip) {
    const std::string size = RelayWire::Size(10000, 1);
    EXPECT_EQ(size, Header(3, 8) + U32(10000) + U32(1));
    const RelayFrame sized = One(size);
    EXPECT_EQ(sized.type, Type::Size);
    EXPECT_EQ(sized.columns, 10000U);
    EXPECT_EQ(sized.rows, 1U);

    const std::string end = RelayWire::End(-2, 11, true);
    EXPECT_EQ(end, Header(4, 9) + U32(0xfffffffe) + U32(11) + std::string(1, '\1'));
    const RelayFrame ended = One(end);
    EXPECT_EQ(ended.type, Type::End);
    EXPECT_EQ(ended.status, -2);
    EXPECT_EQ(ended.signal, 11);
    EXPECT_TRUE(ended.coreDumped);
    EXPECT_FALSE(One(RelayWire::End(0, 0, false)).coreDumped);
}

TEST(RelayWire, DataSplitsIntoFramesOfAtMost64KiB) {
    std::string bytes(RelayWire::kMaxData * 2 + 3, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 7);
    }
    const std::string frames = RelayWire::Data(bytes);
    std::string_view view = frames;
    std::string joined;
    std::vector<std::size_t> sizes;
    RelayFrame frame;
    while (RelayWire::Parse(view, frame) == Parsed::Frame) {
        EXPECT_EQ(frame.type, Type::Data);
        sizes.push_back(frame.data.size());
        joined += frame.data;
    }
    EXPECT_TRUE(view.empty());
    EXPECT_EQ(sizes, (std::vector<std::size_t>{RelayWire::kMaxData, RelayWire::kMaxData, 3}));
    EXPECT_EQ(joined, bytes);
    // No bytes: one empty frame.
    EXPECT_EQ(RelayWire::Data(""), Header(2, 0));
    EXPECT_EQ(One(Header(2, 0)).data, "");
}

TEST(RelayWire, EncodersKeepToTheLimits) {
    const RelayFrame hello = One(RelayWire::Hello(0, 20000, "xterm 256", std::string(65, 'a')));
    EXPECT_EQ(hello.columns, 1U);
    EXPECT_EQ(hello.rows, RelayWire::kMaxSize);
    EXPECT_EQ(hello.terminalType, "");
    EXPECT_EQ(hello.colorTerm, "");
    const RelayFrame size = One(RelayWire::Size(0, 10001));
    EXPECT_EQ(size.columns, 1U);
    EXPECT_EQ(size.rows, RelayWire::kMaxSize);
}

TEST(RelayWire, RefusesWhatIsNoFrame) {
    const std::string names = U32(5) + "xterm" + U32(0);
    // Unknown types, known at the first byte.
    ExpectMalformed(std::string(1, '\0'));
    ExpectMalformed(std::string(1, '\5'));
    // Lengths no frame of the type has, known at the header.
    ExpectMalformed(Header(2, RelayWire::kMaxData + 1));
    ExpectMalformed(Header(3, 9));
    ExpectMalformed(Header(3, 7));
    ExpectMalformed(Header(4, 10));
    ExpectMalformed(Header(1, 15));
    ExpectMalformed(Header(1, 16 + 2 * 64 + 1));
    // Columns and rows out of 1..10000.
    ExpectMalformed(Header(3, 8) + U32(0) + U32(24));
    ExpectMalformed(Header(3, 8) + U32(80) + U32(10001));
    ExpectMalformed(Header(1, 8 + names.size()) + U32(10001) + U32(24) + names);
    // Names: a byte outside the set, 65 bytes, a length beyond the payload.
    const std::string spaced = U32(6) + "xt erm" + U32(0);
    ExpectMalformed(Header(1, 8 + spaced.size()) + U32(80) + U32(24) + spaced);
    const std::string longName = U32(65) + std::string(65, 'a') + U32(0);
    ExpectMalformed(Header(1, 8 + longName.size()) + U32(80) + U32(24) + longName);
    const std::string beyond = U32(0) + U32(5) + "xte";
    ExpectMalformed(Header(1, 8 + beyond.size()) + U32(80) + U32(24) + beyond);
    // Trailing bytes after a Hello's names.
    ExpectMalformed(Header(1, 8 + names.size() + 1) + U32(80) + U32(24) + names + "x");
    // A core flag other than 0 or 1.
    ExpectMalformed(Header(4, 9) + U32(0) + U32(0) + "\2");
}

TEST(RelayWire, FramesCutAtEveryByteReassemble) {
    const std::string stream = RelayWire::Hello(80, 24, "xterm", "24bit") +
                               RelayWire::Data("hello\r\n") + RelayWire::Size(100, 30) +
                               RelayWire::Data("") + RelayWire::End(3, 0, false);
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        std::string buffer;
        std::vector<std::string> encoded;
        const auto take = [&] {
            std::string_view view = buffer;
            RelayFrame frame;
            Parsed parsed;
            while ((parsed = RelayWire::Parse(view, frame)) == Parsed::Frame) {
                encoded.push_back(RelayWire::Encode(frame));
            }
            ASSERT_EQ(parsed, Parsed::Incomplete) << "cut at " << cut;
            buffer.erase(0, buffer.size() - view.size());
        };
        buffer = stream.substr(0, cut);
        take();
        buffer += stream.substr(cut);
        take();
        EXPECT_TRUE(buffer.empty()) << "cut at " << cut;
        std::string joined;
        for (const std::string& frame : encoded) {
            joined += frame;
        }
        EXPECT_EQ(encoded.size(), 5U) << "cut at " << cut;
        EXPECT_EQ(joined, stream) << "cut at " << cut;
    }
}

}  // namespace
