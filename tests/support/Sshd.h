// Runs OpenSSH's sshd for a test, as root: Debian's /usr/sbin/sshd with a host key and a
// configuration of its own (password log-ons through PAM), on a free loopback port.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace test {

class Sshd {
  public:
    static constexpr const char* kPath = "/usr/sbin/sshd";

    Sshd() {
        if (::access(kPath, X_OK) != 0) {
            m_error = std::string(kPath) +
                      " is missing: install openssh-server without starting it "
                      "(scripts/setup.sh does)";
            return;
        }
        // Its privilege separation directory, which the package's service would make.
        // Left in place: another test's sshd may be using it.
        ::mkdir("/run/sshd", 0755);
        const std::string key = m_directory / "host_ed25519";
        if (Run("ssh-keygen -q -t ed25519 -N '' -f " + Quote(key) + " </dev/null").status != 0) {
            m_error = "ssh-keygen failed";
            return;
        }
        // The free port is found by binding to port 0; another program may take it before
        // sshd binds it, so a failed start is tried again on another.
        for (int attempt = 0; attempt < 5 && m_port == 0; ++attempt) {
            Start(key, FreePort());
        }
    }
    ~Sshd() {
        if (m_pid <= 0) {
            return;
        }
        // The connections' processes end with their clients; the listener after them.
        for (const pid_t child : Children()) {
            test::WaitGone(child, 20);
        }
        test::Signal(m_pid, SIGTERM);
        if (!test::WaitGone(m_pid, 10)) {
            test::Signal(m_pid, SIGKILL);
        }
        ::waitpid(m_pid, nullptr, 0);
    }
    Sshd(const Sshd&) = delete;
    Sshd& operator=(const Sshd&) = delete;

    // 0 when it did not start; Error() says why.
    int Port() const { return m_port; }
    const std::string& Error() const { return m_error; }

  private:
    void Start(const std::string& key, int port) {
        const std::string config = m_directory / "sshd_config";
        WriteFile(config, "ListenAddress 127.0.0.1\nPort " + std::to_string(port) + "\nHostKey " +
                              key +
                              "\nPidFile none\nUsePAM yes\nPasswordAuthentication yes\n"
                              "KbdInteractiveAuthentication yes\nPubkeyAuthentication no\n"
                              "PermitRootLogin no\nPrintMotd no\nPrintLastLog no\n"
                              "X11Forwarding no\nAllowTcpForwarding no\nLoginGraceTime 60\n");
        const RunResult checked = Run(std::string(kPath) + " -t -f " + Quote(config) + " 2>&1");
        if (checked.status != 0) {
            m_error = "sshd rejects its configuration: " + checked.output;
            return;
        }
        const std::string log = m_directory / "sshd.err";
        WriteFile(log, "");
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int err = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
            if (err < 0 || null < 0) {
                ::_exit(126);
            }
            ::dup2(null, 0);
            ::dup2(err, 1);
            ::dup2(err, 2);
            ::setsid();
            // Ended with the test also when the test itself dies.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::execl(kPath, kPath, "-D", "-e", "-f", config.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (pid < 0) {
            m_error = "fork failed";
            return;
        }
        const std::string listening = "Server listening on 127.0.0.1 port";
        WaitForFileText(log, [&](const std::string& text) {
            return text.find(listening) != std::string::npos || WaitGone(pid, 0);
        });
        if (ReadFile(log).find(listening) != std::string::npos) {
            m_pid = pid;
            m_port = port;
            return;
        }
        m_error = "sshd did not start: " + ReadFile(log);
        test::Signal(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }

    static int FreePort() {
        const UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (!fd.Valid() ||
            ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return 0;
        }
        return ntohs(address.sin_port);
    }

    // The listener's children: its connections' processes.
    std::vector<pid_t> Children() const {
        std::vector<pid_t> children;
        const std::string pid = std::to_string(m_pid);
        std::ifstream list("/proc/" + pid + "/task/" + pid + "/children");
        for (pid_t child = 0; list >> child;) {
            children.push_back(child);
        }
        return children;
    }

    TempDir m_directory;
    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_error;
};

}  // namespace test
