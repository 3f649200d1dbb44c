#include "console/OutputGuard.h"

#include <unictype.h>

#include <cstdint>

#include "console/PlainText.h"

namespace {

constexpr char kEsc = 0x1B;
constexpr char kCan = 0x18;  // ends any sequence in the library, doing nothing else
constexpr char32_t kReplacement = 0xFFFD;
constexpr std::size_t kEarlier = SIZE_MAX;  // kept bytes that came in an earlier call

// The character libvterm 0.1.4 decodes from a complete UTF-8 sequence (1 to 6 bytes):
// U+FFFD for an overlong form, a surrogate, U+FFFE and U+FFFF.
char32_t Decode(std::string_view sequence) {
    static constexpr unsigned char kLeadBits[] = {0, 0, 0x1F, 0x0F, 0x07, 0x03, 0x01};
    static constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
    const std::size_t length = sequence.size();
    char32_t c = static_cast<unsigned char>(sequence[0]) & kLeadBits[length];
    for (std::size_t i = 1; i < length; ++i) {
        c = (c << 6) | (static_cast<unsigned char>(sequence[i]) & 0x3F);
    }
    if (c < kShortest[length] || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF) {
        return kReplacement;
    }
    return c;
}

}  // namespace

bool OutputGuard::IsMark(char32_t c) {
    if (c < 0x300) {
        return false;  // the library's first combining character is U+0300
    }
    // Hangul vowels and final consonants, and four marks whose category changed since the
    // library's table was made.
    if ((c >= 0x1160 && c <= 0x11FF) || c == 0x06DE || c == 0x1734 || c == 0x302E || c == 0x302F) {
        return true;
    }
    static const uc_general_category_t kJoined = uc_general_category_or(
        uc_general_category_or(UC_CATEGORY_Mn, UC_CATEGORY_Me), UC_CATEGORY_Cf);
    return uc_is_general_category(c, kJoined);
}

std::string_view OutputGuard::Filter(std::string_view bytes) {
    m_in = bytes;
    m_out.clear();
    m_copying = false;
    m_passedTo = 0;
    m_digitsFrom = kEarlier;
    m_charFrom = kEarlier;
    m_heldFrom = kEarlier;
    for (std::size_t i = 0; i < bytes.size();) {
        if (m_state == State::Ground && m_char.empty()) {
            // Plain text and controls pass as they are, in one step: the common case.
            const std::size_t end = i + plain_text::NextEscapeOrBeyondAscii(bytes.substr(i));
            if (end > i) {
                if (plain_text::HasPrintable(bytes.substr(i, end - i))) {
                    m_marks = 0;
                    m_lastMark = false;
                }
                if (!m_copying && m_passedTo == i) {
                    m_passedTo = end;
                } else {
                    Emit(bytes.substr(i, end - i));
                }
                i = end;
                continue;
            }
        }
        Byte(i++);
    }
    m_in = {};
    return m_copying ? std::string_view(m_out) : bytes.substr(0, m_passedTo);
}

void OutputGuard::Pass(std::size_t at) {
    if (!m_copying && m_passedTo == at) {
        m_passedTo = at + 1;
        return;
    }
    Emit(m_in.substr(at, 1));
}

void OutputGuard::Emit(std::string_view text) {
    if (!m_copying) {
        m_out.assign(m_in.substr(0, m_passedTo));
        m_copying = true;
    }
    m_out.append(text);
}

void OutputGuard::Release(std::string& held, std::size_t from) {
    if (!m_copying && from == m_passedTo) {
        m_passedTo += held.size();  // it stands in the input as it is
    } else {
        Emit(held);
    }
    held.clear();
}

