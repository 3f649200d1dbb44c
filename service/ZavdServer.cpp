#include "service/ZavdServer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

#include "base/SocketAddress.h"
#include "service/ErrorText.h"
#include "service/ZavdHandOff.h"
#include "service/ZavdSpawn.h"
#include "transport/HandOffIo.h"
#include "win32/CgroupJob.h"

extern char** environ;  // NOLINT

namespace {

UniqueFd OpenProcessFd(pid_t pid) {
    return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)));
}

void Kill(int pidfd) {
    if (pidfd >= 0) {
        ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0U);
    }
}

// The session's descriptor for its end of the registry channel (-registry:3).
constexpr int kRegistryFd = 3;

// The account that PROXY headers are read as when zavd runs as root.
constexpr const char* kReaderAccount = "zav";

std::string Now() {
    const std::time_t t = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

// A session has logged on once it has started its shell: it then has a child process
// other than itself (run as root, a session is a monitor with its worker as a child; the
// shell is another child, of another program).
bool LoggedOn(pid_t session) {
    const std::string proc = "/proc/" + std::to_string(session);
    std::string name;
    std::getline(std::ifstream(proc + "/comm"), name);
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(proc + "/task", error)) {
        std::ifstream children(task.path() / "children");
        for (pid_t child = 0; children >> child;) {
            std::string childName;
            std::getline(std::ifstream("/proc/" + std::to_string(child) + "/comm"), childName);
            if (childName != name) {
                return true;
            }
        }
    }
    return false;
}

// Whether standard error is the systemd journal's stream (JOURNAL_STREAM names its
// device and inode).
bool ToJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");  // NOLINT(concurrency-mt-unsafe)
    struct stat st {};
    if (stream == nullptr || ::fstat(2, &st) != 0) {
        return false;
    }
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) == stream;
}

std::string Describe(int status) {
    if (WIFSIGNALED(status)) {
        return "killed by signal " + std::to_string(WTERMSIG(status));
    }
    return "exit code " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

ZavdServer::ZavdServer(ZavdOptions options)
    : m_options(std::move(options)),
      m_registry([this](const std::string& line) { Log(line); }),
      m_control([this](const std::string& request) { return Answer(request); },
                [this](const std::string& line) { Log(line); }) {}

ZavdServer::~ZavdServer() {
    for (Worker& w : m_handOffs) {
        w.thread.join();
    }
    m_group.Leave();
}

bool ZavdServer::Start(std::string& error) {
    for (const ZavdListen& address : m_options.listen) {
        const bool v6 = address.host.find(':') != std::string::npos;
        UniqueFd fd(
            ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        const int on = 1;
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_storage storage{};
        socklen_t length = 0;
        if (v6) {
            ::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            auto& a = reinterpret_cast<sockaddr_in6&>(storage);
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(static_cast<std::uint16_t>(address.port));
            ::inet_pton(AF_INET6, address.host.c_str(), &a.sin6_addr);
            length = sizeof a;
        } else {
            auto& a = reinterpret_cast<sockaddr_in&>(storage);
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<std::uint16_t>(address.port));
            ::inet_pton(AF_INET, address.host.c_str(), &a.sin_addr);
            length = sizeof a;
        }
        const std::string shown = SocketAddress::Join(address.host, std::to_string(address.port));
        if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
            ::listen(fd.Get(), 128) != 0) {
            error = "cannot listen on " + shown + ": " + ErrorText(errno);
            return false;
        }
        // Port 0 takes a free port: report the one given.
        length = sizeof storage;
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&storage), &length);
        const unsigned port = SocketAddress(storage).Port();
        m_listening.push_back(SocketAddress::Join(address.host, std::to_string(port)) +
                              (address.proxy ? ",proxy" : ""));
        if (address.proxy) {
            m_proxyListeners.insert(fd.Get());
        }
        m_listeners.push_back(std::move(fd));
    }
    if (!m_proxyListeners.empty() &&
        !ZavdProxyReader::LookUp(kReaderAccount, m_readerIdentity, error)) {
        return false;
    }

    // What zavd that are gone left: their private directories, the processes of their
    // sessions that nothing ends any more, their groups.
    const std::string temporary = ZavdPrivateDirectory::Temporary();
    for (const std::string& removed : ZavdPrivateDirectory::RemoveLeftovers(temporary)) {
        Log("removed " + removed + ", left by a zavd that is gone");
    }
    if (!m_directory.Create(temporary, error)) {
        return false;
    }
    std::string why;
    if (!m_group.Enter(why) && !m_group.Path().empty()) {
        Log("the sessions' groups are made in " + m_group.Path() + ": " + why);
    }
    std::vector<std::string> swept;
    m_group.Sweep(swept);
    for (const std::string& line : swept) {
        Log(line);
    }
    const std::string variable = std::string(handoff::kDirectoryVariable) + "=";
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, variable.c_str(), variable.size()) != 0) {
            m_environment.emplace_back(*e);
        }
    }
    m_environment.push_back(variable + m_directory.Path());

    sigset_t signals;
    ::sigemptyset(&signals);
    ::sigaddset(&signals, SIGCHLD);
    ::sigaddset(&signals, SIGTERM);
    ::sigaddset(&signals, SIGINT);
    m_signals.Reset(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!m_signals.Valid()) {
        error = "cannot watch signals: " + std::string(ErrorText(errno));
        return false;
    }
    // Without it zavd serves as before; only --list and --end cannot reach it.
    if (!m_control.Open(m_options.control, why)) {
        Log("no control socket, zavd --list and --end cannot reach this zavd: " + why);
    }
    return true;
}

