// Generated programs' output through the real console (its pump and scroll guard), the
// capture, the export and the session's pacing (ZMirror), into an independent terminal
// standing in for the client. A second terminal, the reference, takes the program's bytes
// directly, as a terminal attached to the program would. The loop waits as the session
// does (no longer than the pacing allows, with no deadline when it says so), and its
// pushes take the console's wake-ups the way a transport waiting for the client's window
// does. After each case:
// - the program ended without any client input: a wait with no deadline that outlives
//   10 s while the program runs is a stall, reported with the console's state;
// - the client's screen equals the console's window after every export, and never shows
//   the scroll mark;
// - without resizes, the client's scroll-back and screen hold the reference's rows: all of
//   them when the burst covers the output, else its first rows whole and then a
//   subsequence, none doubled.
// ZAV_STRESS_CASES sets the number of cases and ZAV_STRESS_SEED the first case's seed; a
// failure names its seed, which replays it alone (with ZAV_STRESS_DUMP, verbosely).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "session/ZMirror.h"
#include "support/ClientTerminal.h"
#include "support/ConsoleSupport.h"
#include "support/TestSupport.h"

namespace {

constexpr DWORD kRefreshDelay = 10;
constexpr int kStallSeconds = 10;

unsigned EnvNumber(const char* name, unsigned fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? static_cast<unsigned>(std::strtoul(value, nullptr, 10)) : fallback;
}

// One generated program: its output in pieces, each written by its own `cat` and followed
// by a pause, and the window it runs in.
struct Program {
    unsigned seed = 0;
    int width = 80;
    int height = 24;
    DWORD burst = 100000;
    std::vector<std::string> pieces;
    std::vector<int> pauses;  // milliseconds after each piece
    std::string output;       // all pieces
    std::string end;          // the title the program sets last
    bool fullScreen = false;  // a full-screen program runs in the middle
    // Exports after which the window takes a new size.
    std::vector<std::pair<int, std::pair<int, int>>> resizes;

