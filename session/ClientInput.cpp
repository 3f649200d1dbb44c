#include "session/ClientInput.h"

#include "infra/ZTraceScope.h"

std::string ConsumeClientInput(ZTelnet& telnet, ZKey& key, std::string input) {
    ZTraceScope trace;
    trace.Trace("ZBrisel::Consume( ", TracedInput{input}, " )");
    std::string reply;
    while (!input.empty()) {
        std::string answer;
        if (telnet.Consume_client_server(input, answer) ||
            telnet.Consume_iac_do_will(input, answer) ||
            telnet.Consume_iac_dont_wont(input, answer) || telnet.Consume_iac_sb_naws(input) ||
            telnet.Consume_ctrl_c(input)) {
            reply += answer;
            continue;
        }
        if (key.Consume(input)) {
            continue;
        }
        input.erase(0, 1);
    }
    if (!reply.empty()) {
        const std::int32_t level = TraceLevel(-1);
        TraceLevel(10);
        trace.Trace("consume : ", reply);
        TraceLevel(level);
    }
    return reply;
}
