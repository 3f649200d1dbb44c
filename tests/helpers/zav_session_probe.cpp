// A small session program for the service and transport tests, started by zavd (or a
// test acting as the service) the way brisel is. It reads ./zav.ini like a session, takes
// its connection over, and then behaves as the file ./behaviour says:
//   greet        writes "session PID peer IP:PORT client=IP:PORT" (the socket's peer,
//                then the -ip: and -port: it was given) to the client, echoes what the
//                client sends, and waits for the client to close or the service to end
//                ("ZAV service stopped")
//   ssh          runs the SSH channel: reports the user name, terminal size and the
//                client's address ("client=IP:PORT", from -ip: and -port:), echoes
//                what arrives as hex ("got=..."), reports size changes; "q" ends it,
//                "i" reports the next three empty reads
//   foreign      as greet, after a child process (a stranger to the service) tried both
//                pipes first; the greeting ends in "foreign=refused" when it was turned away
//   crash        dies in the middle of the exchange
//   hang         stops in the middle of the exchange
//   empty-write  connects the pipes, writes an empty message, then the process id, exits
//   registry     as greet, and on the registry channel (-registry:FD) as a session's
//                monitor: the client's line "logon" reports it logged on ("attached",
//                account probe-user); zavd's End is passed on as "end" and ends it
// With --check-config DIR it checks the settings as brisel does.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "base/RegistryWire.h"
#include "console/ConsoleFlow.h"
#include "infra/ZTraceScope.h"
#include "platform/ZWinsta.h"
#include "session/ZConfigCheck.h"
#include "session/ZTermConfig.h"
#include "transport/ZPipe.h"
#include "transport/ZSocket.h"
#include "transport/ZSocketDup.h"
#include "transport/ZSsh.h"

namespace {

// ./behaviour.PORT for the connection from that client port, else ./behaviour.
std::string Behaviour(const std::string& port) {
    std::ifstream own("behaviour." + port);
    std::ifstream shared("behaviour");
    std::string word;
    (own ? own : shared) >> word;
    return word.empty() ? "greet" : word;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

void Send(int fd, const std::string& text) {
    [[maybe_unused]] ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

int ServicePidfd() {
    const long pid = std::strtol(ZWinsta::GetCmdLineParam("-ppid:").c_str(), nullptr, 10);
    return pid > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)) : -1;
}

// Waits until the client closes or the service ends; says so in the second case. With a
// registry channel, reports the log-on there when the client asks, and ends on End.
int Greet(int socket, const std::string& peer, const std::string& extra, int registry = -1,
          const std::string& client = {}) {
    // The service is watched before the client hears of the session: a test may stop the
    // service as soon as the greeting arrives, and a service already gone and reaped
    // could no longer be watched.
    pollfd fds[3] = {{socket, POLLIN, 0}, {ServicePidfd(), POLLIN, 0}, {registry, POLLIN, 0}};
    Send(socket, "session " + std::to_string(::getpid()) + " peer " + peer + extra + "\n");
    for (;;) {
        if (::poll(fds, registry >= 0 ? 3 : 2, -1) < 0) {
            return 1;
        }
        if (registry >= 0 && (fds[2].revents & POLLIN) != 0) {
            RegistryMessage message;
            if (RegistryWire::Receive(registry, message) && message.code == RegistryCode::End) {
                Send(socket, "end\n");
                LogLine("ended by zavd");
                return 0;
            }
            return 1;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            Send(socket, "ZAV service stopped\n");
            LogLine("ZAV service stopped");
            return 0;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            char buffer[256];
            const ssize_t n = ::read(socket, buffer, sizeof buffer);
            if (n <= 0) {
                LogLine("disconnected");
                return 0;
            }
            const std::string line(buffer, static_cast<std::size_t>(n));
            if (registry >= 0 && line == "logon\n" &&
                !RegistryWire::Send(registry, RegistryCode::State,
                                    {"attached", "probe-user", std::to_string(::getuid()), client,
                                     std::to_string(::getpid()), "0"})) {
                return 1;
            }
            Send(socket, line);
        }
    }
}

int Ssh(SOCKET socket, const std::string& keyFile, const std::string& client) {
    ZSsh ssh;
    ssh.m_session->SetAcceptEnv("LANG LC_* ZT_*");
    ssh.Init(socket, keyFile, ZSsh::kKeysetPassword);
    LogLine("ssh initialized");
    ssh.GetTerminalSize();
    int width = ssh.m_width;
    int height = ssh.m_height;
    ssh.Push("user=" + ssh.m_userName + " size=" + std::to_string(width) + "x" +
             std::to_string(height) + " client=" + client + "\r\n");
    // The variables the client sent that were taken, in order.
    std::string taken;
    for (const auto& v : ssh.m_session->Environment()) {
        taken += v.name + "=" + v.value + ";";
    }
    if (!taken.empty()) {
        ssh.Push("env=[" + taken + "]\r\n");
    }
    const int service = ServicePidfd();
    int idleReports = 0;
    int emptyPops = 0;
    for (;;) {
        pollfd p{service, POLLIN, 0};
        if (service >= 0 && ::poll(&p, 1, 0) == 1) {
            ssh.Push("ZAV service stopped\r\n");
            LogLine("ZAV service stopped");
            break;
        }
        std::string in;
        if (!ssh.Pop(in)) {
            LogLine("disconnected");
            break;
        }
        ssh.GetTerminalSize();
        if (ssh.m_width != width || ssh.m_height != height) {
            width = ssh.m_width;
            height = ssh.m_height;
            ssh.Push("size=" + std::to_string(width) + "x" + std::to_string(height) + "\r\n");
        }
        if (in.empty()) {
            if (idleReports > 0 && ++emptyPops == 3) {
                ssh.Push("idle pops=3 empty\r\n");
                idleReports = 0;
            }
            continue;
        }
        // The program behind the channel ends: q with status 0, e with 42, k by SIGKILL.
        if (in == "q" || in == "e" || in == "k") {
            SshServer::ProgramEnd end;
            if (in == "k") {
                end.signal = SIGKILL;
            } else {
                end.status = in == "q" ? 0 : 42;
            }
            ssh.SetProgramEnd(end);
            break;
        }
        if (in == "i") {
            idleReports = 1;
            emptyPops = 0;
        }
        ssh.Push("got=" + Hex(in) + "\r\n");
    }
    ssh.ShutDown();
    return 0;
}

UniqueFd ConnectTo(const std::string& name) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = std::string(std::getenv("ZAV_PIPE_DIR")) + "/" + name;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    return fd;
}

