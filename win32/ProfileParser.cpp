#include "win32/ProfileParser.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsLineEnd(char c) {
    return c == '\n' || c == '\r';
}

}  // namespace

void ProfileParser::StartLine() {
    m_state = State::LineStart;
    m_name.clear();
    m_nameOverlong = false;
    m_nameTrimmed = 0;
    m_value.clear();
    m_valueLength = 0;
    m_valueTrimmed = 0;
    m_valueLast = 0;
}

void ProfileParser::EndLine() {
    const std::string_view name(m_name.data(), m_nameTrimmed);
    switch (m_state) {
        case State::SectionName:  // no closing bracket: the name runs to the line's end
        case State::SectionRest:
            if (m_sink.section && !m_sink.section(name, m_nameOverlong)) {
                m_stopped = true;
            }
            break;
        case State::ValueLead:
        case State::Value: {
            std::string_view value(m_value.data(), std::min(m_valueTrimmed, m_value.size()));
            const char first = value.empty() ? '\0' : value.front();
            if (m_valueTrimmed >= 2 && (first == '"' || first == '\'') && m_valueLast == first) {
                // Drop the opening quote, and the closing one when it lies within what was kept.
                value.remove_prefix(1);
                if (m_valueTrimmed <= m_value.size()) {
                    value.remove_suffix(1);
                }
            }
            if (value.size() > kMaxValue) {
                value = value.substr(0, kMaxValue);
            }
            if (m_sink.key && !m_sink.key(name, m_nameOverlong, value)) {
                m_stopped = true;
            }
            break;
        }
        case State::Key:  // no '=' on the line
            if (m_sink.stray && !m_sink.stray(name)) {
                m_stopped = true;
            }
            break;
        default:
            break;
    }
    StartLine();
}

bool ProfileParser::Feed(std::string_view bytes) {
    static constexpr std::string_view kBom = "\xEF\xBB\xBF";
    std::size_t i = 0;
    // A byte-order mark may arrive split over calls; it is only looked for at the start.
    while (!m_bomChecked && i < bytes.size()) {
        if (bytes[i] == kBom[m_bomSeen]) {
            ++m_bomSeen;
            ++i;
            if (m_bomSeen == kBom.size()) {
                m_bomChecked = true;
            }
            continue;
        }
        m_bomChecked = true;
        // A partial mark was ordinary text after all.
        for (std::size_t k = 0; k < m_bomSeen && !m_stopped; ++k) {
            Feed(kBom.substr(k, 1));
        }
    }
    for (; i < bytes.size() && !m_stopped; ++i) {
        const char c = bytes[i];
        if (IsLineEnd(c)) {
            EndLine();
            continue;
        }
        switch (m_state) {
            case State::LineStart:
                if (IsBlank(c)) {
                    break;
                }
                if (c == ';') {
                    m_state = State::Comment;
                } else if (c == '[') {
                    m_state = State::SectionName;
                } else if (c == '=') {
                    m_state = State::ValueLead;  // a key with an empty name
                } else {
                    m_state = State::Key;
                    m_name.push_back(c);
                    m_nameTrimmed = m_name.size();
                }
                break;
            case State::SectionName:
            case State::Key:
                if ((m_state == State::SectionName && c == ']') ||
                    (m_state == State::Key && c == '=')) {
                    m_state = m_state == State::Key ? State::ValueLead : State::SectionRest;
                    break;
                }
                if (m_name.empty() && IsBlank(c)) {
                    break;  // leading blanks of a section name
                }
                if (m_name.size() < kMaxName) {
                    m_name.push_back(c);
                    if (!IsBlank(c)) {
                        m_nameTrimmed = m_name.size();
                    }
                } else if (!IsBlank(c)) {
                    m_nameOverlong = true;
                }
                break;
            case State::ValueLead:
                if (IsBlank(c)) {
                    break;
                }
                m_state = State::Value;
                [[fallthrough]];
            case State::Value:
                // One character beyond the cap is kept so that a closing quote right
                // after a capped value is still recognised as such.
                if (m_value.size() < kMaxValue + 2) {
                    m_value.push_back(c);
                }
                ++m_valueLength;
                if (!IsBlank(c)) {
                    m_valueTrimmed = m_valueLength;
                    m_valueLast = c;
                }
                break;
            case State::Comment:
            case State::SectionRest:
            case State::Skip:
                break;
        }
    }
    return !m_stopped;
}

void ProfileParser::Finish() {
    if (!m_stopped) {
        EndLine();
    }
}
