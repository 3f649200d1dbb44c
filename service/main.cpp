// zavd: the listening service. Accepts SSH clients and hands each connection to a new
// brisel session process.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "service/ZavdConfigCheck.h"
#include "service/ZavdControlClient.h"
#include "service/ZavdKeyFile.h"
#include "service/ZavdOptions.h"
#include "service/ZavdServer.h"
#include "service/ZavdSocketActivation.h"
#include "session/ZTermConfig.h"
#include "transport/SshServer.h"
#include "transport/ZSsh.h"

namespace {

// Checks the work directory's settings; on problems reports each, and then outcome.
bool SettingsUsable(const ZavdOptions& options, bool keyFile, const char* outcome) {
    const std::vector<std::string> problems =
        ZavdConfigCheck::Run(options.session, options.workdir, keyFile);
    for (const std::string& problem : problems) {
        std::fprintf(stderr, "zavd: %s\n", problem.c_str());
    }
    if (!problems.empty()) {
        std::fprintf(stderr, "zavd: %s: %zu problem(s) in the settings in %s\n", outcome,
                     problems.size(), options.workdir.c_str());
    }
    return problems.empty();
}

// Prints the fingerprint of the key-set file at path as a client is shown it on its first
// connection; false with the reason on standard error when the file does not load.
bool ShowFingerprint(const std::string& path) {
    SshServer server;
    if (server.LoadKey(path, ZSsh::kKeysetPassword) != SshServer::kOk) {
        std::fprintf(stderr, "zavd: the key-set file %s cannot be used: %s%s\n", path.c_str(),
                     server.KeyProblem().c_str(),
                     server.KeyError() == EACCES ? "; run this as root, as the service runs" : "");
        return false;
    }
    // The line as the OpenSSH client shows it, on a line of its own to compare by eye.
    std::printf(
        "zavd: an SSH client connecting for the first time shows this server's key as\n"
        "  %s\n",
        server.KeyFingerprint().c_str());
    return true;
}

// --genkey: makes the key-set file when it is missing, and shows its fingerprint.
int MakeKey(const ZavdOptions& options) {
    const std::string path = ZavdKeyFile::PathFromSettings(options.workdir);
    struct stat existing {};
    if (!path.empty() && ::lstat(path.c_str(), &existing) == 0) {
        // Nothing to make: the settings' other problems are for --check-config and the
        // start to name, not for this.
        std::printf("zavd: the key-set file %s exists; left as it is\n", path.c_str());
        return ShowFingerprint(path) ? 0 : 1;
    }
    // The key-set file is the one thing that may be missing: it is made here.
    if (!SettingsUsable(options, false, "no key-set file made")) {
        return 1;
    }
    if (path.empty()) {
        std::fprintf(stderr, "zavd: %s/zav.ini names no rsakey_file\n", options.workdir.c_str());
        return 1;
    }
    std::string error;
    switch (ZavdKeyFile::Create(path, ZSsh::kKeysetPassword, error)) {
        case ZavdKeyFile::Result::Created:
            std::printf("zavd: created the key-set file %s\n", path.c_str());
            break;
        case ZavdKeyFile::Result::Exists:  // made by another in the meantime
            std::printf("zavd: the key-set file %s exists; left as it is\n", path.c_str());
            break;
        case ZavdKeyFile::Result::Failed:
            std::fprintf(stderr, "zavd: %s\n", error.c_str());
            return 1;
    }
    return ShowFingerprint(path) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Descriptors 0 to 2 are always open (on /dev/null where the caller closed one), so
    // that no socket or pipe of zavd's takes one of their numbers and is then written to
    // as standard output or error, or handed on as one.
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", O_RDWR | O_NOCTTY) != fd) {
            return 1;
        }
    }
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    ZavdOptions options;
    std::string error;
    if (!options.Parse(arguments, error)) {
        std::fprintf(stderr, "zavd: %s\n%s", error.c_str(), ZavdOptions::Usage().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(ZavdOptions::Usage().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("zavd %s\n", ZTermConfig::kVersion);
        return 0;
    }
    // Requests to the running zavd, which needs none of the settings.
    if (options.list) {
        return ZavdControlClient::List(options.control);
    }
    if (options.end != 0) {
        return ZavdControlClient::End(options.control, options.end);
    }
    if (options.checkConfig) {
        // As sshd -t: one line per problem, nothing when the settings are fine.
        const std::vector<std::string> problems =
            ZavdConfigCheck::Run(options.session, options.workdir);
        for (const std::string& problem : problems) {
            std::fprintf(stderr, "%s\n", problem.c_str());
        }
        return problems.empty() ? 0 : 1;
    }
    if (options.genkey) {
        return MakeKey(options);
    }

    // The debug log-on starts the shell under zavd's own account for any name and any
    // password: as root that would be a root shell for anyone who connects.
    if (options.debug && ::geteuid() == 0) {
        std::fprintf(stderr,
                     "zavd: --debug is refused as root: it would give every client a root shell; "
                     "run the trial as an ordinary user\n");
        return 2;
    }

    if (!SettingsUsable(options, true, "not started")) {
        return 1;
    }

    // Signals are taken through a descriptor; threads started later inherit the mask.
    sigset_t signals;
    ::sigemptyset(&signals);
    ::sigaddset(&signals, SIGCHLD);
    ::sigaddset(&signals, SIGTERM);
    ::sigaddset(&signals, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    // Sockets passed by systemd (zavd.socket) are served instead of the default address.
    std::vector<UniqueFd> passed;
    if (!ZavdSocketActivation::Take(passed, error)) {
        std::fprintf(stderr, "zavd: %s\n", error.c_str());
        return 1;
    }
    if (!passed.empty() && options.listenGiven) {
        std::fprintf(stderr,
                     "zavd: --listen is given, so the %zu socket(s) passed by systemd are closed\n",
                     passed.size());
        passed.clear();
    }
    if (!passed.empty()) {
        options.listen.clear();
    }
    ZavdServer server(options);
    for (UniqueFd& socket : passed) {
        const std::string address = ZavdSocketActivation::Address(socket.Get());
        server.Adopt(std::move(socket), address);
    }
    if (!server.Start(error)) {
        std::fprintf(stderr, "zavd: %s\n", error.c_str());
        return 1;
    }
    std::string addresses;
    for (const std::string& a : server.Listening()) {
        addresses += (addresses.empty() ? "" : ", ") + a;
    }
    std::fprintf(stderr, "zavd: listening on %s; sessions run %s in %s%s\n", addresses.c_str(),
                 options.session.c_str(), options.workdir.c_str(),
                 options.debug ? " with the debug login" : "");
    if (::geteuid() != 0 && !options.debug) {
        std::fprintf(stderr,
                     "zavd: not running as root: log-ons will fail; --debug starts the shell "
                     "under this account without checking the password\n");
    }
    return server.Serve();
}
