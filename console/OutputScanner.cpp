#include "console/OutputScanner.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <vector>

#include "console/PlainText.h"

namespace {

constexpr char kEsc = 0x1B;
constexpr char kBel = 0x07;
constexpr char kCan = 0x18;
constexpr char kSub = 0x1A;
constexpr char kSo = 0x0E;  // shift out: G1 into GL
constexpr char kSi = 0x0F;  // shift in: G0 into GL

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

// Where the next byte that needs a look is: an ESC, or a shift (which acts anywhere).
std::size_t NextSpecial(std::string_view bytes, std::size_t from) {
    std::size_t end = bytes.size();
    for (const char c : {kEsc, kSo, kSi}) {
        const void* found = std::memchr(bytes.data() + from, c, end - from);
        if (found != nullptr) {
            end = static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data());
        }
    }
    return end;
}

// The sets libvterm 0.1.4 can designate; it ignores any other.
bool KnownCharset(char final) {
    return final == '0' || final == 'A' || final == 'B';
}

}  // namespace

std::string OutputScanner::RestoreBytes() const {
    // Only what changed since the save: a set never designated stays libvterm's default.
    std::string bytes;
    for (std::size_t set = 0; set < m_charsets.designated.size(); ++set) {
        if (m_charsets.designated[set] != m_beforeRestore.designated[set]) {
            bytes += {kEsc, static_cast<char>('(' + set), m_charsets.designated[set]};
        }
    }
    if (m_charsets.shift == m_beforeRestore.shift) {
        return bytes;
    }
    switch (m_charsets.shift) {
        case 0:
            bytes += kSi;
            break;
        case 1:
            bytes += kSo;
            break;
        default:
            bytes += {kEsc, m_charsets.shift == 2 ? 'n' : 'o'};
            break;
    }
    return bytes;
}

// DECSTBM as libvterm takes it: a region that covers the screen is stored as "to the
// bottom", whatever size the screen gets later; any other, or one the scanner cannot
// read as libvterm does, leaves margins.
void OutputScanner::ScrollingRegion() {
    std::optional<long> args[2];
    std::size_t count = 0;
    std::size_t start = 0;
    bool readable = true;
    while (start <= m_parameters.size()) {
        std::size_t end = m_parameters.find(';', start);
        if (end == std::string::npos) {
            end = m_parameters.size();
        }
        const std::string_view item = std::string_view(m_parameters).substr(start, end - start);
        if (count < 2 && !item.empty()) {
            long value = 0;
            const auto [ptr, ec] = std::from_chars(item.data(), item.data() + item.size(), value);
            readable = readable && ec == std::errc() && ptr == item.data() + item.size() &&
                       item.size() <= 6;
            args[count] = value;
        }
        ++count;
        start = end + 1;
    }
    if (!readable) {
        m_text.margins = true;
        m_regionTop = -1;
        return;
    }
    const long top = std::clamp<long>(args[0].value_or(1) - 1, 0, m_rows);
    long bottom = count < 2 || !args[1] ? -1 : std::max<long>(*args[1], -1);
    if (top == 0 && bottom == m_rows) {
        bottom = -1;
    } else {
        bottom = std::min<long>(bottom, m_rows);
    }
    const bool invalid = (bottom > -1 ? bottom : m_rows) <= top;
    m_text.margins = !(invalid || (top == 0 && bottom == -1));
    m_regionTop = invalid ? 0 : top;
}

// SM and RM: only the newline mode matters to plain text.
void OutputScanner::AnsiModes(bool set) {
    for (const int mode : Numbers(m_parameters)) {
        if (mode == 20) {
            m_text.newline = set;
        } else if (mode < 0) {
            m_text.newline = true;  // unsure what libvterm read
        }
    }
}

void OutputScanner::Restore() {
    m_beforeRestore = m_charsets;
    m_charsets = m_saved;
}

unsigned OutputScanner::DecMode(int mode, bool set) {
    using Encoding = ConsoleModes::MouseEncoding;
    switch (mode) {
        case 3:
            ScrollingRegionReset();  // the console resets them for the switch
            return kColumnMode;
        case 69:
            m_text.leftRight = set;
            return kNone;
        case 1004:
            m_modes.focusEvents = set;
            return kModes;
        // As libvterm: setting one encoding replaces the others, resetting any goes back
        // to the default one.
        case 1005:
            m_modes.mouseEncoding = set ? Encoding::Utf8 : Encoding::Default;
            return kModes;
        case 1006:
            m_modes.mouseEncoding = set ? Encoding::Sgr : Encoding::Default;
            return kModes;
        case 1015:
            m_modes.mouseEncoding = set ? Encoding::Urxvt : Encoding::Default;
            return kModes;
        case 2004:
            m_modes.bracketedPaste = set;
            return kModes;
        // The cursor saved and restored around the alternate screen, as DECSC and DECRC.
        case 1048:
        case 1049:
            if (set) {
                m_saved = m_charsets;
                return kNone;
            }
            Restore();
            return kCharsetsRestored;
        default:
            return kNone;
    }
}

