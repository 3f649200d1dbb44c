#include "console/ScrollBound.h"

#include <algorithm>

std::size_t ScrollBound::Scan(std::string_view bytes, std::size_t budget, const Window& window,
                              bool one) {
    const std::size_t width = static_cast<std::size_t>(std::max(window.width, 1));
    const std::size_t height = static_cast<std::size_t>(std::max(window.height, 1));
    // The column the next printed byte lands in at worst; `width` means the cursor waits
    // in the last column, so that the next byte wraps.
    std::size_t run = window.column >= window.width - 1
                          ? width
                          : static_cast<std::size_t>(std::max(window.column, 0));
    std::size_t scrolls = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        std::size_t cost = 0;
        std::size_t nextRun = run;
        Mode nextMode = m_mode;
        if (c == '\n' || c == '\v' || c == '\f') {
            cost = 1;  // in every mode: controls act inside a sequence too
        } else if (c == '\r') {
            nextRun = 0;
        } else if (c == 0x1b) {
            nextMode = Mode::Escape;
        } else if (c < 0x20) {
            if (c == '\t' && m_mode == Mode::Ground) {
                if (run < width) {
                    nextRun = m_customTabs ? width - 1 : std::min((run / 8 + 1) * 8, width - 1);
                }
            }
        } else if (m_mode == Mode::Escape) {
            nextMode = Mode::Ground;
            nextRun = width;
            if (c == '[') {
                nextMode = Mode::Csi;
                m_count = 0;
                m_first = true;
            } else if (c == 'D') {
                cost = 1;
                nextRun = run;
            } else if (c == 'E') {
                cost = 1;
                nextRun = 0;
            } else if (c == 'H') {
                m_customTabs = true;
            } else if (c == 'c') {
                m_customTabs = false;
                nextRun = 0;
            }
        } else if (m_mode == Mode::Csi) {
            if (c < 0x40) {
                if (c >= '0' && c <= '9') {
                    if (m_first) {
                        m_count = std::min<std::size_t>(m_count * 10 + (c - '0'), 1 << 20);
                    }
                } else {
                    m_first = false;
                }
            } else {
                nextMode = Mode::Ground;
                nextRun = width;
                const std::size_t count = std::max<std::size_t>(m_count, 1);
                switch (c) {
                    case 'S':
                    case 'M':
                        cost = std::min(count, height);
                        break;
                    case 'b':
                        // Each repeated character may be two columns wide.
                        cost = (run + 2 * count) / width + 1;
                        break;
                    case 'm':
                        nextRun = run;  // colours leave the cursor where it is
                        break;
                    case 'g':
                        m_customTabs = true;
                        break;
                    default:
                        break;
                }
            }
        } else {
            // A printed byte: a character takes at most as many columns as it has bytes.
            if (run >= width) {
                cost = 1;
                nextRun = 1;
            } else {
                nextRun = run + 1;
            }
        }
        if (scrolls + cost > budget) {
            return i;
        }
        scrolls += cost;
        run = nextRun;
        m_mode = nextMode;
        if (one && cost > 0) {
            return i + 1;
        }
    }
    return bytes.size();
}
