#include "console/OutputScanner.h"

#include <charconv>
#include <cstring>
#include <vector>

namespace {

constexpr char kEsc = 0x1B;
constexpr char kBel = 0x07;
constexpr char kCan = 0x18;
constexpr char kSub = 0x1A;

// The numbers of a parameter list; a parameter with sub-parameters (38:5:8) is -1, so
// it never reads as a plain code.
std::vector<int> Numbers(std::string_view list) {
    std::vector<int> numbers;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(';', start);
        if (end == std::string_view::npos) {
            end = list.size();
        }
        const std::string_view item = list.substr(start, end - start);
        int value = 0;
        if (item.find(':') != std::string_view::npos) {
            value = -1;
        } else if (!item.empty()) {
            const auto [ptr, ec] = std::from_chars(item.data(), item.data() + item.size(), value);
            if (ec != std::errc() || ptr != item.data() + item.size()) {
                value = -1;
            }
        }
        numbers.push_back(value);
        start = end + 1;
    }
    return numbers;
}

}  // namespace

OutputScanner::Event OutputScanner::Finish(char final) {
    if (m_overflow || m_intermediate) {
        return Event::None;
    }
    const std::vector<int> numbers = Numbers(m_parameters);
    if (final == 'm' && m_leader == 0) {
        PenChange change;
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            const int code = numbers[i];
            if (code == 0) {
                change = PenChange{0, 0, 0};
            } else if (code == 8 || code == 28) {
                change.concealed = code == 8 ? 1 : 0;
            } else if (code == 2 || code == 22) {
                change.dim = code == 2 ? 1 : 0;
            } else if (code == 53 || code == 55) {
                change.overline = code == 53 ? 1 : 0;
            } else if ((code == 38 || code == 48 || code == 58) && i + 1 < numbers.size()) {
                // An extended colour's own numbers are no codes: 5;N or 2;R;G;B.
                if (numbers[i + 1] == 5) {
                    i += 2;
                } else if (numbers[i + 1] == 2) {
                    i += 4;
                }
            }
        }
        if (change.concealed < 0 && change.dim < 0 && change.overline < 0) {
            return Event::None;
        }
        m_pen = change;
        return Event::Pen;
    }
    if ((final == 'h' || final == 'l') && m_leader == '?') {
        for (const int mode : numbers) {
            if (mode == 3) {
                return Event::ColumnMode;
            }
        }
    }
    return Event::None;
}

std::size_t OutputScanner::Scan(std::string_view bytes, Event& event) {
    event = Event::None;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (m_state == State::Ground) {
            // Text between sequences needs no look: on to the next ESC.
            const void* esc = std::memchr(bytes.data() + i, kEsc, bytes.size() - i);
            if (esc == nullptr) {
                return bytes.size();
            }
            i = static_cast<std::size_t>(static_cast<const char*>(esc) - bytes.data());
        }
        const char c = bytes[i];
        switch (m_state) {
            case State::Ground:
                if (c == kEsc) {
                    m_state = State::Escape;
                }
                break;
            case State::Escape:
                if (c == '[') {
                    m_state = State::Csi;
                    m_leader = 0;
                    m_intermediate = false;
                    m_overflow = false;
                    m_parameters.clear();
                } else if (c == ']' || c == 'P' || c == '_' || c == '^' || c == 'X') {
                    m_state = State::String;
                } else if (c == 'c') {
                    m_state = State::Ground;
                    event = Event::FullReset;
                    return i + 1;
                } else if (c != kEsc) {
                    m_state = State::Ground;
                }
                break;
            case State::Csi:
                if (c == kEsc) {
                    m_state = State::Escape;
                } else if (c == kCan || c == kSub) {
                    m_state = State::Ground;
                } else if (c >= '<' && c <= '?' && m_parameters.empty() && m_leader == 0 &&
                           !m_intermediate) {
                    m_leader = c;
                } else if ((c >= '0' && c <= '9') || c == ';' || c == ':') {
                    if (m_parameters.size() < kMaxParameters) {
                        m_parameters.push_back(c);
                    } else {
                        m_overflow = true;
                    }
                } else if (c >= 0x20 && c <= 0x2F) {
                    m_intermediate = true;
                } else if (c >= 0x40 && c <= 0x7E) {
                    m_state = State::Ground;
                    event = Finish(c);
                    if (event != Event::None) {
                        return i + 1;
                    }
                }
                // Other control bytes act in the middle of a sequence and leave it going.
                break;
            case State::String:
                if (c == kBel || c == kCan || c == kSub) {
                    m_state = State::Ground;
                } else if (c == kEsc) {
                    m_state = State::StringEscape;
                }
                break;
            case State::StringEscape:
                // ESC \ ends the string; ESC and anything else ends it too and begins an
                // escape sequence, which this byte continues.
                if (c == '\\') {
                    m_state = State::Ground;
                } else {
                    m_state = State::Escape;
                    --i;
                }
                break;
        }
    }
    return bytes.size();
}
