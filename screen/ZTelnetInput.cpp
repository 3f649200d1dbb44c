// The telnet-level parsers of the client's byte stream: scripted request/answer pairs,
// option negotiation (every option refused), the window-size report and Ctrl+C.
#include <string>

#include "console/WinCon.h"
#include "infra/ZTraceScope.h"
#include "screen/ZTelnet.h"

namespace {

constexpr char kIac = '\xff';
constexpr char kDont = '\xfe';
constexpr char kDo = '\xfd';
constexpr char kWont = '\xfc';
constexpr char kWill = '\xfb';
constexpr char kSb = '\xfa';
constexpr char kNaws = '\x1f';

unsigned Byte(const std::string& input, std::size_t i) {
    return static_cast<unsigned char>(input[i]);
}

}  // namespace

bool ZTelnet::Consume_client_server(std::string& input, std::string& reply) {
    ZTraceScope trace;
    trace.Trace("ZTelnet::Consume_client_server( ", TracedInput{input}, " )");
    for (ZTelnetPair& pair : m_pairs) {
        if (pair.used) {
            continue;
        }
        // An empty client sequence matches at once and is used up without effect.
        if (pair.client.size() <= input.size() && input.starts_with(pair.client)) {
            reply = pair.server;
            input.erase(0, pair.client.size());
            pair.used = true;
            return true;
        }
    }
    return false;
}

bool ZTelnet::Consume_iac_do_will(std::string& input, std::string& reply) {
    ZTraceScope trace;
    trace.Trace("ZTelnet::Consume_iac_do_will( )");
    if (input.size() < 3 || input[0] != kIac) {
        return false;
    }
    if (input[1] == kDo) {
        reply = {kIac, kWont, input[2]};
    } else if (input[1] == kWill) {
        reply = {kIac, kDont, input[2]};
    } else {
        return false;
    }
    input.erase(0, 3);
    return true;
}

bool ZTelnet::Consume_iac_dont_wont(std::string& input, std::string& reply) {
    ZTraceScope trace;
    trace.Trace("ZTelnet::Consume_iac_dont_wont( )");
    if (input.size() < 3 || input[0] != kIac || (input[1] != kWont && input[1] != kDont)) {
        return false;
    }
    reply.clear();
    input.erase(0, 3);
    return true;
}

bool ZTelnet::Consume_iac_sb_naws(std::string& input) {
    ZTraceScope trace;
    trace.Trace("ZTelnet::Consume_iac_sb_naws( ", TracedInput{input}, " )");
    if (input.size() < 9 || input[0] != kIac || input[1] != kSb || input[2] != kNaws) {
        return false;
    }
    const unsigned columns = Byte(input, 3) * 256 + Byte(input, 4);
    const unsigned rows = Byte(input, 5) * 256 + Byte(input, 6);
    m_clientSize.columns = static_cast<SHORT>(columns);
    m_clientSize.rows = static_cast<SHORT>(rows);
    // The closing two bytes (normally IAC SE) go with the report unchecked.
    input.erase(0, 9);
    trace.Trace("[ ", columns, ", ", rows, " ]");
    return true;
}

bool ZTelnet::Consume_ctrl_c(std::string& input) {
    ZTraceScope trace;
    trace.Trace("ZTelnet::Consume_ctrl_c( )");
    if (!m_ctrlCEnabled) {
        trace.Trace("disabled");
        return false;
    }
    if (input.empty() || input[0] != '\x03') {
        return false;
    }
    if (GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) == FALSE) {
        ReportError(trace, "GenerateConsoleCtrlEvent( ):err");
        return false;
    }
    input.erase(0, 1);
    return true;
}
