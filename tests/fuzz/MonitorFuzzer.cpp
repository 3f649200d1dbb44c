// Arbitrary bytes from the worker through the monitor's request parser: messages taken
// off the stream as the monitor takes them off its socket, each decoded as every request
// it could be, the table asked in every state, the lines of a Log request filtered, and
// command lines, names and the client's variables judged by the policy. Checks that
// nothing the filter lets through could forge a line, and that a command line the policy
// allows is one it gives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/MonitorPolicy.h"
#include "monitor/MonitorServer.h"
#include "monitor/MonitorWire.h"
#include "monitor/WorkerLines.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void Lines(const std::string& text) {
    const WorkerLines filter(4321, 4320);
    const std::string out = filter.Filter(text);
    Check(out.size() <= text.size());
    std::string_view rest = out;
    while (!rest.empty()) {
        const std::size_t end = rest.find("\r\n");
        Check(end != std::string_view::npos);
        const std::string_view line = rest.substr(0, end);
        Check(filter.Acceptable(line));
        Check(line.find("login accepted") == std::string_view::npos);
        Check(line.find("login refused") == std::string_view::npos);
        for (const char c : line) {
            Check(static_cast<unsigned char>(c) >= 0x20 || c == '\t');
        }
        rest.remove_prefix(end + 2);
    }
}

void Policy(const MonitorPolicy& policy, const std::string& commandLine, const std::string& user) {
    if (policy.AllowsCommandLine(commandLine) && commandLine != policy.shellCommand) {
        // Allowed only as the exact form the policy builds for one command.
        Check(policy.execCommands);
        Check(commandLine.size() > 2 && commandLine.back() == '\'');
    }
    std::string why;
    const std::string name = policy.AccountName(user, why);
    Check(why.empty() == (name.rfind(':', 0) != 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    MonitorPolicy policy;
    policy.shellCommand = "/bin/bash -l";
    policy.execCommands = size % 2 == 0;
    policy.allowedList = ":alice:Bob:";
    policy.forbiddenList = ":bob:";
    policy.acceptEnv = "LANG LC_*";
    MonitorMessage message;
    while (MonitorWire::Parse(bytes, message)) {
        for (const unsigned state : {1U, 2U, 4U, 8U, 16U}) {
            MonitorServer::Allows(message.code, static_cast<MonitorServer::State>(state));
        }
        const MonitorFields original = message.fields;
        MonitorFields fields = original;
        LogonRequest logon;
        if (MonitorWire::Decode(fields, logon)) {
            Check(!logon.user.empty() && logon.user.size() <= MonitorWire::kMaxName);
            Check(logon.user.find('\0') == std::string::npos);
            Policy(policy, logon.user, logon.user);
        }
        fields = original;
        StartShellRequest shell;
        if (MonitorWire::Decode(fields, shell)) {
            Policy(policy, shell.commandLine, shell.commandLine);
            // The client's variables: only well-formed ones decode, and the policy passes
            // only names its own accept_env gives.
            Check(shell.variables.size() <= LoginEnvironment::kMaxVariables);
            for (const LoginEnvironment::Variable& v : shell.variables) {
                Check(LoginEnvironment::WellFormed(v.name, v.value));
            }
            if (policy.AcceptsVariables(shell.variables)) {
                for (const LoginEnvironment::Variable& v : shell.variables) {
                    Check(v.name == "LANG" || v.name.starts_with("LC_"));
                }
            }
            std::vector<std::string> environment;
            policy.Login("/dev/pts/0", shell.variables).ApplyTo(environment);
        }
        fields = original;
        pid_t pid = 0;
        if (MonitorWire::DecodeGroup(fields, pid)) {
            Check(pid > 1);
        }
        fields = original;
        if (MonitorWire::DecodePid(fields, pid)) {
            Check(pid > 1);
        }
        fields = original;
        bool flag = false;
        if (MonitorWire::DecodeFlag(fields, flag)) {
            Check(original.Bytes().size() == 12 && flag == (original.Bytes()[4] == 1));
        }
        // A reply of offers (the worker reads it; a monitor-side bug must not crash it) and
        // a notice's address.
        fields = original;
        std::vector<DetachedOffer> offers;
        if (MonitorWire::Decode(fields, offers)) {
            Check(offers.size() <= MonitorWire::kMaxOffers);
            for (const DetachedOffer& offer : offers) {
                Check(offer.pid > 1 && offer.address.size() <= MonitorWire::kMaxOfferText &&
                      offer.program.find('\0') == std::string::npos);
            }
        }
        fields = original;
        std::string address;
        if (MonitorWire::DecodeAddress(fields, address)) {
            Check(address.size() <= MonitorWire::kMaxOfferText);
        }
        fields = original;
        LogRequest log;
        if (MonitorWire::Decode(fields, log)) {
            Lines(log.text);
        }
        // The payload as lines too: a worker's text need not come in a Log request.
        Lines(original.Bytes());
    }
    return 0;
}
