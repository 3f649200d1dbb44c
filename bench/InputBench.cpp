// The cost of routing client input through the telnet parsers and the shipped key table
// typed text, cursor keys, and bytes no key sends,
// which scan the whole table before being dropped.
#include <benchmark/benchmark.h>

#include <string>

#include "infra/ZTraceScope.h"
#include "platform/ZConsole.h"
#include "session/ClientInput.h"

namespace {

struct Input {
    Input() {
        TraceThreshold(10);  // as shipped, and the loop's level 0: per-byte lines off
        TraceLevel(0);
        key.Load(std::string(ZAV_CONFIG_DIR) + "/zav_keys.ini");
        telnet.Load(std::string(ZAV_CONFIG_DIR) + "/zav_telnet.ini");
        ZConsole console;
        key.m_hWnd = console.GetWindowHandle();
        reports.m_hOutput = console.GetOutputHandle();
        reports.m_hInput = console.GetInputHandle();
    }
    ZTelnet telnet;
    ClientReports reports;
    ZKey key;
};

void Run(benchmark::State& state, const std::string& bytes) {
    Input in;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ConsumeClientInput(in.telnet, in.reports, in.key, bytes));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_TypedText(benchmark::State& state) {
    Run(state, "ls -l /usr/share/doc | grep -i readme\r");
}

void BM_CursorKeys(benchmark::State& state) {
    Run(state, "\x1b[A\x1b[B\x1b[C\x1b[D\x1b[H\x1b[F\x1b[5~\x1b[6~");
}

void BM_UnknownBytes(benchmark::State& state) {
    Run(state, std::string(64, '\x80'));
}

BENCHMARK(BM_TypedText);
BENCHMARK(BM_CursorKeys);
BENCHMARK(BM_UnknownBytes);

}  // namespace

BENCHMARK_MAIN();
