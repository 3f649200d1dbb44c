// A terminal for end-to-end tests: a command (normally the OpenSSH client) running in a
// tmux pane of a given size, on a tmux server of the test's own.
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>

#include "support/TestSupport.h"

namespace test {

class Tmux {
  public:
    // history: the lines the pane keeps beyond its rows; settings: more lines of tmux.conf.
    Tmux(const std::string& command, int columns, int rows, int history = 2000,
         const std::string& settings = "") {
        test::WriteFile(m_directory / "tmux.conf",
                        "set-option -g history-limit " + std::to_string(history) + "\n" + settings);
        Run(Tmux::Command("new-session -d -x " + std::to_string(columns) + " -y " +
                          std::to_string(rows) + " " + Quote(command + "; sleep 3600")));
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
        Run(Command("resize-window -x " + std::to_string(columns) + " -y " + std::to_string(rows)));
        std::string tty = Execute("display-message -p '#{pane_tty}'");
        if (!tty.empty() && tty.back() == '\n') {
            tty.pop_back();
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            winsize size{};
            const UniqueFd pane(::open(tty.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
            if (pane.Valid() && ::ioctl(pane.Get(), TIOCGWINSZ, &size) == 0 &&
                size.ws_col == columns && size.ws_row == rows) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            // Nothing here tells when tmux's delay is up: the terminal is looked at again.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
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

    TempDir m_directory;
};

// The OpenSSH client for a test server on the loopback port: no configuration files, no
// host key checks. Options in extra come first, so they win over the defaults here.
inline std::string SshCommand(int port, const std::string& user, const std::string& extra = "") {
    return "ssh " + extra + " -F /dev/null -p " + std::to_string(port) +
           " -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR" +
           " -t " + user + "@127.0.0.1";
}

}  // namespace test