std::string ZavdServer::Answer(const std::string& request) {
    if (request == "list") {
        return m_registry.List();
    }
    std::uint64_t pid = 0;
    if (request.rfind("end ", 0) == 0 && RegistryWire::Number(request.substr(4), INT_MAX, pid)) {
        switch (m_registry.End(static_cast<pid_t>(pid))) {
            case ZavdRegistry::EndResult::Ended:
                return "ended\n";
            case ZavdRegistry::EndResult::NoSession:
                return "no session\n";
            case ZavdRegistry::EndResult::Unreachable:
                return "its registry channel is closed\n";
        }
    }
    Log("control: an unknown request");
    return "unknown request\n";
}

void ZavdServer::Adopt(UniqueFd listener, const std::string& address) {
    m_listeners.push_back(std::move(listener));
    m_listening.push_back(address);
}

int ZavdServer::Serve() {
    std::vector<pollfd> fds;
    for (;;) {
        // The signals, the listeners, the reports of the PROXY header readers, the
        // sessions' standard error, the processes left by zavd that are gone.
        fds.clear();
        fds.push_back(pollfd{m_signals.Get(), POLLIN, 0});
        for (const UniqueFd& listener : m_listeners) {
            fds.push_back(pollfd{listener.Get(), POLLIN, 0});
        }
        const std::size_t firstReport = fds.size();
        int timeout = -1;
        const auto now = std::chrono::steady_clock::now();
        for (const PendingHeader& pending : m_pending) {
            fds.push_back(pollfd{pending.reader->ReportFd(), POLLIN, 0});
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(pending.deadline - now);
            const int wait = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        }
        const std::size_t firstOutput = fds.size();
        std::vector<pid_t> outputs;
        for (const auto& [session, output] : m_outputs) {
            fds.push_back(pollfd{output.ReadEnd(), POLLIN, 0});
            outputs.push_back(session);
        }
        const std::size_t firstLeftover = fds.size();
        for (const int fd : m_group.Watched()) {
            fds.push_back(pollfd{fd, POLLIN, 0});
        }
        const std::size_t firstChannel = fds.size();
        std::vector<pid_t> channels;
        m_registry.Watch(fds, channels);
        const std::size_t firstControl = fds.size();
        m_control.Watch(fds, timeout);
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            Log("poll failed: " + std::string(ErrorText(errno)));
            return 1;
        }
        // What sessions wrote comes before their end is reported.
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            if (fds[firstOutput + i].revents != 0) {
                CopyOutput(outputs[i], false);
            }
        }
        // What sessions told zavd, too, before their end removes their records.
        for (std::size_t i = 0; i < channels.size(); ++i) {
            if (fds[firstChannel + i].revents != 0) {
                m_registry.Readable(channels[i]);
            }
        }
        m_control.Handle(fds, firstControl);
        if (std::any_of(fds.begin() + static_cast<std::ptrdiff_t>(firstLeftover),
                        fds.begin() + static_cast<std::ptrdiff_t>(firstChannel),
                        [](const pollfd& p) { return p.revents != 0; })) {
            std::vector<std::string> lines;
            m_group.Check(lines);
            for (const std::string& line : lines) {
                Log(line);
            }
        }
        if ((fds[0].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            bool stop = false;
            while (::read(m_signals.Get(), &info, sizeof info) == sizeof info) {
                stop = stop || info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT;
            }
            Reap();
            if (stop) {
                break;
            }
        }
        // Backwards, so that finishing one does not move those still to be looked at.
        const auto expired = std::chrono::steady_clock::now();
        for (std::size_t i = firstOutput - firstReport; i-- > 0;) {
            const bool reported = fds[firstReport + i].revents != 0;
            if (reported || m_pending[i].deadline <= expired) {
                FinishProxyHeader(i, !reported);
            }
        }
        for (std::size_t i = 1; i < firstReport; ++i) {
            if ((fds[i].revents & POLLIN) != 0) {
                Accept(fds[i].fd);
            }
        }
    }
    Log("stopping; running sessions end on their own");
    m_listeners.clear();
    m_control.Close();
    for (PendingHeader& pending : m_pending) {
        pending.reader->Kill();
        // Only a reader not reaped yet: the id of one reaped may name another child.
        if (m_readers.erase(pending.reader->Pid()) != 0) {
            ::waitpid(pending.reader->Pid(), nullptr, 0);
        }
    }
    m_pending.clear();
    std::vector<Worker> workers;
    {
        std::lock_guard lock(m_mutex);
        workers.swap(m_handOffs);
    }
    for (Worker& w : workers) {
        w.thread.join();
    }
    return 0;
}

