// Fuzzes the PROXY header parser, which reads bytes from the network. Besides not
// crashing, it must never ask for bytes past a header's end (the session's stream
// follows), and what it says of a prefix must hold for every longer input: once a
// header is invalid it stays invalid, once complete its length and client stay the same.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "service/ProxyHeader.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool Same(const ProxyHeader::Result& a, const ProxyHeader::Result& b) {
    return a.state == b.state && a.error == b.error && a.length == b.length &&
           a.family == b.family && a.port == b.port &&
           std::memcmp(a.address, b.address, sizeof a.address) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ProxyHeader::Result whole = ProxyHeader::Parse(data, size);
    Check(static_cast<std::uint8_t>(whole.error) <= ProxyHeader::kLastError);
    Check((whole.state == ProxyHeader::State::Invalid) ==
          (whole.error != ProxyHeader::Error::None));
    if (whole.state == ProxyHeader::State::Done) {
        Check(whole.length <= size && whole.length <= ProxyHeader::kMaxV2);
        Check(whole.family == 0 || whole.family == 4 || whole.family == 6);
        Check(Same(ProxyHeader::Parse(data, whole.length), whole));
    }
    // Every prefix up to the end of the header (or the whole input): a reader that reads
    // as many bytes as each answer asks for ends exactly where the header does.
    const std::size_t end = whole.state == ProxyHeader::State::Done ? whole.length : size;
    bool invalid = false;
    for (std::size_t n = 0; n <= end; ++n) {
        const ProxyHeader::Result r = ProxyHeader::Parse(data, n);
        if (r.state == ProxyHeader::State::Incomplete) {
            Check(!invalid && r.length >= 1 && n + r.length <= ProxyHeader::kMaxV2);
            Check(whole.state != ProxyHeader::State::Done || n + r.length <= whole.length);
        } else if (r.state == ProxyHeader::State::Invalid) {
            // Refused for a prefix: refused for the same reason for all of the input.
            Check(whole.state == ProxyHeader::State::Invalid && r.error == whole.error);
            invalid = true;
        } else {
            Check(n == end && Same(r, whole));
        }
    }
    return 0;
}
