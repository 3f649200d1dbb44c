// The relay's wire: what a reattaching session's worker and the detached session's worker
// tell each other over the socket pair zavd made for them. Each frame is a type byte, a
// payload length (32 bits, little endian) and the payload:
//
//   type    from   payload
//   Hello   new    columns, rows (u32 each), terminal type, COLORTERM (each a u32
//                  length and that many bytes); the first frame the new side sends
//   Data    both   bytes: the client's input (new to old) or the screen (old to new), at
//                  most kMaxData per frame
//   Size    new    columns, rows (u32 each): the client's terminal changed size
//   End     old    exit status, signal (i32 each), core dumped (u8, 0 or 1): the session
//                  ended, as its program ended
//
// Columns and rows are 1..kMaxSize; a terminal type or COLORTERM is at most kMaxName bytes
// of [A-Za-z0-9._+-] (empty: none). Whatever does not parse exactly is refused, so a
// parsed frame encodes again to the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct RelayFrame;

class RelayWire {
  public:
    enum class Type : std::uint8_t {
        Hello = 1,
        Data = 2,
        Size = 3,
        End = 4,
    };
    enum class Parsed {
        Frame,       // one frame taken off the front
        Incomplete,  // the bytes begin a frame that has not all arrived; nothing taken
        Malformed,   // the bytes begin with no frame; nothing taken
    };

    static constexpr std::size_t kHeaderSize = 5;
    static constexpr std::size_t kMaxData = std::size_t{64} * 1024;
    static constexpr std::uint32_t kMaxSize = 10000;
    static constexpr std::size_t kMaxName = 64;

    // The encoders never produce a frame Parse refuses: columns and rows are clamped to
    // 1..kMaxSize, and a terminal type or COLORTERM that is no plain name is sent empty.
    static std::string Hello(std::uint32_t columns, std::uint32_t rows,
                             std::string_view terminalType, std::string_view colorTerm);
    // All of bytes, as many Data frames as it takes (each at most kMaxData bytes; one
    // empty frame for no bytes).
    static std::string Data(std::string_view bytes);
    static std::string Size(std::uint32_t columns, std::uint32_t rows);
    // coreDumped is sent as 1 or 0.
    static std::string End(std::int32_t status, std::int32_t signal, bool coreDumped);
    // The frame as its type's encoder above writes it.
    static std::string Encode(const RelayFrame& frame);

    // Takes one frame off the front of bytes into frame (all of whose fields it sets).
    // An unknown type, or a length no frame of that type can have, is Malformed as soon
    // as the bytes that say so have arrived.
    static Parsed Parse(std::string_view& bytes, RelayFrame& frame);

    // A terminal type or COLORTERM as the wire carries it (see above).
    static bool PlainName(std::string_view name);
};

struct RelayFrame {
    RelayWire::Type type = RelayWire::Type::Data;
    std::string data;                     // Data
    std::uint32_t columns = 0, rows = 0;  // Hello, Size
    std::string terminalType, colorTerm;  // Hello
    std::int32_t status = 0, signal = 0;  // End
    bool coreDumped = false;              // End
};