void ZavdServer::Accept(int listener) {
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    UniqueFd client(::accept4(listener, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC));
    if (!client.Valid()) {
        return;  // gone before it was taken, or out of descriptors for now
    }
    // As the session reads its socket's peer: a record that cannot be read as zeros.
    const SocketAddress address(from);
    const std::string ip = address.Valid() ? address.Host() : "0.0.0.0";
    const std::string port = std::to_string(address.Port());
    const std::string peer = SocketAddress::Join(ip, port);
    if (m_proxyListeners.count(listener) != 0) {
        ReadProxyHeader(std::move(client), from, ip, port, peer);
    } else {
        Admit(std::move(client), ip, port, peer);
    }
}

void ZavdServer::ReadProxyHeader(UniqueFd client, const sockaddr_storage& from,
                                 const std::string& ip, const std::string& port,
                                 const std::string& peer) {
    // The one check on the connection itself: whether its source may send a header.
    const bool allowed =
        std::any_of(m_options.proxyFrom.begin(), m_options.proxyFrom.end(),
                    [&](const ZavdProxySource& source) { return source.Contains(from); });
    if (!allowed) {
        Log(peer + ": refused, PROXY header from a source that --proxy-from does not allow");
        return;
    }
    if (static_cast<int>(m_pending.size()) >= m_options.maxSessions) {
        Log(peer + ": refused, " + std::to_string(m_pending.size()) + " PROXY headers being read");
        return;
    }
    auto reader = std::make_unique<ZavdProxyReader>();
    std::string error;
    if (!reader->Start(client.Get(), m_readerIdentity, error)) {
        Log(peer + ": not served, " + error);
        return;
    }
    m_readers.insert(reader->Pid());
    m_pending.push_back(PendingHeader{
        std::move(client), std::move(reader), ip, port, peer,
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kProxyHeaderTimeoutMs)});
}

void ZavdServer::FinishProxyHeader(std::size_t index, bool timedOut) {
    PendingHeader pending = std::move(m_pending[index]);
    m_pending.erase(m_pending.begin() + static_cast<std::ptrdiff_t>(index));
    if (timedOut) {
        pending.reader->Kill();
        Log(pending.peer + ": refused, PROXY header not received within " +
            std::to_string(kProxyHeaderTimeoutMs / 1000) + " s");
        return;
    }
    const ZavdProxyReader::Outcome outcome = pending.reader->Finish();
    if (!outcome.accepted) {
        Log(pending.peer + ": refused, " + outcome.reason);
        return;
    }
    if (outcome.ip.empty()) {
        // LOCAL or UNKNOWN: the load balancer's own connection, a health check.
        Admit(std::move(pending.client), pending.ip, pending.port, pending.peer);
        return;
    }
    Admit(std::move(pending.client), outcome.ip, outcome.port,
          SocketAddress::Join(outcome.ip, outcome.port) + " via " + pending.peer);
}