void OutputGuard::Byte(std::size_t at) {
    const auto c = static_cast<unsigned char>(m_in[at]);
    const bool dropping = m_state == State::Drop || m_state == State::DropEscape;
    // The controls the library takes in any state come first, as in its parser.
    if (c == 0x00 || c == 0x7F) {
        if (!dropping) {
            Pass(at);
        }
        return;
    }
    if (c == 0x18 || c == 0x1A) {  // CAN, SUB: any sequence or string ends
        m_dcs = false;
        m_held.clear();
        m_digits.clear();
        m_saturated = false;
        m_state = State::Ground;
        Pass(at);
        return;
    }
    if (c == 0x1B) {
        if (dropping) {
            m_state = State::DropEscape;
            return;
        }
        // In a string it may begin the terminator; anywhere else (an ESC after an ESC in
        // a string too) it begins a new sequence and ends the one being read.
        const bool held = m_dcs && (m_state == State::String || m_state == State::StringEscape);
        if (held && m_state == State::String) {
            m_state = State::StringEscape;  // the terminator waits with the string
            return;
        }
        if (held) {
            Emit(std::string_view(&kCan, 1));  // the held string is abandoned
        }
        m_dcs = false;
        m_held.clear();
        m_state = m_state == State::String ? State::StringEscape : State::Escape;
        m_escIntermediate = false;
        m_digits.clear();
        m_saturated = false;
        Pass(at);
        return;
    }
    if (c == 0x07 && (m_state == State::String || dropping)) {  // BEL ends a string
        m_state = State::Ground;
        if (m_dcs) {
            EndDcs(std::string_view(&m_in[at], 1), at);
        } else if (!dropping) {
            Pass(at);
        }
        return;
    }
    if (c < 0x20) {
        // Other controls act at once, inside sequences and strings too; an SOS string
        // takes them as text.
        if (!(dropping && m_sos)) {
            Pass(at);
        }
        return;
    }

    switch (m_state) {
        case State::Ground:
            Text(at);
            return;
        case State::Drop:
            return;
        case State::StringEscape:
            if (c == '\\') {
                m_state = State::Ground;
                if (m_dcs) {
                    EndDcs("\x1b\\", at);
                } else {
                    Pass(at);
                }
                return;
            }
            if (m_dcs) {
                Emit(std::string_view(&kEsc, 1));  // the ESC held with the string
                m_dcs = false;
                m_held.clear();
            }
            m_state = State::Escape;  // the string is abandoned; this byte follows the ESC
            break;
        case State::DropEscape:
            if (c == '\\') {
                m_state = State::Ground;
                return;
            }
            Emit(std::string_view(&kEsc, 1));  // the ESC that abandoned the string
            m_state = State::Escape;
            m_escIntermediate = false;
            break;
        default:
            break;
    }

    switch (m_state) {
        case State::Escape:
            if (c == '[') {
                m_state = State::CsiLeader;
                m_leader = false;
                m_intermediate = false;
                m_separators = 0;
                m_excess = false;
            } else if (c == ']' || c == 'P') {
                m_state = State::String;
                m_stringLength = 0;
                m_dcs = c == 'P';
            } else if (c >= 0x20 && c <= 0x2F) {
                m_escIntermediate = true;
            } else if (!m_escIntermediate && (c == 'X' || c == '^' || c == '_')) {
                // SOS, PM, APC: the ESC has gone out already; CAN takes it back.
                Emit(std::string_view(&kCan, 1));
                m_state = State::Drop;
                m_sos = c == 'X';
                return;
            } else if (c >= 0x30 && c < 0x7F) {
                m_state = State::Ground;
            }
            // A byte above 0x7E is ignored by the library, which waits for the rest.
            Pass(at);
            return;
        case State::CsiLeader:
            if (c >= 0x3C && c <= 0x3F) {
                m_leader = true;
                Pass(at);
                return;
            }
            m_state = State::CsiParameters;
            [[fallthrough]];
        case State::CsiParameters:
            if (c >= '0' && c <= '9') {
                if (m_excess || m_saturated) {
                    return;
                }
                if (c == '0' && m_digits.empty()) {
                    Pass(at);  // a leading zero changes nothing
                    return;
                }
                if (m_digits.empty()) {
                    m_digitsFrom = at;
                }
                m_digits.push_back(static_cast<char>(c));
                if (m_digits.size() > 5 || (m_digits.size() == 5 && m_digits > "65535")) {
                    m_saturated = true;
                    m_digits.clear();
                }
                return;
            }
            EndParameter();
            if (c == ';' || c == ':') {
                if (m_excess) {
                    return;
                }
                if (m_separators == kMaxParameters - 1) {
                    m_excess = true;  // this one would begin a 17th parameter
                    return;
                }
                ++m_separators;
                Pass(at);
                return;
            }
            m_state = State::CsiIntermediates;
            [[fallthrough]];
        case State::CsiIntermediates:
            if (c >= 0x20 && c <= 0x2F) {
                m_intermediate = true;
                Pass(at);
                return;
            }
            m_state = State::Ground;
            if (c == 'b' && !m_leader && !m_intermediate && m_lastMark) {
                Emit(std::string_view(&kCan, 1));  // a repeat with nothing sure to repeat
                return;
            }
            // A final byte ends the sequence; anything else ends it unperformed.
            Pass(at);
            return;
        case State::String:
            if (m_stringLength < kMaxString) {
                ++m_stringLength;
                if (m_dcs) {
                    if (m_held.empty()) {
                        m_heldFrom = at;
                    }
                    m_held.push_back(static_cast<char>(c));
                } else {
                    Pass(at);
                }
            }
            return;
        default:
            return;
    }
}

