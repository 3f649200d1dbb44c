// brisel: the session process for one client connection, started by zavd.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "console/ConsoleFlow.h"
#include "session/ZBrisel.h"
#include "session/ZConfigCheck.h"
#include "session/ZTermConfig.h"
#include "win32/ProcessMemory.h"
#include "win32/ProcessPrivacy.h"

namespace {

constexpr const char* kUsage =
    "usage: brisel -ppid:PID -ip:ADDRESS -port:PORT [-registry:FD] [-debug:1]\n"
    "The session process of the zav terminal server, started by zavd for one connection;\n"
    "not meant to be run by hand. It reads ./zav.ini, takes the connection over from the\n"
    "service PID through the hand-off sockets in $ZAV_PIPE_DIR, runs the SSH channel,\n"
    "asks for the password in its console and starts the user's shell.\n"
    "  -ppid:PID      zavd's process id; the session ends when it does\n"
    "  -ip:ADDRESS    the client's address (ZAV_IP, and part of the hand-off name)\n"
    "  -port:PORT     the client's port (ZAV_PORT, and part of the hand-off name)\n"
    "  -registry:FD   zavd's channel for detached sessions (given by zavd; as root)\n"
    "  -debug:1       any password is accepted and the shell runs under this account\n"
    "brisel --check-config [DIR] checks DIR/zav.ini (default ./zav.ini) and the files it\n"
    "names as the session reads them, reports each problem on standard error and exits\n"
    "(1: problems found); zavd runs it before it starts.\n"
    "brisel --version shows the version; brisel --help (or -h) shows this text.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("brisel %s\n", ZTermConfig::kVersion);
        return 0;
    }
    if ((argc == 2 || argc == 3) && std::strcmp(argv[1], "--check-config") == 0) {
        // As sshd -t: one line per problem, nothing when the settings are fine.
        const std::vector<std::string> problems = ZConfigCheck::Run(argc == 3 ? argv[2] : ".");
        for (const std::string& problem : problems) {
            std::fprintf(stderr, "%s\n", problem.c_str());
        }
        return problems.empty() ? 0 : 1;
    }
    // One memory arena for all threads: a session's threads allocate little, and an arena
    // of their own would cost every idle session the pages it touches.
    UseOneMemoryArena();
    // A process that reads passwords is neither dumped nor open to a debugger.
    MakeProcessUndumpable();
    // The shell starts on the session's console, and PAM is told its terminal.
    ProvideConsoleTerminal();
    auto session = std::make_unique<ZBrisel>();
    const int result = session->Run();
    if (session->LoginThreadDone()) {
        session.reset();
        return result;
    }
    // The login thread may still wait for a password in the session's console and must
    // never find the session gone: the channel is closed in order and the process ends
    // with the thread.
    session->ShutDownChannel();
    ExitProcess(static_cast<UINT>(result));
}