    std::string Describe() const {
        std::ostringstream out;
        out << "seed " << seed << " (ZAV_STRESS_SEED=" << seed << " ZAV_STRESS_CASES=1), " << width
            << "x" << height << ", burst " << burst << ", " << output.size() << " bytes in "
            << pieces.size() << " pieces, " << resizes.size() << " resizes"
            << (fullScreen ? ", a full-screen program" : "");
        return out.str();
    }
};

Program Generate(unsigned seed) {
    std::mt19937 random(seed);
    auto below = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    Program p;
    p.seed = seed;
    p.width = 10 + below(141);
    p.height = 3 + below(58);
    const int shape = below(10);
    const int lines = shape == 0 ? 1000 + below(2500) : (shape < 3 ? below(20) : below(400));
    int rows = 0;  // rows the output takes, at most
    std::string out;
    // Some programs run a full-screen program once, in the middle: the alternate screen,
    // a few frames drawn with cursor addressing, and back.
    const int fullScreenAt = below(4) == 0 ? below(std::max(1, lines)) : -1;
    p.fullScreen = fullScreenAt >= 0;
    for (int i = 0; i < lines; ++i) {
        if (i == fullScreenAt) {
            out += "\x1b[?1049h\x1b[H\x1b[2J";
            for (int frame = 1 + below(5); frame > 0; --frame) {
                for (int r = 0; r < p.height; ++r) {
                    out += "\x1b[" + std::to_string(r + 1) + ";1Hframe " + std::to_string(frame) +
                           " row " + std::to_string(r) + "\x1b[K";
                }
            }
            out += "\x1b[?1049l";
        }
        const int kind = below(20);
        if (kind == 0) {
            out += "\x1b[H\x1b[2J";  // clear
        }
        if (kind == 1) {
            out += "\x1b[3" + std::to_string(below(8)) + "m";
        }
        if (kind == 2) {
            out += "\x1b[4" + std::to_string(below(8)) + ";1m";
        }
        char number[16];
        std::snprintf(number, sizeof number, "L%05d:", i);
        std::string line = number;
        // Lengths from empty to several widths, with the edges of a row more often.
        const int lengthKind = below(8);
        int length = lengthKind == 0   ? 0
                     : lengthKind == 1 ? p.width
                     : lengthKind == 2 ? p.width + 1
                     : lengthKind == 3 ? p.width * (1 + below(3)) + below(p.width)
                                       : below(p.width);
        if (length == 0) {
            line.clear();
        }
        for (int c = static_cast<int>(line.size()); c < length; ++c) {
            const int what = below(60);
            if (what == 0) {
                line += "\xe4\xb8\xad";  // a double-width character
                ++c;
            } else if (what == 1) {
                line += "\xc3\xa9";
            } else if (what == 2) {
                line += "\x1b[1m";
                line += static_cast<char>('A' + below(26));
                line += "\x1b[22m";
            } else {
                line += static_cast<char>('a' + (i + c) % 26);
            }
        }
        out += line;
        if (kind == 1 || kind == 2) {
            out += "\x1b[0m";
        }
        out += "\r\n";
        rows += 1 + length / std::max(1, p.width - 1);
    }
    // The burst covers the output, or (one case in five) a part of it.
    if (below(5) == 0 && !p.fullScreen) {
        p.burst = static_cast<DWORD>(below(std::max(2, rows)));
    }
    p.end = "end-" + std::to_string(seed);
    // The title is the last thing applied; the erase after it (a change of the cells,
    // which wakes the loop) makes the loop look once more after it.
    out += "\x1b]2;" + p.end + "\x07\x1b[K";
    // Pieces cut anywhere, sequences and characters too.
    std::size_t at = 0;
    while (at < out.size()) {
        const std::size_t size = below(4) == 0 ? 1 + below(64) : 1 + below(20000);
        p.pieces.push_back(out.substr(at, size));
        p.pauses.push_back(below(4) == 0 ? below(30) : 0);
        at += size;
    }
    p.output = std::move(out);
    if (below(6) == 0) {
        for (int r = 1 + below(3); r > 0; --r) {
            p.resizes.push_back({1 + below(20), {10 + below(141), 3 + below(58)}});
        }
    }
    return p;
}

class OutputFlowStress : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(ConsoleHost::Instance(), nullptr); }

    // Runs one program and checks it; returns a description of the first fault.
    std::string RunCase(const Program& p) {
        test::Console().Reset();
        ZTelnet telnet;
        ZConsole console;
        Size(console, telnet, p.width, p.height);
        test::ClientTerminal client(p.width, p.height, true);
        test::ClientTerminal reference(p.width, p.height, true);
        reference.Feed(p.output);
        ZScreenExport screen(telnet);
        screen.m_scrollbackBurst = p.burst;
        screen.NewBurst();
        ZMirror mirror(console, screen);
        mirror.Start(GetTickCount(), kRefreshDelay);
        std::mt19937 random(p.seed ^ 0x5eedU);

        std::string script;
        for (std::size_t i = 0; i < p.pieces.size(); ++i) {
            const std::string name = m_files / ("piece" + std::to_string(i));
            test::WriteFile(name, p.pieces[i]);
            script += "cat " + name + "\n";
            if (p.pauses[i] > 0) {
                script += "sleep 0.0" + std::to_string(100 + p.pauses[i]).substr(1) + "\n";
            }
        }
        test::WriteFile(m_files / "program", script);
        // The first export comes before the program, as the session's first (the log-in
        // prompt) comes long before the shell: it plants the first mark.
        if (const auto frame = mirror.Due(GetTickCount())) {
            client.Feed(*frame);
        }
        const pid_t pid = test::SpawnOnConsole("exec /bin/sh " + m_files / "program");
        const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)));
        if (!pidfd.Valid()) {
            test::WaitExit(pid, 1);
            return "the program could not be watched";
        }
        bool exited = false;
        int status = 0;
        int exports = 0;
        std::size_t resized = 0;
        std::string fault;
        for (;;) {
            if (const auto frame = mirror.Due(GetTickCount())) {
                Deliver(client, *frame, random);
                ++exports;
                if (m_dump) {
                    std::fprintf(stderr, "export %d (picture rows %d-%d, window from %d): %s\n",
                                 exports, screen.m_screen.m_valid.Top,
                                 screen.m_screen.m_valid.Bottom, screen.m_screen.m_window.Top,
                                 Printable(*frame).c_str());
                }
                std::string diff = client.Compare(screen.m_screen);
                if (diff.empty()) {
                    diff = MarkShown(client, telnet.m_clientSize);
                }
                if (!diff.empty()) {
                    fault = "after export " + std::to_string(exports) + ": " + diff;
                    break;
                }
                if (resized < p.resizes.size() && p.resizes[resized].first == exports) {
                    const auto [columns, rows] = p.resizes[resized++].second;
                    if (m_dump) {
                        std::fprintf(stderr, "resized to %dx%d\n", columns, rows);
                    }
                    Size(console, telnet, columns, rows);
                    client.Resize(columns, rows);
                }
            }
            // The title is the program's last output: once it is applied and the console has
            // nothing left to export, the client has seen everything.
            const bool endApplied = test::Console().Title() == p.end;
            const DWORD wait = mirror.Wait(GetTickCount(), INFINITE);
            if (exited && endApplied && wait == INFINITE) {
                break;
            }
            ConsoleHost& host = test::Console();
            std::vector<pollfd> fds{{host.AttentionFd(), POLLIN, 0},
                                    {exited ? -1 : pidfd.Get(), POLLIN, 0}};
            if (mirror.WatchesChanges()) {
                fds.push_back({host.WakeupFd(), POLLIN, 0});
            }
            const int limit = wait == INFINITE ? kStallSeconds * 1000 : static_cast<int>(wait);
            const int n = ::poll(fds.data(), fds.size(), limit);
            if (n == 0 && wait == INFINITE) {
                fault = "stalled: no event for " + std::to_string(kStallSeconds) + " s; program " +
                        (exited ? "ended" : "running") +
                        ", capture wanted: " + std::to_string(host.CaptureWanted()) +
                        ", changed: " + std::to_string(host.Changed()) + ", title: " + host.Title();
                break;
            }
            for (const pollfd& f : fds) {
                if ((f.revents & POLLIN) != 0 && f.fd != pidfd.Get()) {
                    std::uint64_t count = 0;
                    [[maybe_unused]] ssize_t r = ::read(f.fd, &count, sizeof count);
                }
            }
            if (!exited && (fds[1].revents & POLLIN) != 0) {
                exited = ::waitpid(pid, &status, 0) == pid;
            }
        }
        if (!exited) {
            test::WaitExit(pid, 1, &status);
            return fault;
        }
        if (!fault.empty()) {
            return fault;
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            return "the program ended with status " + std::to_string(status);
        }
        if (!p.resizes.empty()) {
            return {};  // the client's own resizes reflow its rows: only the screen is kept
        }
        if (m_dump) {
            for (const std::string& row : client.AllLines()) {
                std::fprintf(stderr, "client    |%s\n", row.c_str());
            }
            for (const std::string& row : reference.AllLines()) {
                std::fprintf(stderr, "reference |%s\n", row.c_str());
            }
        }
        if (p.fullScreen) {
            // The repaints into and out of the full-screen program begin with a line feed,
            // which may scroll one row of the client's screen into its history before the
            // row is sent again: nothing may be missing, a row may come twice.
            return NoneMissing(client.AllLines(), reference.AllLines());
        }
        return CompareRows(client.AllLines(), reference.AllLines(), reference.Scrollback().size(),
                           p.burst);
    }

    // The programs never write the scroll mark's character: the client never shows it.
    static std::string MarkShown(const test::ClientTerminal& client, ZClientSize size) {
        for (int r = 0; r < size.rows; ++r) {
            for (int c = 0; c < size.columns; ++c) {
                if (client.Cell(r, c).UnicodeChar == ZScreen::kMagicMark) {
                    return "the scroll mark shows at row " + std::to_string(r) + " column " +
                           std::to_string(c);
                }
            }
        }
        return {};
    }

    // The session's sizing: the window takes the client's size over a 300-row buffer.
    static void Size(ZConsole& console, ZTelnet& telnet, int columns, int rows) {
        const COORD size{static_cast<SHORT>(columns), static_cast<SHORT>(rows)};
        telnet.m_clientSize = ZClientSize{size.X, size.Y};
        console.SetScreenSize(size);
        console.SetBuffSize(COORD{size.X, 300});
    }

    // The client takes the bytes; like a transport waiting for the client's window, the
    // push may take the console's wake-ups on the way.
    static void Deliver(test::ClientTerminal& client, const std::string& bytes,
                        std::mt19937& random) {
        client.Feed(bytes);
        if (random() % 2 == 0) {
            ConsoleHost& host = test::Console();
            for (const int fd : {host.WakeupFd(), host.AttentionFd()}) {
                std::uint64_t count = 0;
                [[maybe_unused]] ssize_t r = ::read(fd, &count, sizeof count);
            }
        }
    }

    // Every row of the reference is in the client's, in order.
    static std::string NoneMissing(const std::vector<std::string>& got,
                                   const std::vector<std::string>& want) {
        std::size_t j = 0;
        for (std::size_t i = 0; i < want.size(); ++i) {
            while (j < got.size() && got[j] != want[i]) {
                ++j;
            }
            if (j == got.size()) {
                return "the reference's row " + std::to_string(i) + " '" + want[i] +
                       "' is missing from the client's, or out of order";
            }
            ++j;
        }
        return {};
    }

    // Within the burst the client holds the reference's rows exactly; past it, the first
    // rows whole and then a subsequence of the rest, none doubled.
    static std::string CompareRows(const std::vector<std::string>& got,
                                   const std::vector<std::string>& want, std::size_t history,
                                   DWORD burst) {
        std::ostringstream out;
        if (burst >= history) {
            if (got == want) {
                return {};
            }
            std::size_t i = 0;
            while (i < got.size() && i < want.size() && got[i] == want[i]) {
                ++i;
            }
            out << "the client's rows differ from row " << i << " of " << want.size()
                << " (client has " << got.size() << "): client '"
                << (i < got.size() ? got[i] : "(none)") << "', reference '"
                << (i < want.size() ? want[i] : "(none)") << "'";
            return out.str();
        }
        for (std::size_t i = 0; i < burst; ++i) {
            if (i >= got.size() || got[i] != want[i]) {
                out << "row " << i << " of the burst's " << burst << " is not the reference's";
                return out.str();
            }
        }
        std::size_t j = 0;
        for (std::size_t i = 0; i < got.size(); ++i) {
            while (j < want.size() && want[j] != got[i]) {
                ++j;
            }
            if (j == want.size()) {
                out << "client row " << i << " '" << got[i]
                    << "' is doubled, out of order or not the program's";
                return out.str();
            }
            ++j;
        }
        return {};
    }

    static std::string Printable(const std::string& bytes) {
        std::string out;
        for (const unsigned char c : bytes) {
            if (c >= 0x20 && c < 0x7F) {
                out.push_back(static_cast<char>(c));
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            }
        }
        return out;
    }

    test::TempDir m_files;
    // ZAV_STRESS_DUMP: every export's bytes and the rows of both terminals, for a replay.
    const bool m_dump = std::getenv("ZAV_STRESS_DUMP") != nullptr;
};

TEST_F(OutputFlowStress, GeneratedProgramsFlowToTheEndAndKeepEveryLine) {
    const unsigned cases = EnvNumber("ZAV_STRESS_CASES", ZAV_STRESS_CASES);
    const unsigned first = EnvNumber("ZAV_STRESS_SEED", 1);
    for (unsigned seed = first; seed < first + cases; ++seed) {
        const Program program = Generate(seed);
        const std::string fault = RunCase(program);
        ASSERT_EQ(fault, "") << program.Describe();
    }
}

}  // namespace
