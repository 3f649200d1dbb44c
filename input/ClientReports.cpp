#include "input/ClientReports.h"

#include <optional>

#include "infra/ZTraceScope.h"

namespace {

constexpr char kEsc = '\x1b';

using Match = ClientReports::Match;
using Kind = ClientReports::Kind;

Match Partial() {
    return Match{Match::State::Partial, Kind::Mouse, 0};
}

Match Report(Kind kind, std::size_t length) {
    return Match{Match::State::Report, kind, length};
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Three numbers, none of them empty: b;x;y.
bool ThreeNumbers(std::string_view parameters) {
    int count = 0;
    std::size_t start = 0;
    while (start <= parameters.size()) {
        std::size_t end = parameters.find(';', start);
        if (end == std::string_view::npos) {
            end = parameters.size();
        }
        if (end == start || ++count > 3) {
            return false;
        }
        start = end + 1;
    }
    return count == 3;
}

// ESC [ M and three values: raw bytes, or under 1005 characters of one or two bytes of
// UTF-8 (a lead byte without its continuation counts as a raw byte). No value is a
// control, so a report holds no ESC but its first.
Match X10Mouse(std::string_view input, ConsoleModes::MouseEncoding encoding) {
    std::size_t at = 3;
    for (int value = 0; value < 3; ++value) {
        if (at >= input.size()) {
            return Partial();
        }
        const auto lead = static_cast<unsigned char>(input[at]);
        if (lead > 0 && lead < 0x20) {
            return {};  // a value starts at 32 (a terminal sends 0 for one it cannot encode)
        }
        if (encoding == ConsoleModes::MouseEncoding::Utf8 && lead >= 0xC2 && lead <= 0xDF) {
            if (at + 1 >= input.size()) {
                return Partial();
            }
            at += (static_cast<unsigned char>(input[at + 1]) & 0xC0) == 0x80 ? 2 : 1;
        } else {
            ++at;
        }
    }
    return Report(Kind::Mouse, at);
}

}  // namespace

Match ClientReports::Recognize(std::string_view input, ConsoleModes::MouseEncoding encoding) {
    if (input.size() < 2 || input[0] != kEsc || input[1] != '[') {
        return {};
    }
    if (input.size() == 2) {
        return Partial();
    }
    const char first = input[2];
    if (first == 'I' || first == 'O') {
        return Report(Kind::Focus, 3);
    }
    if (first == 'M') {
        return X10Mouse(input, encoding);
    }
    // ESC [ < b ; x ; y M or m, ESC [ b ; x ; y M, ESC [ 200 ~ and ESC [ 201 ~.
    const bool sgr = first == '<';
    if (!sgr && !IsDigit(first)) {
        return {};
    }
    const std::size_t start = sgr ? 3 : 2;
    std::size_t at = start;
    int separators = 0;
    while (at < input.size() && (IsDigit(input[at]) || input[at] == ';')) {
        separators += input[at] == ';' ? 1 : 0;
        ++at;
    }
    if (at >= kLongestReport || separators > 2) {
        return {};
    }
    if (at == input.size()) {
        return Partial();
    }
    const std::string_view parameters = input.substr(start, at - start);
    const char final = input[at];
    if (!sgr && final == '~' && (parameters == "200" || parameters == "201")) {
        return Report(Kind::Paste, at + 1);
    }
    if ((final == 'M' || (sgr && final == 'm')) && ThreeNumbers(parameters)) {
        return Report(Kind::Mouse, at + 1);
    }
    return {};
}

ConsoleModes ClientReports::Modes() const {
    ConsoleModes modes;
    if (m_hOutput == nullptr || !GetConsoleModes(m_hOutput, &modes)) {
        return ConsoleModes{};  // no console: nothing asked for
    }
    return modes;
}

bool ClientReports::Consume(std::string& input, bool& partial) {
    partial = false;
    if (input.size() < 2 || input[0] != kEsc || input[1] != '[') {
        return false;  // the common case, without a look at the console
    }
    ZTraceScope trace;
    trace.Trace("ClientReports::Consume( ", TracedInput{input}, " )");
    // The modes are read only for what may be a report: the encoding decides the length
    // of ESC [ M alone.
    std::optional<ConsoleModes> modes;
    if (input.size() > 2 && input[2] == 'M') {
        modes = Modes();
    }
    const Match match =
        Recognize(input, modes ? modes->mouseEncoding : ConsoleModes::MouseEncoding::Default);
    if (match.state == Match::State::Partial) {
        partial = true;
        return false;
    }
    if (match.state == Match::State::None) {
        return false;
    }
    if (!modes) {
        modes = Modes();
    }
    const bool wanted = match.kind == Kind::Mouse   ? modes->mouse != ConsoleModes::Mouse::None
                        : match.kind == Kind::Focus ? modes->focusEvents
                                                    : modes->bracketedPaste;
    if (!wanted) {
        trace.Trace("not asked for: dropped");
    } else if (!PassConsoleInput(m_hInput, std::string_view(input).substr(0, match.length))) {
        ReportError(trace, "PassConsoleInput( ):err");
    }
    input.erase(0, match.length);
    return true;
}

std::size_t ClientReports::Pending(std::string_view input) const {
    // A report holds no ESC but its first byte: only the last ESC can begin one.
    const std::size_t esc = input.rfind(kEsc);
    if (esc == std::string_view::npos || input.size() - esc < 2 ||
        input.size() - esc >= kLongestReport) {
        return 0;
    }
    const std::string_view tail = input.substr(esc);
    const ConsoleModes::MouseEncoding encoding = tail.size() > 2 && tail[2] == 'M'
                                                     ? Modes().mouseEncoding
                                                     : ConsoleModes::MouseEncoding::Default;
    return Recognize(tail, encoding).state == Match::State::Partial ? tail.size() : 0;
}
