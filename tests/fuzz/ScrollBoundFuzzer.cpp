// Program output through the scroll bound, as the console's pump takes it: reads cut
// anywhere, each taken with a budget until it is used up. Checks that every answer is a
// prefix of what was offered, that a read is always taken whole in the end (a single
// sequence when no budget can take it), and that a budget of 0 takes nothing that could
// scroll.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "console/ScrollBound.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) {
        return 0;
    }
    ScrollBound bound;
    const int width = 1 + data[0] % 200;
    const int height = 1 + data[1] % 100;
    int column = data[2] % width;
    const std::size_t cut = 1 + data[3] % 64;
    std::string_view rest(reinterpret_cast<const char*>(data) + 4, size - 4);
    std::size_t round = 0;
    while (!rest.empty()) {
        std::string_view read = rest.substr(0, cut);
        rest.remove_prefix(read.size());
        while (!read.empty()) {
            const ScrollBound::Window window{width, height, column};
            const std::size_t budget = round++ % 5;
            std::size_t n = bound.Take(read, budget, window);
            if (n > read.size()) {
                std::abort();
            }
            if (n == 0) {
                n = bound.TakeOne(read, window);
                if (n == 0 || n > read.size()) {
                    std::abort();
                }
            }
            read.remove_prefix(n);
            column = static_cast<int>((static_cast<std::size_t>(column) + n) % width);
        }
    }
    // Nothing that can scroll passes a budget of 0.
    ScrollBound fresh;
    const std::string_view all(reinterpret_cast<const char*>(data) + 4, size - 4);
    const std::size_t n = fresh.Take(all, 0, ScrollBound::Window{width, height, 0});
    for (std::size_t i = 0; i < n; ++i) {
        if (all[i] == '\n' || all[i] == '\v' || all[i] == '\f') {
            std::abort();
        }
    }
    return 0;
}
