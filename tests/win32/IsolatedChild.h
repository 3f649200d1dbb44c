// A piece of a test run as root in a forked child with a mount namespace of its own, where
// /etc, /run or /var/log can be overlaid with a scratch layer: the child changes the
// system's files (/etc/nologin, limits.conf, utmp) without the rest of the machine ever
// seeing them, and everything it mounted ends with it. The child reports named facts
// through a pipe; the test checks them, and the child's exit, in the parent.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <string>

#include "support/TestSupport.h"

namespace test {

class IsolatedChild {
  public:
    // What the child said: its facts, "skip" when it could not run its case here,
    // "error" when its case failed before it could tell.
    using Facts = std::map<std::string, std::string>;

    // In the child: overlays dir with a fresh writable layer in the scratch directory.
    bool Overlay(const std::string& dir) {
        const std::string layer = m_scratch + "/" + std::to_string(m_layers++);
        const std::string upper = layer + "/upper";
        const std::string work = layer + "/work";
        if (::mkdir(layer.c_str(), 0700) != 0 || ::mkdir(upper.c_str(), 0755) != 0 ||
            ::mkdir(work.c_str(), 0700) != 0) {
            return false;
        }
        const std::string options = "lowerdir=" + dir + ",upperdir=" + upper + ",workdir=" + work;
        return ::mount("overlay", dir.c_str(), "overlay", 0, options.c_str()) == 0;
    }

    // In the child: one fact for the parent.
    void Fact(const std::string& name, const std::string& value) {
        Send(name);
        Send(value);
    }

    // Runs body in a child with a private mount namespace and a scratch tmpfs; the
    // facts it reported, or an "error" fact when it did not end with exit code 0 within
    // the time given.
    Facts Run(const std::function<void(IsolatedChild&)>& body, int seconds = 120) {
        Facts facts;
        const TempDir scratch;
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            facts["error"] = "pipe2 failed";
            return facts;
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            m_report = fds[1];
            m_scratch = scratch.Path().string();
            InChild(body);
        }
        ::close(fds[1]);
        const UniqueFd report(fds[0]);
        if (pid < 0) {
            facts["error"] = "fork failed";
            return facts;
        }
        const std::string bytes = ReadUntilEnd(report.Get(), seconds);
        int status = 0;
        if (!WaitGone(pid, 1)) {
            ::kill(pid, SIGKILL);
            facts["error"] = "the child did not end in time";
        }
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        Parse(bytes, facts);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            facts["error"] += " the child ended with status " + std::to_string(status);
        }
        return facts;
    }

  private:
    [[noreturn]] void InChild(const std::function<void(IsolatedChild&)>& body) {
        if (::unshare(CLONE_NEWNS) != 0) {
            Fact("skip", std::string("no mount namespace: ") + std::strerror(errno));
            ::_exit(0);
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("scratch", m_scratch.c_str(), "tmpfs", 0, "mode=0700") != 0) {
            Fact("skip", std::string("cannot mount here: ") + std::strerror(errno));
            ::_exit(0);
        }
        try {
            body(*this);
        } catch (const std::exception& e) {
            Fact("error", e.what());
        }
        ::_exit(0);
    }

    void Send(const std::string& text) {
        const auto size = static_cast<std::uint32_t>(text.size());
        std::string bytes(reinterpret_cast<const char*>(&size), sizeof size);
        bytes += text;
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::write(m_report, bytes.data() + sent, bytes.size() - sent);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                ::_exit(3);
            }
            sent += static_cast<std::size_t>(n);
        }
    }

    // Everything the child writes, until it closes the pipe or the time is up.
    static std::string ReadUntilEnd(int fd, int seconds) {
        std::string bytes;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return bytes;
            }
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                return bytes;
            }
            char buffer[4096];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return bytes;
            }
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
    }

    static void Parse(const std::string& bytes, Facts& facts) {
        std::size_t at = 0;
        const auto next = [&](std::string& text) {
            std::uint32_t size = 0;
            if (bytes.size() - at < sizeof size) {
                return false;
            }
            std::memcpy(&size, bytes.data() + at, sizeof size);
            at += sizeof size;
            if (bytes.size() - at < size) {
                return false;
            }
            text.assign(bytes, at, size);
            at += size;
            return true;
        };
        std::string name;
        std::string value;
        while (next(name) && next(value)) {
            facts[name] += value;
        }
    }

    int m_report = -1;
    std::string m_scratch;
    int m_layers = 0;
};

}  // namespace test
