// One traced call as the product's methods make it: a trace scope and one Trace line, so
// an entry line and a closing line, each appended to the trace file. Measured with one
// thread and with two threads tracing at once (the session's main loop and its log-on
// thread), and with tracing off, where a call must cost next to nothing.
//
// With two threads the Time column is wall time per call of both threads together; the
// CPU column is the CPU time one call costs.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "infra/ZTraceScope.h"

namespace {

// The trace file lives in a private directory, removed at the end.
class BenchDir {
  public:
    BenchDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                              "/zav-trace-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~BenchDir() {
        if (!m_path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_path, ignored);
        }
    }
    BenchDir(const BenchDir&) = delete;
    BenchDir& operator=(const BenchDir&) = delete;

    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

std::string g_traceFile;

void TracedCall(int argument) {
    ZTraceScope trace;
    trace.Trace("ZBench::TracedCall( ", argument, " )");
}

// Each thread's level decides: 10 reaches the threshold of 1, 0 does not.
void RunTracedCalls(benchmark::State& state, std::int32_t level) {
    TraceLevel(level);
    int argument = 0;
    for (auto _ : state) {
        TracedCall(++argument);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_TracedCallToFile(benchmark::State& state) {
    RunTracedCalls(state, 10);
    // Every thread has left the loop: the file is checked and removed so that it never
    // grows beyond one run's lines.
    if (state.thread_index() == 0) {
        struct stat info {};
        if (::stat(g_traceFile.c_str(), &info) != 0 || info.st_size == 0) {
            state.SkipWithError("nothing reached the trace file");
        }
        std::error_code ignored;
        std::filesystem::remove(g_traceFile, ignored);
    }
}
BENCHMARK(BM_TracedCallToFile)->Threads(1)->Threads(2)->UseRealTime();

void BM_TracedCallDisabled(benchmark::State& state) {
    RunTracedCalls(state, 0);
}
BENCHMARK(BM_TracedCallDisabled)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    const BenchDir dir;
    if (dir.Path().empty()) {
        return 1;
    }
    g_traceFile = dir.Path() + "/trace.txt";
    TraceFile(g_traceFile);
    TraceThreshold(1);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