void ZavdServer::Admit(UniqueFd client, const std::string& ip, const std::string& port,
                       const std::string& peer) {
    const std::string suffix = "zav" + ip + port;
    {
        std::lock_guard lock(m_mutex);
        // Finished hand-off threads are joined here, so they never pile up.
        for (auto it = m_handOffs.begin(); it != m_handOffs.end();) {
            if (it->done->load()) {
                it->thread.join();
                it = m_handOffs.erase(it);
            } else {
                ++it;
            }
        }
        if (static_cast<int>(m_sessions.size()) >= m_options.maxSessions) {
            Log(peer + ": refused, " + std::to_string(m_sessions.size()) + " sessions running");
            return;
        }
        // One address cannot hold every session slot with log-ins it never finishes.
        int waiting = 0;
        for (const auto& [session, address] : m_addresses) {
            waiting += address == ip && !LoggedOn(session) ? 1 : 0;
        }
        if (waiting >= m_options.maxStartupsPerAddress) {
            Log(peer + ": refused, " + std::to_string(waiting) +
                " sessions from this address have not logged on");
            return;
        }
        if (!m_suffixesInUse.insert(suffix).second) {
            Log(peer + ": refused, a hand-off for this peer is under way");
            return;
        }
    }
    auto handOff = std::make_unique<ZavdHandOff>();
    ZavdSessionOutput output;
    std::string error;
    UniqueFd registry;
    pid_t pid = -1;
    if (handOff->Listen(m_directory.Path(), suffix, error) && output.Open(error)) {
        pid = Spawn(ip, port, output, registry, error);
    }
    if (pid < 0) {
        Log(peer + ": not served, " + error);
        std::lock_guard lock(m_mutex);
        m_suffixesInUse.erase(suffix);
        return;
    }
    output.CloseWriteEnd();  // the session's own now: the stream ends with the session
    m_outputs.emplace(pid, std::move(output));
    m_registry.Add(pid, std::move(registry), peer, SocketAddress::Join(ip, port));
    UniqueFd pidfd = OpenProcessFd(pid);
    std::lock_guard lock(m_mutex);
    m_sessions[pid] = peer;
    m_addresses[pid] = ip;
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread worker([this, pid, fd = std::move(client), peer, suffix, done,
                        h = std::move(handOff), pidfd = std::move(pidfd)]() mutable {
        std::string reason;
        const bool handed =
            h->Run(pid, fd.Get(), std::chrono::milliseconds(kHandOffTimeoutMs), reason);
        if (!handed) {
            Kill(pidfd.Get());  // a session without its connection is of no use: end it
        }
        // The hand-off's descriptors are closed before its line is written, so the line
        // marks the end of everything zavd held for it.
        h->Close();
        fd.Reset();
        pidfd.Reset();
        {
            std::lock_guard lock(m_mutex);
            m_suffixesInUse.erase(suffix);
        }
        Log(peer + " session " + std::to_string(pid) +
            (handed ? ": handed over" : ": hand-off failed, " + reason));
        done->store(true);
    });
    m_handOffs.push_back(Worker{std::move(worker), std::move(done)});
}

