// A terminal for end-to-end tests: a command (normally the OpenSSH client) running in a
// tmux pane of a given size, on a tmux server of the test's own.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>

#include "base/PollTimeout.h"
#include "support/TestSupport.h"

namespace test {

class Tmux {
  public:
    // history: the lines the pane keeps beyond its rows; settings: more lines of tmux.conf.
    Tmux(const std::string& command, int columns, int rows, int history = 2000,
         const std::string& settings = "") {
        test::WriteFile(m_directory / "tmux.conf",
                        "set-option -g history-limit " + std::to_string(history) + "\n" + settings);
        // The pane's terminal sends SIGWINCH to the processes in its foreground group when
        // its size changes: a watcher started beside the command in that group passes each
        // one on through a FIFO (and says "ready" once it listens), for Resize to wait on.
        // The pane's shell then waits for the watcher, which ends with the server (SIGHUP),
        // so that the pane stays to be read after the command ended.
        const std::string fifo = m_directory / "resized";
        if (::mkfifo(fifo.c_str(), 0600) == 0) {
            m_resized.Reset(::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        }
        const std::string watcher =
            "python3 -c " +
            Quote(
                "import os, signal, sys; fd = os.open(sys.argv[1], os.O_WRONLY | os.O_NONBLOCK); "
                "signal.signal(signal.SIGWINCH, lambda *_: os.write(fd, b'w')); "
                "os.write(fd, b'r'); [signal.pause() for _ in iter(int, 1)]") +
            " " + Quote(fifo) + " & ";
        Run(Tmux::Command("new-session -d -x " + std::to_string(columns) + " -y " +
                          std::to_string(rows) + " " + Quote(watcher + command + "; wait")));
    }
    ~Tmux() { Run(Command("kill-server") + " 2>/dev/null"); }
    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;

    // The pane's text, one line per row, trailing blanks removed.
    std::string Capture() { return Run(Command("capture-pane -p")).output; }
    // The scroll-back and the pane, oldest line first.
    std::string History() { return Run(Command("capture-pane -p -S -")).output; }
    // The same with the colours as SGR sequences.
    std::string CaptureWithColours() { return Run(Command("capture-pane -p -e")).output; }
    // Keys in tmux's notation (Enter, C-c, Up) or literal text with literal = true.
    void Send(const std::string& keys, bool literal = false) {
        Run(Command(std::string("send-keys ") + (literal ? "-l " : "") + Quote(keys)));
    }
    // Bytes as they are (a terminal's own reports), delivered together.
    void SendBytes(const std::string& bytes) {
        std::string arguments = "send-keys -H";
        for (const char c : bytes) {
            const char* digits = "0123456789abcdef";
            const auto byte = static_cast<unsigned char>(c);
            arguments += {' ', digits[byte >> 4], digits[byte & 0xF]};
        }
        Run(Command(arguments));
    }
    // Several keys in tmux's notation, delivered together.
    void SendTogether(std::initializer_list<const char*> keys) {
        std::string arguments = "send-keys";
        for (const char* k : keys) {
            arguments += " " + Quote(k);
        }
        Run(Command(arguments));
    }
    // Pastes the file's text into the pane as a terminal paste does (line ends as CR).
    void Paste(const std::string& path) {
        Run(Command("load-buffer -b paste " + Quote(path)));
        Run(Command("paste-buffer -d -b paste"));
    }
    // Resizes the window; true once the pane's terminal has the new size, and with it the
    // program in the pane (SIGWINCH), false when it has not after seconds. tmux draws the
    // pane in its new size at once, but a pane resized within 250 ms of its last resize
    // gets the size on its terminal only when that time is up: keys sent before then would
    // reach the program (the SSH client, and through it the session) ahead of the resize.
    [[nodiscard]] bool Resize(int columns, int rows, int seconds = 10) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        // The watcher listens before the first resize, or its signal could be missed.
        while (!m_watching) {
            const int left = PollTimeout(deadline);
            if (!m_resized.Valid() || left == 0 || !Signalled(left)) {
                return false;
            }
            m_watching = true;
        }
        Run(Command("resize-window -x " + std::to_string(columns) + " -y " + std::to_string(rows)));
        std::string tty = Execute("display-message -p '#{pane_tty}'");
        if (!tty.empty() && tty.back() == '\n') {
            tty.pop_back();
        }
        for (;;) {
            winsize size{};
            const UniqueFd pane(::open(tty.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
            if (pane.Valid() && ::ioctl(pane.Get(), TIOCGWINSZ, &size) == 0 &&
                size.ws_col == columns && size.ws_row == rows) {
                return true;
            }
            const int left = PollTimeout(deadline);
            if (left == 0 || !Signalled(left)) {
                return false;
            }
        }
    }

    // Any tmux command on this server (arguments as the shell splits them); its output.
    std::string Execute(const std::string& arguments) { return Run(Command(arguments)).output; }

    // Polls the pane until condition holds on its text; false after seconds.
    bool WaitFor(const std::function<bool(const std::string&)>& condition, int seconds = 20) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            if (condition(Capture())) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    bool WaitForText(const std::string& text, int seconds = 20) {
        return WaitFor(
            [&](const std::string& pane) { return pane.find(text) != std::string::npos; }, seconds);
    }

  private:
    // The server's socket is in the test's own directory (not /tmp/tmux-UID), removed with it.
    std::string Command(const std::string& arguments) const {
        return "tmux -S " + Quote(m_directory / "tmux") + " -f " +
               Quote(m_directory / "tmux.conf") + " " + arguments;
    }

    // Waits up to ms for word from the watcher, and takes all it said.
    bool Signalled(int ms) {
        pollfd pfd{m_resized.Get(), POLLIN, 0};
        if (::poll(&pfd, 1, ms) <= 0) {
            return false;
        }
        char bytes[64];
        while (::read(m_resized.Get(), bytes, sizeof bytes) > 0) {
        }
        return true;
    }

    TempDir m_directory;
    UniqueFd m_resized;  // the FIFO the watcher in the pane writes to
    bool m_watching = false;
};

// The OpenSSH client for a test server on the loopback port: no configuration files, no
// host key checks. Options in extra come first, so they win over the defaults here.
inline std::string SshCommand(int port, const std::string& user, const std::string& extra = "") {
    return "ssh " + extra + " -F /dev/null -p " + std::to_string(port) +
           " -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR" +
           " -t " + user + "@127.0.0.1";
}

}  // namespace test
