// A small program the tests run in a fresh process: it reports what the library sees
// of its own command line, its settings file and its trace facility.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "console/ConsoleFlow.h"
#include "infra/ZTraceScope.h"
#include "platform/ZWinsta.h"
#include "session/ZTermConfig.h"

namespace {

void Print(const char* name, const std::string& value) {
    std::printf("%s=[%s]\n", name, value.c_str());
}

void Print(const char* name, unsigned long value) {
    std::printf("%s=[%lu]\n", name, value);
}

int Switches() {
    for (const char* name : {"-ppid:", "-debug:", "-port:", "-ip:"}) {
        Print(name, ZWinsta::GetCmdLineParam(name));
    }
    return 0;
}

int Config() {
    ZTermConfig c;
    Print("rsakey_file", c.rsakey_file);
    Print("welcome_message", c.welcome_message);
    Print("login_message", c.login_message);
    Print("pass_message", c.pass_message);
    Print("pass_timeout_message", c.pass_timeout_message);
    Print("idle_timeout_message", c.idle_timeout_message);
    Print("service_stopped_message", c.service_stopped_message);
    Print("login_successfull_message", c.login_successfull_message);
    Print("allowed_login_list", c.allowed_login_list);
    Print("fordbiden_login_list", c.fordbiden_login_list);
    Print("shell_command", c.shell_command);
    Print("default_pass", c.default_pass);
    Print("default_domain", c.default_domain);
    Print("log_file", c.log_file);
    Print("trace_file", c.trace_file);
    Print("error_file", c.error_file);
    Print("key_init", c.key_init);
    Print("telnet_init", c.telnet_init);
    Print("screen_width", c.screen_width);
    Print("screen_height", c.screen_height);
    Print("buff_height", c.buff_height);
    Print("pass_timeout", c.pass_timeout);
    Print("idle_timeout", c.idle_timeout);
    Print("keep_alive_interval", c.keep_alive_interval);
    Print("detach_timeout", c.detach_timeout);
    Print("reattach", c.reattach);
    Print("refresh_delay", c.refresh_delay);
    Print("max_login_attempts", c.max_login_attempts);
    Print("trace_level", c.trace_level);
    Print("trace_level_signed", std::to_string(static_cast<int>(c.trace_level)));
    Print("dumb_client", c.dumb_client ? 1UL : 0UL);
    Print("exec_commands", c.exec_commands ? 1UL : 0UL);
    Print("log_iso_time", c.log_iso_time ? 1UL : 0UL);
    Print("accept_env", c.accept_env);
    Print("print_motd", c.print_motd ? 1UL : 0UL);
    Print("print_last_log", c.print_last_log ? 1UL : 0UL);
    Print("port", c.port);
    Print("ip", c.ip);
    for (const char* name : {"ZAV_VERSION", "ZAV_IP", "ZAV_PORT"}) {
        const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
        Print(name, value != nullptr ? value : "(unset)");
    }
    // What the configuration load left in the recent lines.
    Print("recent", RecentLines(""));
    return 0;
}

// Twelve lines with no file names set: nothing may reach the disk.
int RecentOnly() {
    for (int i = 1; i <= 12; ++i) {
        LogLine("line " + std::to_string(i));
    }
    std::fputs(RecentLines("").c_str(), stdout);
    return 0;
}

// Three lines, then an error: the error file gets exactly those four.
int ErrorAfterThree(const char* errorFile) {
    ErrorFile(errorFile);
    LogLine("one");
    LogLine("two");
    LogLine("three");
    ErrorLine("boom");
    return 0;
}

// The window station cannot be opened without a console, and nothing after the first
// step happens. Descriptors run out, so no console can be created: two are left, fewer
// than the console needs, because the sanitizers' memory checks open a pipe and would
// otherwise report a false error when the console object is made.
int WinstaWithoutDescriptors() {
    const int lowest = ::dup(0);
    ::close(lowest);
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    const rlimit limit{static_cast<rlim_t>(lowest + 2), saved.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    const bool ok = ZWinsta::SetWinstaAndDesktop("zav");
    ::setrlimit(RLIMIT_NOFILE, &saved);
    std::printf("result=[%d]\n", ok ? 1 : 0);
    std::fputs(RecentLines("").c_str(), stdout);
    return 0;
}

// Reads the terminal raw, as a full-screen program does, and appends every byte it
// receives to file; the top row shows the running total. With "app" it first switches
// the terminal to application cursor keys, as editors do.
int Keys(const char* file, bool application) {
    termios mode{};
    ::tcgetattr(0, &mode);
    ::cfmakeraw(&mode);
    ::tcsetattr(0, TCSANOW, &mode);
    const int out = ::open(file, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (out < 0) {
        return 1;
    }
    std::string status = application ? "\x1b[?1h" : "";
    status += "\x1b[H\x1b[2Ktotal 0";
    [[maybe_unused]] ssize_t n = ::write(1, status.data(), status.size());
    std::size_t total = 0;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(0, buffer, sizeof buffer);
        if (got <= 0) {
            return 0;
        }
        n = ::write(out, buffer, static_cast<std::size_t>(got));
        total += static_cast<std::size_t>(got);
        status = "\x1b[H\x1b[2Ktotal " + std::to_string(total);
        n = ::write(1, status.data(), status.size());
    }
}

volatile sig_atomic_t g_interrupted = 0;

// Waits for SIGINT and says so.
int Interrupt() {
    struct sigaction action {};
    action.sa_handler = [](int) { g_interrupted = 1; };
    ::sigaction(SIGINT, &action, nullptr);
    sigset_t blocked;
    sigset_t previous;
    ::sigemptyset(&blocked);
    ::sigaddset(&blocked, SIGINT);
    ::sigprocmask(SIG_BLOCK, &blocked, &previous);
    std::printf("waiting\n");
    std::fflush(stdout);
    while (g_interrupted == 0) {
        ::sigsuspend(&previous);
    }
    std::printf("interrupted\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    ProvideConsoleTerminal();
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "switches") {
        return Switches();
    }
    if (mode == "config") {
        return Config();
    }
    if (mode == "winsta-without-descriptors") {
        return WinstaWithoutDescriptors();
    }
    if (mode == "recent-only") {
        return RecentOnly();
    }
    if (mode == "error-after-three" && argc > 2) {
        return ErrorAfterThree(argv[2]);
    }
    if (mode == "keys" && argc > 2) {
        return Keys(argv[2], argc > 3 && std::string_view(argv[3]) == "app");
    }
    if (mode == "interrupt") {
        return Interrupt();
    }
    std::fprintf(stderr,
                 "usage: zav_probe switches|config|recent-only|error-after-three FILE|"
                 "keys FILE [app]|interrupt\n");
    return 2;
}
