// The cost of one export pass for 80x24 and 150x50 consoles (nothing changed, one
// character changed, ten lines scrolled, a full repaint), and the bytes sent for a
// program's output mirrored at 20 passes per second.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "console/ConsoleHost.h"
#include "screen/ZScreenExport.h"

namespace {

struct Session {
    explicit Session(SHORT width, SHORT height) {
        ConsoleHost::Instance()->Reset();
        ZConsole console;
        console.SetScreenSize(COORD{width, height});
        console.SetBuffSize(COORD{width, 300});
        telnet.m_clientSize = ZClientSize{width, height};
        telnet.m_codePage = 65001;
        // A full screen of text, the cursor on the last row.
        std::string text;
        for (int row = 0; row < height * 2; ++row) {
            text += "line " + std::to_string(row) + " of some shell output, ls and the like\n";
        }
        console.Write(text);
        exporter->Export();
    }
    ZTelnet telnet;
    std::unique_ptr<ZScreenExport> exporter = std::make_unique<ZScreenExport>(telnet);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
};

void BM_ExportIdle(benchmark::State& state) {
    Session s(static_cast<SHORT>(state.range(0)), static_cast<SHORT>(state.range(1)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.exporter->Export());
    }
}
BENCHMARK(BM_ExportIdle)->Args({80, 24})->Args({150, 50})->Unit(benchmark::kMicrosecond);

void BM_ExportOneCharacter(benchmark::State& state) {
    Session s(static_cast<SHORT>(state.range(0)), static_cast<SHORT>(state.range(1)));
    char16_t c = u'a';
    for (auto _ : state) {
        c = c == u'z' ? u'a' : static_cast<char16_t>(c + 1);
        CONSOLE_SCREEN_BUFFER_INFO info{};
        GetConsoleScreenBufferInfo(s.out, &info);
        SetConsoleCursorPosition(s.out, COORD{10, static_cast<SHORT>(info.srWindow.Top + 3)});
        WriteConsoleW(s.out, &c, 1, nullptr, nullptr);
        SetConsoleCursorPosition(s.out, info.dwCursorPosition);
        benchmark::DoNotOptimize(s.exporter->Export());
    }
}
BENCHMARK(BM_ExportOneCharacter)->Args({80, 24})->Args({150, 50})->Unit(benchmark::kMicrosecond);

void BM_ExportTenLinesScrolled(benchmark::State& state) {
    Session s(static_cast<SHORT>(state.range(0)), static_cast<SHORT>(state.range(1)));
    std::string lines;
    for (int i = 0; i < 10; ++i) {
        lines += "a new line of output that scrolls the window\n";
    }
    for (auto _ : state) {
        WriteConsoleA(s.out, lines.data(), static_cast<DWORD>(lines.size()), nullptr, nullptr);
        benchmark::DoNotOptimize(s.exporter->Export());
    }
}
BENCHMARK(BM_ExportTenLinesScrolled)
    ->Args({80, 24})
    ->Args({150, 50})
    ->Unit(benchmark::kMicrosecond);

void BM_ExportFullRepaint(benchmark::State& state) {
    Session s(static_cast<SHORT>(state.range(0)), static_cast<SHORT>(state.range(1)));
    const auto blank = std::make_unique<ZScreen>();
    for (auto _ : state) {
        state.PauseTiming();
        s.exporter->m_client = *blank;  // the client knows nothing: a repaint
        state.ResumeTiming();
        benchmark::DoNotOptimize(s.exporter->Export());
    }
}
BENCHMARK(BM_ExportFullRepaint)->Args({80, 24})->Args({150, 50})->Unit(benchmark::kMicrosecond);

// seq 1 100000 in the console, exported every 50 ms: bytes sent against bytes written.
void BM_MirrorSeqAt20PassesPerSecond(benchmark::State& state) {
    for (auto _ : state) {
        Session s(80, 24);
        ConsoleAttachment attachment;
        ConsoleHost::Instance()->PrepareAttachment(attachment);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ConsoleHost::AttachChild(attachment);
            const char* argv[] = {"/bin/sh", "-c", "seq 1 100000", nullptr};
            ::execv(argv[0], const_cast<char* const*>(argv));
            ::_exit(127);
        }
        double sent = 0;
        bool exited = false;
        int quiet = 0;
        // Until the program has ended and two passes in a row find nothing to send.
        while (quiet < 2) {
            const std::string bytes = s.exporter->Export();
            sent += static_cast<double>(bytes.size());
            exited = exited || ::waitpid(pid, nullptr, WNOHANG) == pid;
            quiet = exited && bytes.empty() ? quiet + 1 : 0;
            ::poll(nullptr, 0, 50);  // the session's refresh pace
        }
        state.counters["bytes_sent"] = sent;
        state.counters["bytes_written"] = 588895;  // seq 1 100000 | wc -c
        state.counters["ratio"] = sent / 588895.0;
    }
}
BENCHMARK(BM_MirrorSeqAt20PassesPerSecond)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
