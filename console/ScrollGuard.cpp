#include "console/ScrollGuard.h"

#include <algorithm>
#include <cstdint>

bool ScrollGuard::Captured() {
    const bool wasWanted = m_captureWanted;
    m_captureWanted = false;
    return wasWanted;
}

void ScrollGuard::Plant(int row, std::size_t lines, int bufferHeight) {
    if (row < 0 || row >= bufferHeight) {
        m_row = -2;
        m_holds = false;
    } else {
        // The row is followed even when nothing is held back for it.
        m_row = row;
        m_left = lines;
        m_total = lines;
        m_holds = lines > 0;
    }
}

std::size_t ScrollGuard::Room(const Screen& screen) const {
    if (m_row < 0 || !m_holds) {
        return SIZE_MAX;
    }
    const auto below =
        static_cast<std::size_t>(std::max(0, screen.bufferHeight - 1 - screen.windowBottom));
    return std::min(m_left, static_cast<std::size_t>(m_row) + below);
}

std::size_t ScrollGuard::Take(std::string_view bytes, const Screen& screen,
                              const ScrollBound::Window& window, bool& askCapture) {
    askCapture = false;
    const std::size_t room = Room(screen);
    std::size_t n = m_bound.Take(bytes, room, window);
    if (room == SIZE_MAX) {
        return n;
    }
    // A quarter of the room left: ask for the capture while output still flows.
    if ((room * 4 < m_total || n < bytes.size()) && !m_captureWanted) {
        m_captureWanted = true;
        askCapture = true;
    }
    if (n == 0 && m_left >= m_total) {
        // Even a fresh guard cannot take the next sequence (a scroll by a count larger
        // than the room): it passes alone.
        n = m_bound.TakeOne(bytes, window);
    }
    return n;
}

void ScrollGuard::Scrolled(int kept, int moved) {
    if (m_row < 0) {
        return;
    }
    // Rows the window moved down over the buffer leave the mark in place; the rest moved
    // the whole buffer up, and the mark with it.
    m_row -= kept - moved;
    const auto lines = static_cast<std::size_t>(kept);
    m_left = m_left > lines ? m_left - lines : 0;
    if (m_row < 0) {
        m_row = -1;  // the mark is gone: nothing more to hold for
    }
}

void ScrollGuard::Resized(int bufferHeight) {
    if (m_row >= bufferHeight) {
        m_row = -1;
    }
}

void ScrollGuard::Erased(int windowTop) {
    if (m_row >= 0 && m_row < windowTop) {
        m_row = windowTop;
    }
}
