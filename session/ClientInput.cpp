#include "session/ClientInput.h"

#include <algorithm>

#include "infra/ZTraceScope.h"

namespace {

// The window-size report, the longest telnet command the parsers take.
constexpr std::size_t kLongestTelnetSequence = 9;

}  // namespace

std::string ConsumeClientInput(ZTelnet& telnet, ClientReports& reports, ZKey& key,
                               std::string input) {
    return ConsumeClientInput(telnet, reports, key, input, input.size());
}

std::string ConsumeClientInput(ZTelnet& telnet, ClientReports& reports, ZKey& key,
                               std::string& input, std::size_t limit) {
    ZTraceScope trace;
    trace.Trace("ZBrisel::Consume( ", TracedInput{input}, " )");
    std::string reply;
    // The parsers see the input through a window as long as the longest sequence any of
    // them knows, which is all their decisions depend on; what they took leaves the input
    // in one step at the end, so a long paste costs time in proportion to its length.
    std::size_t window = kLongestTelnetSequence;
    window = std::max({window, key.LongestInput(), ClientReports::kLongestReport});
    for (const ZTelnetPair& pair : telnet.m_pairs) {
        window = std::max(window, pair.client.size());
    }
    std::string part;
    std::size_t at = 0;
    const std::size_t end = std::min(limit, input.size());
    while (at < end) {
        part.assign(input, at, window);
        const std::size_t offered = part.size();
        std::string answer;
        if (telnet.Consume_client_server(part, answer) ||
            telnet.Consume_iac_do_will(part, answer) ||
            telnet.Consume_iac_dont_wont(part, answer) || telnet.Consume_iac_sb_naws(part) ||
            telnet.Consume_ctrl_c(part)) {
            reply += answer;
            at += offered - part.size();
            continue;
        }
        bool partial = false;
        if (reports.Consume(part, partial) || (!partial && key.Consume(part)) ||
            (!partial && key.ConsumeCharacter(part, partial))) {
            at += offered - part.size();
            continue;
        }
        if (partial) {
            // The input ends inside a report or a character: the rest comes with the next
            // data. (A lone ESC is no report: it is the Escape key at once.)
            break;
        }
        ++at;
    }
    input.erase(0, std::min(at, input.size()));
    if (!reply.empty()) {
        const std::int32_t level = TraceLevel(-1);
        TraceLevel(10);
        trace.Trace("consume : ", reply);
        TraceLevel(level);
    }
    return reply;
}

bool ClientInputReady(const ClientReports& reports, const std::string& input) {
    return input.size() > std::max(ZKey::PartialCharacter(input), reports.Pending(input));
}

bool ConsoleHidesInput(ZConsole& console) {
    DWORD mode = 0;
    return GetConsoleMode(console.GetInputHandle(), &mode) != FALSE &&
           (mode & ENABLE_LINE_INPUT) != 0 && (mode & ENABLE_ECHO_INPUT) == 0;
}
