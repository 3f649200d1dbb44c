// Arbitrary bytes from the other session's worker through the relay's frame parser: frames
// taken off the front as RelayLink takes them, each cut short to see it is incomplete,
// and each encoded again to the very bytes it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "transport/RelayWire.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (;;) {
        const std::string_view before = bytes;
        RelayFrame frame;
        const RelayWire::Parsed parsed = RelayWire::Parse(bytes, frame);
        if (parsed != RelayWire::Parsed::Frame) {
            Check(bytes.data() == before.data() && bytes.size() == before.size());
            if (parsed == RelayWire::Parsed::Incomplete) {
                Check(before.size() < RelayWire::kHeaderSize + RelayWire::kMaxData);
            }
            return 0;
        }
        const std::size_t taken = before.size() - bytes.size();
        Check(taken >= RelayWire::kHeaderSize && bytes.data() == before.data() + taken);
        Check(frame.data.size() <= RelayWire::kMaxData);
        const std::string_view whole = before.substr(0, taken);
        Check(RelayWire::Encode(frame) == whole);
        // The same frame one byte short has not all arrived.
        std::string_view shorter = whole.substr(0, taken - 1);
        RelayFrame other;
        Check(RelayWire::Parse(shorter, other) == RelayWire::Parsed::Incomplete &&
              shorter.size() == taken - 1);
    }
}
