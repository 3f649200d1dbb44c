#include "console/ScrollBound.h"

#include <algorithm>

#include "console/PlainText.h"

std::size_t ScrollBound::Scan(std::string_view bytes, std::size_t budget, const Window& window,
                              bool one) {
    const std::size_t width = static_cast<std::size_t>(std::max(window.width, 1));
    const std::size_t height = static_cast<std::size_t>(std::max(window.height, 1));
    // The column the next character lands in; `width` means the cursor waits in the last
    // column, so that the next character wraps. A cursor reported one column before the
    // last may be waiting too: behind a double-width character that filled the row.
    std::size_t run = window.column >= window.width - 2
                          ? width
                          : static_cast<std::size_t>(std::max(window.column, 0));
    // Prints a character `columns` wide: 1 when it wraps first.
    const auto print = [&run, width](std::size_t columns) -> std::size_t {
        if (run + columns > width) {
            run = columns;
            return 1;
        }
        run += columns;
        return 0;
    };
    std::size_t scrolls = 0;
    // A character whose start came in the last call waits for its rest unprinted (the
    // console holds it back): it is printed before the first byte of this call.
    bool pending = false;
    if (m_utf8Left > 0 && m_mode == Mode::Ground && !bytes.empty()) {
        scrolls = print(2);
        if (scrolls > budget) {
            return 0;
        }
        pending = scrolls > 0;
    }
    // Without a budget nothing is counted: only the state that outlasts the call is
    // followed, and plain text, carriage returns and line feeds leave it as text does.
    const bool uncounted = budget == SIZE_MAX && !one;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (uncounted && m_mode == Mode::Ground && !pending && plain_text::IsPlain(c)) {
            m_utf8Left = 0;
            i += plain_text::Length(bytes.substr(i)) - 1;
            continue;
        }
        if (m_mode == Mode::Ground && !pending && !one && plain_text::IsPlain(c)) {
            // Plain text, the common case of program output, counted line by line:
            // printed characters wrap at the row's end, line feeds scroll.
            std::size_t j = i;
            bool full = false;  // the next byte would scroll past the budget
            while (j < bytes.size() && !full) {
                const auto b = static_cast<unsigned char>(bytes[j]);
                if (b == '\r') {
                    run = 0;
                    ++j;
                } else if (b == '\n') {
                    full = scrolls == budget;
                    scrolls += full ? 0 : 1;
                    j += full ? 0 : 1;
                } else if (!plain_text::IsPrintable(b)) {
                    break;
                } else {
                    const std::size_t length = plain_text::PrintableLength(bytes.substr(j));
                    if (run + length <= width) {
                        run += length;
                        j += length;
                        continue;
                    }
                    // The text wraps: character by character.
                    for (const std::size_t end = j + length; j < end; ++j) {
                        if (run == width) {
                            if (scrolls == budget) {
                                full = true;
                                break;
                            }
                            ++scrolls;
                            run = 0;
                        }
                        ++run;
                    }
                }
            }
            m_utf8Left = 0;
            if (j == bytes.size() || full) {
                return j;
            }
            i = j - 1;
            continue;
        }
        if (m_mode == Mode::Ground && c >= 0x20 && c < 0x7F && !pending) {
            // A run of ASCII text that fits the row moves the cursor and scrolls nothing:
            // taken in one step (the common case of program output).
            std::size_t end = i + 1;
            while (end < bytes.size() && static_cast<unsigned char>(bytes[end]) >= 0x20 &&
                   static_cast<unsigned char>(bytes[end]) < 0x7F) {
                ++end;
            }
            if (run + (end - i) <= width) {
                run += end - i;
                m_utf8Left = 0;
                i = end - 1;
                continue;
            }
        }
        std::size_t cost = 0;
        std::size_t nextRun = run;
        Mode nextMode = m_mode;
        // Anything but a continuation byte ends an unfinished character.
        std::size_t nextUtf8Left = c >= 0x80 && c < 0xC0 ? m_utf8Left : 0;
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
        } else if (c >= 0x80 && c < 0xC0 && m_utf8Left > 0) {
            --nextUtf8Left;  // the rest of a character already counted
        } else {
            // A character: one column, or two from a UTF-8 lead byte (it may be wide); a
            // stray continuation byte shows as one replacement character.
            const std::size_t saved = run;
            cost = print(c >= 0xC0 ? 2 : 1);
            nextRun = run;
            run = saved;
            nextUtf8Left = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        }
        if (scrolls + cost > budget) {
            return i;
        }
        scrolls += cost;
        run = nextRun;
        m_mode = nextMode;
        m_utf8Left = nextUtf8Left;
        if (one && (cost > 0 || pending)) {
            return i + 1;
        }
        pending = false;
    }
    return bytes.size();
}