// A process that is not the session connects to both pipes and asks for the socket;
// true when it was turned away (its request connection closed without an answer).
bool ForeignRefused(const std::string& suffix) {
    const pid_t child = ::fork();
    if (child == 0) {
        const UniqueFd reply = ConnectTo("ZAV_sw_" + suffix);
        const UniqueFd request = ConnectTo("ZAV_sr_" + suffix);
        const pid_t self = ::getpid();
        std::string message("\x04\0\0\0", 4);
        message.append(reinterpret_cast<const char*>(&self), 4);
        Send(request.Get(), message);
        char buffer[16];
        // Closed (or reset, since the message was never read) without an answer.
        ::_exit(request.Valid() && ::read(request.Get(), buffer, sizeof buffer) <= 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    ProvideConsoleTerminal();
    // zavd checks the settings with the session program it starts, as with brisel.
    if (argc == 3 && std::string(argv[1]) == "--check-config") {
        const std::vector<std::string> problems = ZConfigCheck::Run(argv[2]);
        for (const std::string& problem : problems) {
            std::fprintf(stderr, "%s\n", problem.c_str());
        }
        return problems.empty() ? 0 : 1;
    }
    ZTermConfig config;
    TraceThreshold(0);
    ErrorFile(config.error_file);
    TraceFile(config.trace_file);
    LogFile(config.log_file);
    LogLine("started");
    const std::string behaviour = Behaviour(config.port);
    const std::string suffix = "zav" + config.ip + config.port;
    ZSocket::WSAStartup();

    if (behaviour == "crash" || behaviour == "hang" || behaviour == "empty-write") {
        ZPipe pipe;
        if (!pipe.Connect(suffix)) {
            return 1;
        }
        if (behaviour == "empty-write") {
            pipe.Write("");
        }
        const DWORD pid = GetCurrentProcessId();
        pipe.Write(std::string(reinterpret_cast<const char*>(&pid), 4));
        if (behaviour == "crash") {
            ::raise(SIGKILL);  // killed in the middle of the exchange
        }
        if (behaviour == "hang") {
            for (;;) {
                ::pause();
            }
        }
        return 0;
    }

    const std::string client = config.ip + ":" + config.port;
    std::string extra = " client=" + client;
    if (behaviour == "foreign") {
        extra += ForeignRefused(suffix) ? " foreign=refused" : " foreign=served";
    }
    const SOCKET socket = ZSocketDup::GetSocket(suffix);
    ZSocket wrapper(socket);
    const std::string peer = wrapper.GetConnectionIP() + ":" + wrapper.GetConnectionPort();
    LogLine("socket " + std::to_string(socket) + " connected to " + peer);
    if (socket == INVALID_SOCKET && behaviour != "ssh") {
        return 0;
    }
    if (behaviour == "ssh") {
        return Ssh(socket, config.rsakey_file, client);
    }
    if (behaviour == "registry") {
        const int registry = std::atoi(ZWinsta::GetCmdLineParam("-registry:").c_str());
        return Greet(static_cast<int>(socket), peer, extra, registry > 2 ? registry : -1, client);
    }
    return Greet(static_cast<int>(socket), peer, extra);
}
