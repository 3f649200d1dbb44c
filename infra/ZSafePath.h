// Opening the files whose contents others must not see or forge: the sessions' trace,
// log and error files, the server's key and the settings.
//
// No symbolic link is followed anywhere in a path: it is walked one directory at a time
// from / (an absolute name) or from a base directory (the working directory unless
// given), each opened without following a link. Files written (OpenForAppend) must
// moreover be where no one but the trusted accounts could have put or replaced them, as
// sshd's StrictModes wants: every directory on the way owned by a trusted account and
// writable by no one else, but a sticky directory (such as /tmp) may be writable by all
// when it is not the file's own directory, since its sticky bit keeps others from
// replacing the directories in it that they do not own; the file itself a regular file of
// a trusted account that no one else may write. The trusted accounts are root, the
// service account zav and, in a process that is not root, the process's own account.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "base/UniqueFd.h"

class ZSafePath {
  public:
    static constexpr const char* kServiceAccount = "zav";

    // An opened file, or why none: refused when the path or the file breaks a rule
    // (reason names the part that does), otherwise the system's error (errno value in
    // error, its text in reason).
    struct Opened {
        UniqueFd fd;
        bool refused = false;
        int error = 0;
        std::string reason;
    };

    static bool Trusted(uid_t uid);
    // The trusted accounts in words, for messages: "root or zav", or "root, zav or uid N
    // (this process's account)".
    static std::string TrustedNames();

    // Opens name for appending, creating it with mode 0600, under the rules above. A
    // directory found safe is remembered by its identity (device, inode, owner and mode),
    // so that the next line's open walks no path when it finds the same directory again
    // (reached without a link): a replaced, re-owned or re-moded directory is walked anew.
    static Opened OpenForAppend(const std::string& name);

    // Opens name for reading, relative to base unless absolute, without following a link
    // on the way; a regular file only, never waiting on a FIFO. The owners and modes are
    // the caller's to judge.
    static Opened OpenForReading(const std::string& name, int base = AT_FDCWD);

    // Why a file that must stay private (the server's key) is not, and what to do about
    // it: owned by an account that is not trusted, or with any permission for group or
    // others. Empty when fine.
    static std::string PrivateFileProblem(const struct stat& st);
};