unsigned OutputScanner::Finish(char final) {
    if (m_overflow) {
        if (final == 'h' || final == 'l' || final == 'r') {
            m_text = TextState{true, true, true, m_text.lineSizes};  // unread: unsure
        }
        return kNone;
    }
    const std::vector<int> numbers = Numbers(m_parameters);
    if (m_intermediate != 0) {
        if (m_leader != 0) {
            return kNone;
        }
        if (m_intermediate == ' ' && final == 'q') {  // DECSCUSR
            // libvterm takes 0 for 1, a blinking block; 0 is also the usual way to give
            // the shape back to the terminal's own setting, and that is what it means here.
            const int style = numbers[0];
            return style == 0 ? kCursorStyleDefault
                              : (style >= 1 && style <= 6 ? kCursorStyle : kNone);
        }
        if (m_intermediate == '!' && final == 'p') {  // DECSTR, as libvterm's soft reset
            m_modes.focusEvents = false;
            m_modes.bracketedPaste = false;
            m_charsets = Charsets{};
            m_saved = Charsets{};
            m_text = TextState{};
            return kSoftReset;
        }
        return kNone;
    }
    if (final == 'm' && m_leader == 0) {
        unsigned event = kNone;
        PenChange change;
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            const int code = numbers[i];
            if (code == 0) {
                change = PenChange{0, 0};
            } else if (code == 2 || code == 22) {
                change.dim = code == 2 ? 1 : 0;
            } else if (code == 53 || code == 55) {
                change.overline = code == 53 ? 1 : 0;
            }
            if (code == 0 || code == 28) {
                event = kConcealOff;
            } else if (code == 8) {
                event = kConcealOn;
            } else if ((code == 38 || code == 48 || code == 58) && i + 1 < numbers.size()) {
                // An extended colour's own numbers are no codes: 5;N or 2;R;G;B.
                if (numbers[i + 1] == 5) {
                    i += 2;
                } else if (numbers[i + 1] == 2) {
                    i += 4;
                }
            }
        }
        if (change.dim >= 0 || change.overline >= 0) {
            m_pen = change;
            event |= kPen;
        }
        return event;
    }
    if (final == 'J' && m_leader == 0 && numbers[0] == 3) {
        return kEraseScrollback;
    }
    if (m_leader == 0 && (final == 'h' || final == 'l')) {
        AnsiModes(final == 'h');
    }
    if (m_leader == 0 && final == 'r') {
        ScrollingRegion();
    }
    unsigned events = kNone;
    if ((final == 'h' || final == 'l') && m_leader == '?') {
        for (const int mode : numbers) {
            if (mode < 0) {
                m_text.leftRight = true;  // unsure what libvterm read
            }
            events |= DecMode(mode, final == 'h');
        }
    }
    return events;
}

