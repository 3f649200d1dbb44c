// The PROXY protocol header (versions 1 and 2) that a load balancer puts before the
// client's bytes to name the client. A pure parser over the bytes received so far: it
// says whether they hold a whole valid header and how long it is, that it is invalid, or
// how many more bytes may be read without reading past the header's end. It allocates
// nothing, so it can run in a freshly forked process.
#pragma once

#include <cstddef>
#include <cstdint>

class ProxyHeader {
  public:
    // The longest version 1 line, CRLF included.
    static constexpr std::size_t kMaxV1 = 107;
    // The longest version 2 header taken, TLVs included (the protocol allows 16 + 65535).
    static constexpr std::size_t kMaxV2 = 4096;
    // Neither version is shorter ("PROXY UNKNOWN\r\n").
    static constexpr std::size_t kMinLength = 15;

    enum class State : std::uint8_t { Incomplete, Done, Invalid };

    enum class Error : std::uint8_t {
        None,
        NotProxy,        // neither "PROXY " nor the version 2 signature
        V1TooLong,       // no CRLF within 107 bytes
        V1LineEnd,       // a CR or LF alone
        V1Protocol,      // not TCP4, TCP6 or UNKNOWN
        V1Syntax,        // wrong fields or spaces
        V1Address,       // an address that is not one of its family
        V1Port,          // not 0..65535, or with a leading zero
        V2Version,       // version other than 2
        V2Command,       // neither LOCAL nor PROXY
        V2Family,        // an address family or transport that does not exist
        V2TooLong,       // longer than kMaxV2
        V2AddressLength  // shorter than its family's addresses
    };
    static constexpr std::uint8_t kLastError = static_cast<std::uint8_t>(Error::V2AddressLength);

    struct Result {
        State state = State::Incomplete;
        Error error = Error::None;
        // Incomplete: how many more bytes may be read (at least 1) without passing the
        // header's end. Done: the header's length.
        std::size_t length = 0;
        // Done: 4 or 6 with the client's address and port; 0 when the connection's own
        // addresses are to be used (version 2 LOCAL, UNKNOWN, an unsupported family).
        int family = 0;
        std::uint8_t address[16] = {};  // network order; 4 bytes for family 4
        std::uint16_t port = 0;
    };

    static Result Parse(const std::uint8_t* data, std::size_t size);
    // A short description of error, for the log.
    static const char* Describe(Error error);
};
