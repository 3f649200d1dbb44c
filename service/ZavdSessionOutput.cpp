#include "service/ZavdSessionOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "service/ErrorText.h"

namespace {

// What Drain reads at most: a pipe's usual capacity, so that a session that keeps
// writing cannot hold zavd there.
constexpr std::size_t kDrainReads = 16;

}  // namespace

bool ZavdSessionOutput::Open(std::string& error) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = "cannot make a pipe: " + ErrorText(errno);
        return false;
    }
    m_read.Reset(ends[0]);
    m_write.Reset(ends[1]);
    return true;
}

bool ZavdSessionOutput::Read(std::vector<std::string>& lines) {
    char buffer[kReadSize];
    const ssize_t n = ::read(m_read.Get(), buffer, sizeof buffer);
    if (n > 0) {
        Feed(std::string_view(buffer, static_cast<std::size_t>(n)), lines);
        return true;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR);
}

void ZavdSessionOutput::Drain(std::vector<std::string>& lines) {
    char buffer[kReadSize];
    for (std::size_t i = 0; i < kDrainReads && m_read.Valid(); ++i) {
        const ssize_t n = ::read(m_read.Get(), buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        Feed(std::string_view(buffer, static_cast<std::size_t>(n)), lines);
    }
    Flush(lines);
}

void ZavdSessionOutput::Feed(std::string_view bytes, std::vector<std::string>& lines) {
    for (const char c : bytes) {
        Byte(static_cast<unsigned char>(c), lines);
    }
}

void ZavdSessionOutput::Flush(std::vector<std::string>& lines) {
    EndLine(lines);
}

void ZavdSessionOutput::Byte(unsigned char c, std::vector<std::string>& lines) {
    if (m_needed > 0) {
        if ((c & 0xC0) == 0x80) {
            m_sequence.push_back(static_cast<char>(c));
            if (--m_needed > 0) {
                return;
            }
            // Complete: shown as it is unless it is an overlong form, a surrogate, beyond
            // U+10FFFF or a C1 control.
            const auto* s = reinterpret_cast<const unsigned char*>(m_sequence.data());
            char32_t code = 0;
            char32_t least = 0;
            switch (m_sequence.size()) {
                case 2:
                    code = (s[0] & 0x1FU) << 6 | (s[1] & 0x3FU);
                    least = 0xA0;  // below it: C1 controls (C0 and C1 as overlong forms)
                    break;
                case 3:
                    code = (s[0] & 0x0FU) << 12 | (s[1] & 0x3FU) << 6 | (s[2] & 0x3FU);
                    least = 0x800;
                    break;
                default:
                    code = (s[0] & 0x07U) << 18 | (s[1] & 0x3FU) << 12 | (s[2] & 0x3FU) << 6 |
                           (s[3] & 0x3FU);
                    least = 0x10000;
                    break;
            }
            if (code < least || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
                EscapePending();
            } else {
                Append(m_sequence);
                m_sequence.clear();
            }
            return;
        }
        EscapePending();  // cut short: the bytes so far are shown, c is looked at afresh
    }
    if (m_carriage) {
        m_carriage = false;
        if (c == '\n') {
            EndLine(lines);
            return;
        }
        Escape('\r');
    }
    if (c == '\n') {
        EndLine(lines);
    } else if (c == '\r') {
        m_carriage = true;
    } else if (c < 0x20 || c == 0x7F) {
        Escape(c);
    } else if (c < 0x80) {
        Append(std::string_view(reinterpret_cast<const char*>(&c), 1));
    } else if (c >= 0xC2 && c <= 0xF4) {
        m_sequence.assign(1, static_cast<char>(c));
        m_needed = c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    } else {
        Escape(c);
    }
}

void ZavdSessionOutput::Escape(unsigned char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    const char text[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
    Append(std::string_view(text, sizeof text));
}

void ZavdSessionOutput::Append(std::string_view text) {
    // Whole escapes and whole characters only: a cut line never ends in half of one.
    if (m_cut || m_line.size() + text.size() > kMaxLine) {
        m_cut = true;
        return;
    }
    m_line.append(text);
}

void ZavdSessionOutput::EscapePending() {
    const std::string bytes = std::move(m_sequence);
    m_sequence.clear();
    m_needed = 0;
    for (const char b : bytes) {
        Escape(static_cast<unsigned char>(b));
    }
}

void ZavdSessionOutput::EndLine(std::vector<std::string>& lines) {
    EscapePending();
    if (m_carriage) {
        m_carriage = false;
        Escape('\r');
    }
    if (!m_line.empty() || m_cut) {
        if (m_lines + 1 < kMaxLines) {
            lines.push_back(m_cut ? m_line + " [cut]" : m_line);
        } else if (m_lines + 1 == kMaxLines) {
            lines.emplace_back("[more output dropped]");
        }
        ++m_lines;
    }
    m_line.clear();
    m_cut = false;
}