std::size_t OutputScanner::Scan(std::string_view bytes, unsigned& events, std::size_t plainRun) {
    events = kNone;
    m_plainLength = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (m_state == State::Ground) {
            if (plainRun > 0 && PlainTextIsPlain()) {
                // One look at each byte: the next ESC or shift, unless a long enough run
                // of plain text comes first. libvterm decodes the text between two
                // controls as one piece, with a decoder chosen by its first byte and
                // kept waiting by an unfinished character: a run is cut out of such a
                // piece only where libvterm would decode it alike, after a control or
                // in a piece that no byte of UTF-8 has touched yet.
                std::size_t runStart = i;
                bool clean = true;
                std::size_t plainEnd = i;  // where the plain bytes from i on end
                for (; i < bytes.size(); ++i) {
                    if (clean) {
                        // Plain bytes keep a clean piece clean: passed over in one look,
                        // to where the run is long enough.
                        plainEnd = i + plain_text::Length(bytes.substr(i));
                        if (plainEnd < runStart + plainRun) {
                            if (plainEnd > i) {
                                i = plainEnd - 1;
                                continue;
                            }
                        } else {
                            i = std::max(i, runStart + plainRun - 1);
                        }
                    }
                    const auto c = static_cast<unsigned char>(bytes[i]);
                    if (c == '\r' || c == '\n') {
                        if (!clean) {
                            clean = true;
                            runStart = i + 1;
                        }
                    } else if (c >= 0x20 && c < 0x7F) {
                        if (!clean) {
                            runStart = i + 1;
                        }
                    } else if (c == kEsc || c == kSo || c == kSi) {
                        break;
                    } else {
                        clean = c < 0x80;  // a control ends the piece; UTF-8 taints it
                        runStart = i + 1;
                        continue;
                    }
                    if (!clean || i + 1 < runStart + plainRun) {
                        continue;
                    }
                    // A run long enough: it must also end where a piece ends, so that
                    // what follows is decoded as libvterm would decode it. The run is
                    // clean, so it is plain from its start to where this turn's look
                    // found the plain bytes end.
                    const std::size_t whole = plainEnd;
                    std::size_t end = whole;
                    if (end < bytes.size() && static_cast<unsigned char>(bytes[end]) >= 0x80) {
                        const std::size_t control =
                            bytes.substr(runStart, end - runStart).find_last_of("\r\n");
                        end = control == std::string_view::npos ? runStart : runStart + control + 1;
                    }
                    if (end >= runStart + plainRun) {
                        m_plainLength = end - runStart;
                        return runStart;
                    }
                    i = whole - 1;
                    clean = false;  // a byte of UTF-8 comes next
                    runStart = i + 1;
                }
            } else {
                // Text between sequences needs no look: on to the next ESC or shift.
                i = NextSpecial(bytes, i);
            }
            if (i == bytes.size()) {
                return bytes.size();
            }
        }
        const char c = bytes[i];
        // The shifts act wherever they come, in the middle of a sequence too.
        if (c == kSo || c == kSi) {
            m_charsets.shift = c == kSo ? 1 : 0;
            continue;
        }
        switch (m_state) {
            case State::Ground:
                m_state = State::Escape;  // c is ESC
                break;
            case State::Escape:
                if (c == '[') {
                    m_state = State::Csi;
                    m_leader = 0;
                    m_intermediate = 0;
                    m_overflow = false;
                    m_parameters.clear();
                } else if (c == ']' || c == 'P' || c == '_' || c == '^' || c == 'X') {
                    m_state = State::String;
                } else if (c == '(' || c == ')' || c == '*' || c == '+') {
                    m_state = State::Designate;
                    m_designating = c - '(';
                    m_intermediate = 0;
                } else if (c >= 0x20 && c <= 0x2F) {
                    m_state = State::Designate;  // another intermediate: nothing to designate
                    m_designating = -1;
                    m_intermediate = c;
                } else if (c == 'c') {
                    Reset();
                    events = kFullReset;
                    return i + 1;
                } else if (c == '7') {
                    m_saved = m_charsets;
                    m_state = State::Ground;
                } else if (c == '8') {
                    Restore();
                    m_state = State::Ground;
                    events = kCharsetsRestored;
                    return i + 1;
                } else if (c == 'n' || c == 'o') {
                    m_charsets.shift = c == 'n' ? 2 : 3;
                    m_state = State::Ground;
                } else if (c == kCan || c == kSub || (c >= 0x30 && c < 0x7F)) {
                    m_state = State::Ground;
                }
                // Another control byte acts in the middle and leaves the sequence going.
                break;
            case State::Designate:
                if (c == kEsc) {
                    m_state = State::Escape;
                } else if (c == kCan || c == kSub) {
                    m_state = State::Ground;
                } else if (c >= 0x20 && c <= 0x2F) {
                    m_designating = -1;  // ESC ( with more intermediates: ignored
                    m_intermediate = '\x7f';
                } else if (c >= 0x30 && c <= 0x7E) {
                    if (m_designating >= 0 && KnownCharset(c)) {
                        m_charsets.designated[static_cast<std::size_t>(m_designating)] = c;
                    } else if (m_designating < 0 && m_intermediate == '#' &&
                               (c == '3' || c == '4' || c == '6')) {
                        m_text.lineSizes = true;  // DECDHL, DECDWL: until a reset
                    }
                    m_state = State::Ground;
                }
                break;
            case State::Csi:
                if (c == kEsc) {
                    m_state = State::Escape;
                } else if (c == kCan || c == kSub) {
                    m_state = State::Ground;
                } else if (c >= '<' && c <= '?' && m_parameters.empty() && m_leader == 0 &&
                           m_intermediate == 0) {
                    m_leader = c;
                } else if ((c >= '0' && c <= '9') || c == ';' || c == ':') {
                    if (m_parameters.size() < kMaxParameters) {
                        m_parameters.push_back(c);
                    } else {
                        m_overflow = true;
                    }
                } else if (c >= 0x20 && c <= 0x2F) {
                    m_intermediate = m_intermediate == 0 ? c : '\x7f';
                } else if (c >= 0x40 && c <= 0x7E) {
                    m_state = State::Ground;
                    events = Finish(c);
                    if (events != kNone) {
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
