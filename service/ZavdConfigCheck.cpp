#include "service/ZavdConfigCheck.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>

#include "base/UniqueFd.h"
#include "infra/ZSafePath.h"
#include "service/ErrorText.h"
#include "service/ZavdKeyFile.h"
#include "service/ZavdSpawn.h"
#include "transport/HandOffIo.h"
#include "transport/SshServer.h"
#include "transport/ZSsh.h"

extern char** environ;  // NOLINT

namespace {

using Clock = std::chrono::steady_clock;

// Starts `session --check-config workdir` with its standard error on errors, its standard
// input and output on /dev/null, no other descriptor, and the environment the sessions
// get (less the hand-off directory, which does not exist yet); 0 or the error.
int Start(const std::string& session, const std::string& workdir, int errors, pid_t& pid) {
    std::vector<std::string> arguments = {session, "--check-config", workdir};
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (std::string& a : arguments) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const std::string hidden = std::string(handoff::kDirectoryVariable) + "=";
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, hidden.c_str(), hidden.size()) != 0) {
            envp.push_back(*e);
        }
    }
    envp.push_back(nullptr);

    ZavdSpawn spawn(errors, 0);
    // Nothing else of zavd's: the sockets systemd passed are not yet close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&spawn.Actions(), 3);
    return spawn.Start(pid, argv.data(), envp.data());
}

// Reads what the check writes until it closes its end, at most kMaxReport bytes kept;
// false when the deadline passed first.
bool ReadReport(int fd, Clock::time_point deadline, std::string& report) {
    std::array<char, 4096> buffer{};
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd watched{fd, POLLIN, 0};
        const int ready = ::poll(&watched, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return true;
        }
        const std::size_t room =
            ZavdConfigCheck::kMaxReport - std::min(report.size(), ZavdConfigCheck::kMaxReport);
        report.append(buffer.data(), std::min(room, static_cast<std::size_t>(n)));
    }
}

// Whether a line of a settings file opens the section [ZTerm].
bool OpensTermSection(std::string_view line) {
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] != '[') {
        return false;
    }
    const std::size_t close = line.find(']', first);
    const std::string_view name =
        line.substr(first + 1, close == std::string_view::npos ? close : close - first - 1);
    return name.size() == 5 && ::strncasecmp(name.data(), "zterm", 5) == 0;
}

// Whether the settings file holds the [ZTerm] section zavd reads rsakey_file from; when
// it does not (or cannot be read), the session's check has said so, and there is no
// key-set file to look at.
bool HasTermSection(int directory) {
    const ZSafePath::Opened file = ZSafePath::OpenForReading("zav.ini", directory);
    std::array<char, 65536> buffer{};
    std::string line;  // the start of the line being read; a section name is short
    while (file.fd.Valid()) {
        const ssize_t n = ::read(file.fd.Get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n == 0 && OpensTermSection(line);
        }
        for (const char c : std::string_view(buffer.data(), static_cast<std::size_t>(n))) {
            if (c == '\n' || c == '\r') {
                if (OpensTermSection(line)) {
                    return true;
                }
                line.clear();
            } else if (line.size() < 1024) {
                line += c;
            }
        }
    }
    return false;
}

// What to do about a key-set file that cannot be opened, by why.
std::string KeyAdvice(int error) {
    if (error == ENOENT) {
        return "; zavd --genkey creates it";
    }
    if (error == EACCES) {
        return "; run the check as root, as the service runs";
    }
    return {};
}

std::string Slashed(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

}  // namespace

std::vector<std::string> ZavdConfigCheck::Run(const std::string& session,
                                              const std::string& workdir, bool keyFile) {
    std::vector<std::string> problems;
    CheckSession(session, workdir, problems);
    if (keyFile) {
        CheckKeyFile(workdir, problems);
    }
    return problems;
}

void ZavdConfigCheck::CheckSession(const std::string& session, const std::string& workdir,
                                   std::vector<std::string>& problems) {
    const std::string program = "cannot check the settings: " + session + " --check-config";
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        problems.push_back(program + ": cannot make a pipe: " + ErrorText(errno));
        return;
    }
    const UniqueFd reader(ends[0]);
    UniqueFd writer(ends[1]);
    pid_t pid = -1;
    const int rc = Start(session, workdir, writer.Get(), pid);
    writer.Reset();
    if (rc != 0) {
        problems.push_back(program + ": " + ErrorText(rc));
        return;
    }
    // Bounded: a check that hangs is ended, and so is one that closed its standard error
    // and went on.
    const UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)));
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kTimeoutMs);
    std::string report;
    bool finished = ReadReport(reader.Get(), deadline, report);
    if (finished && process.Valid()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd watched{process.Get(), POLLIN, 0};
        finished = left.count() > 0 && ::poll(&watched, 1, static_cast<int>(left.count())) == 1;
    }
    if (!finished) {
        if (process.Valid()) {
            ::syscall(SYS_pidfd_send_signal, process.Get(), SIGKILL, nullptr, 0U);
        } else {
            ::kill(pid, SIGKILL);
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }

    std::size_t start = 0;
    std::size_t lines = 0;
    while (start < report.size()) {
        const std::size_t end = std::min(report.find('\n', start), report.size());
        if (end > start) {
            problems.push_back(report.substr(start, end - start));
            ++lines;
        }
        start = end + 1;
    }
    if (!finished) {
        problems.push_back(program + ": did not finish within " +
                           std::to_string(kTimeoutMs / 1000) + " s; ended");
    } else if (WIFSIGNALED(status)) {
        problems.push_back(program + ": killed by signal " + std::to_string(WTERMSIG(status)));
    } else if (WEXITSTATUS(status) > 1 || (WEXITSTATUS(status) == 1 && lines == 0)) {
        problems.push_back(program + ": failed with exit code " +
                           std::to_string(WEXITSTATUS(status)));
    }
}

void ZavdConfigCheck::CheckKeyFile(const std::string& workdir, std::vector<std::string>& problems) {
    const std::string term = "zav.ini: [ZTerm] ";
    // The session runs in the work directory: the key-set file's name starts there.
    const UniqueFd directory(::open(workdir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!directory.Valid() || !HasTermSection(directory.Get())) {
        return;
    }
    const std::string name = ZavdKeyFile::NameFromSettings(workdir);
    if (ZavdKeyFile::PathFromSettings(workdir).empty()) {
        problems.push_back(term +
                           "rsakey_file: not set; name the key-set file, and zavd "
                           "--genkey creates it");
        return;
    }
    // Loaded as the session loads it: no link followed, private to a trusted account.
    SshServer server;
    switch (server.LoadKey(Slashed(name), ZSsh::kKeysetPassword, directory.Get())) {
        case SshServer::kOk:
            break;
        case SshServer::kErrorOpen:
            // Only a missing file is --genkey's to make; one this account may not read is
            // the service's (root's), and is checked by running the check as root.
            problems.push_back(term + "rsakey_file: cannot read " + name + ": " +
                               server.KeyProblem() + KeyAdvice(server.KeyError()));
            break;
        case SshServer::kErrorPermission:
            problems.push_back(term + "rsakey_file: " + server.KeyProblem());
            break;
        default:
            problems.push_back(term + "rsakey_file: " + name +
                               " is no key-set file of this server; move it away and "
                               "run zavd --genkey");
    }
}
