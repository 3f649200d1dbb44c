// Program output through two emulators, one that draws long runs of plain text itself and
// one that gives every byte to libvterm: the cells, the cursor, the events and libvterm's
// own state must come out the same. The first two bytes choose the window's width and
// height, the third how the rest is cut into reads. The seeds are the console's.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "support/EmulatorTwins.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) {
        return 0;
    }
    test::EmulatorTwins twins;
    if (!twins.Valid()) {
        std::abort();
    }
    const auto width = static_cast<SHORT>(10 + data[0] % 120);
    const auto height = static_cast<SHORT>(3 + data[1] % 50);
    twins.SetBufferSize(COORD{std::max<SHORT>(width, 80), 300});
    twins.SetWindow(
        SMALL_RECT{0, 0, static_cast<SHORT>(width - 1), static_cast<SHORT>(height - 1)});
    const std::size_t cut = 1 + data[2] * 16;
    const std::string_view output(reinterpret_cast<const char*>(data + 3), size - 3);
    for (std::size_t at = 0; at < output.size(); at += cut) {
        twins.Feed(output.substr(at, cut));
    }
    const std::string difference = twins.Difference();
    if (!difference.empty()) {
        std::fprintf(stderr, "%s\n", difference.c_str());
        std::abort();
    }
    return 0;
}
