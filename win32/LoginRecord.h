// The system's record of log-ins: utmp (who is on now: who, w), wtmp (the history:
// last) and lastlog (each account's latest log-in: lastlog), written as login(1) and
// sshd write them, so that a log-on through zav shows there with the client's address.
//
// Each file is written only where it exists (a system without /run/utmp records no
// current log-ins). The C library's utmp functions keep state of their own: only one
// thread of a process may use these at a time.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>

class LoginRecord {
  public:
    // The log-in of user (uid) on the terminal (its path, /dev/pts/N) from remoteHost (an
    // address, or empty), whose shell is pid: a USER_PROCESS entry in utmp, the same
    // appended to wtmp, the account's slot in lastlog. False with errno when a file that
    // exists could not be written.
    static bool Login(const std::string& tty, const std::string& user, uid_t uid,
                      const std::string& remoteHost, pid_t pid);
    // The account's latest log-in as lastlog holds it (read before Login writes the new
    // one): its time and the host it came from (empty for a local log-in). False when
    // there is none (no lastlog, or the account's slot is empty).
    static bool LastLogin(uid_t uid, time_t& when, std::string& host);
    // The end of that log-in: utmp's entry for the terminal becomes DEAD_PROCESS (only
    // while it is still pid's), and a log-out record is appended to wtmp.
    static bool Logout(const std::string& tty, pid_t pid);
};
