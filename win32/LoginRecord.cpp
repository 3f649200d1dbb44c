#include "win32/LoginRecord.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <paths.h>
#include <sys/time.h>
#include <unistd.h>
#include <utmp.h>
#include <utmpx.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "base/UniqueFd.h"

namespace {

// A fixed-size field of the records: the text cut to fit, the rest zeros.
template <std::size_t N>
void Put(char (&field)[N], std::string_view text) {
    const std::size_t n = std::min(N, text.size());
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, N - n);
}

// The terminal's line in the records: its path without /dev/.
std::string_view LineOf(std::string_view tty) {
    if (tty.starts_with("/dev/")) {
        tty.remove_prefix(5);
    }
    return tty;
}

// The terminal's id in utmp: the last characters of its line, as sshd makes it, so that
// each finds the other's entries for a terminal.
void PutLine(utmpx& entry, std::string_view line) {
    Put(entry.ut_line, line);
    const std::size_t n = sizeof entry.ut_id;
    Put(entry.ut_id, line.size() > n ? line.substr(line.size() - n) : line);
}

void Stamp(utmpx& entry) {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    entry.ut_tv.tv_sec = static_cast<decltype(entry.ut_tv.tv_sec)>(now.tv_sec);
    entry.ut_tv.tv_usec = static_cast<decltype(entry.ut_tv.tv_usec)>(now.tv_usec);
}

// The client's address in binary; an IPv4 address (also written as IPv6-mapped) takes
// the first word only, as the readers (last -i) expect.
void PutAddress(utmpx& entry, const std::string& host) {
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        std::memcpy(&entry.ut_addr_v6[0], &v4, sizeof v4);
    } else if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            std::memcpy(&entry.ut_addr_v6[0], &v6.s6_addr[12], 4);
        } else {
            std::memcpy(entry.ut_addr_v6, &v6, sizeof v6);
        }
    }
}

bool Exists(const char* path) {
    return ::access(path, F_OK) == 0;
}

// Writes the entry for its terminal into utmp, where utmp exists.
bool PutUtmp(const utmpx& entry) {
    if (!Exists(_PATH_UTMPX)) {
        return true;
    }
    // One thread at a time uses the C library's utmp state (see the header).
    // NOLINTBEGIN(concurrency-mt-unsafe)
    ::setutxent();
    const bool written = ::pututxline(&entry) != nullptr;
    const int error = errno;
    ::endutxent();
    // NOLINTEND(concurrency-mt-unsafe)
    errno = error;
    return written;
}

// Appends the record to wtmp, where wtmp exists. The C library takes the file's lock (for
// a bounded time) and mends a record cut short; it reports no failure.
void AppendWtmp(const utmpx& entry) {
    if (Exists(_PATH_WTMPX)) {
        ::updwtmpx(_PATH_WTMPX, &entry);
    }
}

// The account's slot in lastlog (the file is indexed by uid), where lastlog exists.
bool PutLastlog(uid_t uid, std::string_view line, const std::string& host, const timeval& when) {
    const UniqueFd file(::open(_PATH_LASTLOG, O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (!file.Valid()) {
        return errno == ENOENT;
    }
    lastlog entry{};
    entry.ll_time = static_cast<decltype(entry.ll_time)>(when.tv_sec);
    Put(entry.ll_line, line);
    Put(entry.ll_host, host);
    const auto at = static_cast<off_t>(uid) * static_cast<off_t>(sizeof entry);
    const ssize_t n = ::pwrite(file.Get(), &entry, sizeof entry, at);
    if (n >= 0 && static_cast<std::size_t>(n) != sizeof entry) {
        errno = EIO;
    }
    return n >= 0 && static_cast<std::size_t>(n) == sizeof entry;
}

}  // namespace

bool LoginRecord::LastLogin(uid_t uid, time_t& when, std::string& host) {
    const UniqueFd file(::open(_PATH_LASTLOG, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!file.Valid()) {
        return false;
    }
    lastlog entry{};
    const auto at = static_cast<off_t>(uid) * static_cast<off_t>(sizeof entry);
    if (::pread(file.Get(), &entry, sizeof entry, at) != static_cast<ssize_t>(sizeof entry) ||
        entry.ll_time == 0) {
        return false;
    }
    when = static_cast<time_t>(entry.ll_time);
    host.assign(entry.ll_host, ::strnlen(entry.ll_host, sizeof entry.ll_host));
    return true;
}

bool LoginRecord::Login(const std::string& tty, const std::string& user, uid_t uid,
                        const std::string& remoteHost, pid_t pid) {
    const std::string_view line = LineOf(tty);
    if (line.empty() || user.empty() || pid <= 0) {
        errno = EINVAL;
        return false;
    }
    utmpx entry{};
    entry.ut_type = USER_PROCESS;
    entry.ut_pid = pid;
    PutLine(entry, line);
    Put(entry.ut_user, user);
    Put(entry.ut_host, remoteHost);
    PutAddress(entry, remoteHost);
    const pid_t session = ::getsid(pid);
    entry.ut_session = session > 0 ? session : pid;
    Stamp(entry);
    bool recorded = PutUtmp(entry);
    int error = recorded ? 0 : errno;
    AppendWtmp(entry);
    const timeval when{entry.ut_tv.tv_sec, entry.ut_tv.tv_usec};
    if (!PutLastlog(uid, line, remoteHost, when)) {
        recorded = false;
        error = errno;
    }
    errno = error;
    return recorded;
}

bool LoginRecord::Logout(const std::string& tty, pid_t pid) {
    const std::string_view line = LineOf(tty);
    if (line.empty() || pid <= 0) {
        errno = EINVAL;
        return false;
    }
    bool recorded = true;
    int error = 0;
    if (Exists(_PATH_UTMPX)) {
        utmpx key{};
        Put(key.ut_line, line);
        // NOLINTBEGIN(concurrency-mt-unsafe): one thread at a time (see the header)
        ::setutxent();
        // Only the entry this log-in made: the terminal may since be another's.
        if (const utmpx* found = ::getutxline(&key);
            found != nullptr && found->ut_type == USER_PROCESS && found->ut_pid == pid) {
            utmpx dead = *found;
            dead.ut_type = DEAD_PROCESS;
            Put(dead.ut_user, "");
            Put(dead.ut_host, "");
            std::memset(dead.ut_addr_v6, 0, sizeof dead.ut_addr_v6);
            Stamp(dead);
            recorded = ::pututxline(&dead) != nullptr;
            error = recorded ? 0 : errno;
        }
        ::endutxent();
        // NOLINTEND(concurrency-mt-unsafe)
    }
    // wtmp's log-out record: the line with no name, as login(1) and sshd write it.
    utmpx record{};
    record.ut_type = DEAD_PROCESS;
    record.ut_pid = pid;
    PutLine(record, line);
    Stamp(record);
    AppendWtmp(record);
    errno = error;
    return recorded;
}
