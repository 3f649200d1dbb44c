// How fast the console absorbs a program's output, and what one capture of the window
// (the console information plus one row read per window row) costs.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "console/ConsoleEmulator.h"
#include "console/ConsoleHost.h"
#include "console/ScrollGuard.h"
#include "console/WinCon.h"

namespace {

// Runs script on the console and returns when it has ended and its output is drawn.
void RunOnConsole(const std::string& script) {
    ConsoleHost& console = *ConsoleHost::Instance();
    ConsoleAttachment attachment;
    console.PrepareAttachment(attachment);
    const std::string line = script + "; printf '\\n<done>'";
    const char* argv[] = {"/bin/sh", "-c", line.c_str(), nullptr};
    const char* envp[] = {"TERM=xterm", "PATH=/usr/bin:/bin", nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ConsoleHost::AttachChild(attachment);
        ::execve(argv[0], const_cast<char* const*>(argv), const_cast<char* const*>(envp));
        ::_exit(127);
    }
    ::waitpid(pid, nullptr, 0);
    // The program has ended; wait until the console has drawn its last bytes.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    for (;;) {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        GetConsoleScreenBufferInfo(out, &info);
        CHAR_INFO cells[8];
        SMALL_RECT region{0, info.dwCursorPosition.Y, 5, info.dwCursorPosition.Y};
        ReadConsoleOutputW(out, cells, COORD{8, 1}, COORD{0, 0}, &region);
        if (cells[0].UnicodeChar == u'<' && cells[5].UnicodeChar == u'>') {
            return;
        }
        pollfd pfd{console.WakeupFd(), POLLIN, 0};
        if (::poll(&pfd, 1, 100) > 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(console.WakeupFd(), &count, sizeof count);
        }
    }
}

void BM_AbsorbPlainLines(benchmark::State& state) {
    const long bytes = state.range(0);
    ConsoleHost::Instance()->Reset();
    for (auto _ : state) {
        RunOnConsole("yes 'a plain line of text, as a build log prints them' | head -c " +
                     std::to_string(bytes));
    }
    state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_AbsorbPlainLines)->Arg(20 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AbsorbColouredText(benchmark::State& state) {
    const long bytes = state.range(0);
    ConsoleHost::Instance()->Reset();
    for (auto _ : state) {
        RunOnConsole(
            "yes '\033[01;34mdirectory\033[0m  \033[01;32mprogram\033[0m  plain.txt  "
            "\033[38;5;208mtwo-five-six\033[0m' | head -c " +
            std::to_string(bytes));
    }
    state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_AbsorbColouredText)->Arg(20 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CaptureWindow(benchmark::State& state) {
    const SHORT width = static_cast<SHORT>(state.range(0));
    const SHORT height = static_cast<SHORT>(state.range(1));
    ConsoleHost::Instance()->Reset();
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    SetConsoleScreenBufferSize(out, COORD{width, 300});
    SMALL_RECT window{0, static_cast<SHORT>(300 - height), static_cast<SHORT>(width - 1), 299};
    SetConsoleWindowInfo(out, TRUE, &window);
    std::vector<CHAR_INFO> row(200);
    for (auto _ : state) {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        GetConsoleScreenBufferInfo(out, &info);
        for (SHORT y = info.srWindow.Top; y <= info.srWindow.Bottom; ++y) {
            SMALL_RECT region{info.srWindow.Left, y, info.srWindow.Right, y};
            ReadConsoleOutputW(out, row.data(), COORD{200, 1}, COORD{0, 0}, &region);
        }
        benchmark::DoNotOptimize(row.data());
    }
}
BENCHMARK(BM_CaptureWindow)->Args({80, 24})->Args({150, 50})->Unit(benchmark::kMicrosecond);

}  // namespace

// The emulator alone (no terminal, no program): program output fed in reads of 4 KiB,
// drawn by libvterm alone (arg 0), by the plain path (arg 1), or by the plain path behind
// the scroll guard as the console feeds it (arg 2): the guard's mark planted again at the
// window's bottom before each piece, as a capture would, so that the bound counts lines.
struct GuardEvents : ConsoleEmulator::Events {
    void Scrolled(int kept, int moved) override { guard.Scrolled(kept, moved); }
    void MainResized(int height) override { guard.Resized(height); }
    void Reply(std::string_view) override {}
    ScrollGuard guard;
};

void FeedInReads(benchmark::State& state, const std::string& line) {
    std::string output;
    while (output.size() < (4U << 20)) {
        output += line;
    }
    GuardEvents events;
    std::unique_ptr<ConsoleEmulator> emulator = ConsoleEmulator::Create(events);
    emulator->SetPlainRun(state.range(0) != 0 ? ConsoleEmulator::kPlainRun : 0);
    const bool guarded = state.range(0) == 2;
    for (auto _ : state) {
        for (std::size_t at = 0; at < output.size(); at += 4096) {
            std::string_view read = std::string_view(output).substr(at, 4096);
            while (guarded && !read.empty()) {
                const ConsoleBuffer& main = emulator->MainScreen();
                const ScrollGuard::Screen screen{main.Size().Y, main.Window().Bottom};
                events.guard.Plant(main.Window().Bottom, static_cast<std::size_t>(main.Size().Y),
                                   main.Size().Y);
                bool ask = false;
                const std::size_t n =
                    events.guard.Take(read, screen, emulator->OutputWindow(), ask);
                emulator->Feed(read.substr(0, n));
                read.remove_prefix(n);
            }
            if (!guarded) {
                emulator->Feed(read);
            }
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * output.size()));
}

// As a terminal's line discipline passes yes's output on: each line feed after a
// carriage return.
void BM_FeedYes(benchmark::State& state) {
    FeedInReads(state, "y\r\n");
}
BENCHMARK(BM_FeedYes)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_FeedTextLines(benchmark::State& state) {
    FeedInReads(state, "a plain line of text, as a build log prints them: 1234\r\n");
}
BENCHMARK(BM_FeedTextLines)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