void OutputGuard::EndDcs(std::string_view terminator, std::size_t at) {
    // libvterm 0.1.4 answers a status request (DECRQSS) it does not know from a format
    // that takes a number for a string: such a request is taken back with CAN.
    static constexpr std::string_view kKnown[] = {"m", "r", "s", " q", "\"q"};
    const std::string_view held = m_held;
    bool known = !held.starts_with("$q");
    for (const std::string_view request : kKnown) {
        known = known || held.substr(2) == request;
    }
    const std::size_t length = held.size() + terminator.size();
    if (known && !m_copying && m_heldFrom == m_passedTo && at + 1 == m_heldFrom + length) {
        m_passedTo += length;  // it stands in the input as it is
    } else if (known) {
        Emit(held);
        Emit(terminator);
    } else {
        Emit(std::string_view(&kCan, 1));
    }
    m_dcs = false;
    m_held.clear();
}

void OutputGuard::EndParameter() {
    if (m_saturated) {
        Emit("65535");
    } else if (!m_digits.empty()) {
        Release(m_digits, m_digitsFrom);
    }
    m_digits.clear();
    m_saturated = false;
}

void OutputGuard::Character(char32_t c) {
    if (IsMark(c)) {
        ++m_marks;
        m_lastMark = true;
    } else {
        m_marks = 0;
        m_lastMark = false;
    }
}

// An unfinished character is cut short by the byte at hand: the library shows U+FFFD.
void OutputGuard::ReleaseCharacter() {
    if (!m_char.empty()) {
        Release(m_char, m_charFrom);
        m_charNeed = 0;
        Character(kReplacement);
    }
}

void OutputGuard::Text(std::size_t at) {
    const auto c = static_cast<unsigned char>(m_in[at]);
    if (c < 0x80) {
        ReleaseCharacter();
        Character(c);
        Pass(at);
        return;
    }
    if (c >= 0xFE || (c < 0xC0 && m_charNeed == 0)) {
        // U+FFFD; the library goes on with the character it was reading, if any.
        Character(kReplacement);
        Pass(at);
        return;
    }
    if (c >= 0xC0) {
        ReleaseCharacter();
        m_char.assign(1, static_cast<char>(c));
        m_charFrom = at;
        m_charNeed = c < 0xE0 ? 1 : c < 0xF0 ? 2 : c < 0xF8 ? 3 : c < 0xFC ? 4 : 5;
        return;
    }
    m_char.push_back(static_cast<char>(c));
    if (--m_charNeed > 0) {
        return;
    }
    const char32_t decoded = Decode(m_char);
    const bool control = decoded >= 0x80 && decoded < 0xA0;
    if (!control && !(IsMark(decoded) && m_marks >= kMaxMarks)) {
        Character(decoded);
        Release(m_char, m_charFrom);
    }
    m_char.clear();
}