pid_t ZavdServer::Spawn(const std::string& ip, const std::string& port, ZavdSessionOutput& output,
                        UniqueFd& registry, std::string& error) {
    // The registry channel: zavd keeps one end, the session gets the other as descriptor
    // 3 (moved off 3 first if it is there already, so that the dup2 always makes a new
    // descriptor, the one the session inherits).
    int ends[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        error = "cannot make the registry channel: " + ErrorText(errno);
        return -1;
    }
    UniqueFd own(ends[0]);
    UniqueFd theirs(ends[1]);
    if (theirs.Get() == kRegistryFd) {
        theirs.Reset(::fcntl(ends[1], F_DUPFD_CLOEXEC, kRegistryFd + 1));
        if (!theirs.Valid()) {
            error = "cannot make the registry channel: " + ErrorText(errno);
            return -1;
        }
    }
    std::vector<std::string> arguments = {m_options.session, "-ppid:" + std::to_string(::getpid()),
                                          "-ip:" + ip, "-port:" + port};
    if (m_options.debug) {
        arguments.emplace_back("-debug:1");
    }
    arguments.push_back("-registry:" + std::to_string(kRegistryFd));
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (std::string& a : arguments) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    envp.reserve(m_environment.size() + 1);
    for (std::string& e : m_environment) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    // Nothing of zavd's terminal, if it has one: a session (and everything it starts)
    // could otherwise open it again, or push input into it. The session leads a session
    // of its own (made before its descriptors are opened), which has no controlling
    // terminal.
    ZavdSpawn spawn(output.WriteEnd(), POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_adddup2(&spawn.Actions(), theirs.Get(), kRegistryFd);
    posix_spawn_file_actions_addchdir_np(&spawn.Actions(), m_options.workdir.c_str());
    pid_t pid = -1;
    const int rc = spawn.Start(pid, argv.data(), envp.data());
    if (rc != 0) {
        error = "cannot start " + m_options.session + ": " + ErrorText(rc);
        return -1;
    }
    registry = std::move(own);
    return pid;
}

// A session ends its user's processes itself; if it was killed instead, what the user
// started is still in the session's groups (zav-<pid>-<n> in this zavd's group): they are
// ended and removed here, and so are empty ones left behind.
void ZavdServer::EndSessionGroups(pid_t session) {
    const std::string& parent = m_group.Path();
    if (parent.empty()) {
        return;
    }
    const std::string prefix = "zav-" + std::to_string(session) + "-";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(parent, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) != 0 || !entry.is_directory(error)) {
            continue;
        }
        CgroupJob group(entry.path().string());
        if (group.Populated()) {
            Log("session " + std::to_string(session) + ": ended what it left running in " + name);
        }
        group.Kill(ZavdGroup::kKillTime);
    }
}

void ZavdServer::Reap() {
    for (;;) {
        // A session that ended is looked at before it is reaped: what it left running is
        // ended while its id still names it, and the reaping is the last step.
        siginfo_t ended{};
        if (::waitid(P_ALL, 0, &ended, WEXITED | WNOHANG | WNOWAIT) != 0 || ended.si_pid <= 0) {
            return;
        }
        const pid_t pid = ended.si_pid;
        if (m_readers.erase(pid) != 0) {
            ::waitpid(pid, nullptr, 0);  // a PROXY header reader: it reported, or was killed
            continue;
        }
        EndSessionGroups(pid);
        CopyOutput(pid, true);
        int status = 0;
        if (::waitpid(pid, &status, 0) != pid) {
            return;
        }
        std::string peer;
        {
            std::lock_guard lock(m_mutex);
            auto it = m_sessions.find(pid);
            if (it != m_sessions.end()) {
                peer = it->second;
                m_sessions.erase(it);
                m_addresses.erase(pid);
            }
        }
        m_registry.Remove(pid);
        // Every connection's last line: the address and how its session ended.
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            Log(peer + " session " + std::to_string(pid) + ": ended, " + Describe(status));
        } else {
            Log(peer + " session " + std::to_string(pid) + ": ended");
        }
    }
}

void ZavdServer::CopyOutput(pid_t session, bool ended) {
    const auto it = m_outputs.find(session);
    if (it == m_outputs.end()) {
        return;  // not a session, or its stream has ended
    }
    std::vector<std::string> lines;
    bool open = true;
    if (ended) {
        it->second.Drain(lines);
    } else {
        open = it->second.Read(lines);
    }
    if (ended || !open) {
        it->second.Flush(lines);
        m_outputs.erase(it);
    }
    std::string peer;
    {
        std::lock_guard lock(m_mutex);
        const auto known = m_sessions.find(session);
        peer = known != m_sessions.end() ? known->second : std::string();
    }
    const std::string prefix = peer + " session " + std::to_string(session) + " wrote: ";
    for (const std::string& line : lines) {
        Log(prefix + line, true);
    }
}

void ZavdServer::Log(const std::string& line, bool warning) {
    // The journal stamps and names each line itself and takes a syslog priority in
    // front; a terminal or a file gets the time and the name.
    static const bool journal = ToJournal();
    warning = warning || line.find(": refused") != std::string::npos ||
              line.find(": not served") != std::string::npos ||
              line.find("failed") != std::string::npos ||
              line.find(": ended, ") != std::string::npos;
    const std::string text =
        (journal ? std::string(warning ? "<4>" : "<6>") : Now() + " zavd: ") + line + "\n";
    std::lock_guard lock(m_logMutex);
    [[maybe_unused]] const ssize_t n = ::write(2, text.data(), text.size());
}
