// Fuzzes the client input path with the shipped key table and a terminal file that
// enables Ctrl+C and scripted pairs. Every parser must either take bytes off the front
// of the input or leave it untouched, and the routing must end with a bounded reply.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "infra/ZIni.h"
#include "infra/ZTraceScope.h"
#include "platform/ZConsole.h"
#include "session/ClientInput.h"

namespace {

struct Prototype {
    ZTelnet telnet;
    ClientReports reports;
    ZKey key;
    std::size_t serverBytes = 0;  // every pair's answer together
};

Prototype* g_prototype = nullptr;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// A parser that returns true took a non-empty prefix (an empty pair excepted, which
// uses itself up instead); one that returns false changed nothing.
void CheckParsers(Prototype& p, const std::string& original) {
    ZTelnet telnet = p.telnet;
    ZKey& key = p.key;  // only its memory of the last key changes, which runs may share
    const auto unused = [&] {
        std::size_t n = 0;
        for (const ZTelnetPair& pair : telnet.m_pairs) {
            n += pair.used ? 0 : 1;
        }
        return n;
    };
    const auto shrank = [&](const std::string& input) {
        return input.size() < original.size() &&
               original.compare(original.size() - input.size(), input.size(), input) == 0;
    };
    std::string input = original;
    std::string reply;
    const std::size_t before = unused();
    if (telnet.Consume_client_server(input, reply)) {
        Check(shrank(input) || (input == original && unused() + 1 == before));
    } else {
        Check(input == original && reply.empty() && unused() == before);
    }
    const auto check = [&](bool taken) { Check(taken ? shrank(input) : input == original); };
    for (int parser = 0; parser < 7; ++parser) {
        input = original;
        reply.clear();
        switch (parser) {
            case 0:
                check(telnet.Consume_iac_do_will(input, reply));
                Check(reply.size() == 0 || reply.size() == 3);
                break;
            case 1:
                check(telnet.Consume_iac_dont_wont(input, reply));
                Check(reply.empty());
                break;
            case 2:
                check(telnet.Consume_iac_sb_naws(input));
                break;
            case 3:
                check(telnet.Consume_ctrl_c(input));
                break;
            case 4:
                check(key.Consume(input));
                break;
            case 5: {
                // A report waits for its end only when the input ends inside it, from
                // ESC [ on; the recognizer agrees with itself on every cut.
                bool partial = false;
                check(p.reports.Consume(input, partial));
                Check(!partial || p.reports.Pending(original) == original.size());
                Check(!partial || original.size() >= 2);
                for (const auto encoding :
                     {ConsoleModes::MouseEncoding::Default, ConsoleModes::MouseEncoding::Utf8}) {
                    const ClientReports::Match match = ClientReports::Recognize(original, encoding);
                    Check(match.length <= original.size() &&
                          match.length <= ClientReports::kLongestReport);
                    if (match.state == ClientReports::Match::State::Report) {
                        for (std::size_t cut = 2; cut < match.length; ++cut) {
                            Check(
                                ClientReports::Recognize(original.substr(0, cut), encoding).state ==
                                ClientReports::Match::State::Partial);
                        }
                    }
                }
                break;
            }
            default: {
                // An unfinished character is one the input ends in, from its first byte.
                bool partial = false;
                check(key.ConsumeCharacter(input, partial));
                Check(!partial || ZKey::PartialCharacter(original) == original.size());
                break;
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // As in the session's loop with the shipped settings: the per-byte trace lines are
    // off, the level-10 reply line is on.
    TraceThreshold(10);
    TraceLevel(0);
    static Prototype prototype;
    const std::string config = ZAV_CONFIG_DIR;
    prototype.key.Load(config + "/zav_keys.ini");
    ZConsole console;
    prototype.key.m_hWnd = console.GetWindowHandle();
    prototype.reports.m_hOutput = console.GetOutputHandle();
    prototype.reports.m_hInput = console.GetInputHandle();
    // The programs asked for every report, so that they are passed, not dropped.
    const std::string modes = "\x1b[?1003;1004;1005;2004h";
    WriteConsoleA(console.GetOutputHandle(), modes.data(), static_cast<DWORD>(modes.size()),
                  nullptr, nullptr);
    prototype.telnet.Load(config + "/zav_telnet.ini");
    prototype.telnet.m_ctrlCEnabled = true;
    prototype.telnet.m_pairs = {{"\x1b[c", "\x1b[?1;2c", false},
                                {"", "", false},
                                {"\x05", "answerback", false},
                                {"\x1b[c", "second", false}};
    for (const ZTelnetPair& pair : prototype.telnet.m_pairs) {
        prototype.serverBytes += pair.server.size();
    }
    g_prototype = &prototype;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    CheckParsers(*g_prototype, input);

    ZTelnet telnet = g_prototype->telnet;
    const std::string reply =
        ConsumeClientInput(telnet, g_prototype->reports, g_prototype->key, input);
    // Refusals answer three bytes with three; pairs answer once each.
    Check(reply.size() <= size + g_prototype->serverBytes);
    // All is taken but an unfinished character or report at the end, kept for the next
    // data.
    telnet = g_prototype->telnet;
    std::string rest = input;
    ConsumeClientInput(telnet, g_prototype->reports, g_prototype->key, rest, rest.size());
    Check(!ClientInputReady(g_prototype->reports, rest) &&
          rest.size() < ClientReports::kLongestReport);
    return 0;
}
