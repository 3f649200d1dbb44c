#include "monitor/LoginBanner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "win32/LoginRecord.h"

std::string LoginBanner::LastLoginLine(std::time_t when, const std::string& host) {
    char text[64] = {};
    // "Tue Dec  8 10:00:00 2026\n": the date without its line break.
    if (::ctime_r(&when, text) == nullptr) {
        return {};
    }
    std::string date(text);
    while (!date.empty() && date.back() == '\n') {
        date.pop_back();
    }
    return "Last login: " + date + (host.empty() ? "" : " from " + host) + "\r\n";
}

std::string LoginBanner::Compose(std::string_view messages, std::string_view lastLogin) {
    std::string text;
    text.reserve(messages.size() + lastLogin.size() + 16);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i] == '\n' && (i == 0 || messages[i - 1] != '\r')) {
            text += '\r';
        }
        text += messages[i];
    }
    text += lastLogin;
    return text;
}

std::string LoginBanner::For(bool motd, bool lastLog, std::string_view messages, uid_t uid,
                             const std::string& home) {
    if (Hushed(home)) {
        return {};
    }
    std::string last;
    std::time_t when = 0;
    std::string host;
    if (lastLog && LoginRecord::LastLogin(uid, when, host)) {
        last = LastLoginLine(when, host);
    }
    return Compose(motd ? messages : std::string_view(), last);
}

bool LoginBanner::Hushed(const std::string& home) {
    struct stat status {};
    return !home.empty() && ::stat((home + "/.hushlogin").c_str(), &status) == 0;
}

bool LoginBanner::Show(int terminal, std::string_view text, int timeoutMs) {
    const int flags = ::fcntl(terminal, F_GETFL);
    if (flags < 0 || ::fcntl(terminal, F_SETFL, flags | O_NONBLOCK) != 0) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!text.empty()) {
        const ssize_t n = ::write(terminal, text.data(), text.size());
        if (n > 0) {
            text.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd room{terminal, POLLOUT, 0};
        if (left <= 0 || ::poll(&room, 1, static_cast<int>(left)) <= 0) {
            break;
        }
    }
    ::fcntl(terminal, F_SETFL, flags);
    return text.empty();
}
