// A logon token: the account a successful logon was made for.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "win32/KernelObject.h"
#include "win32/LoginEnvironment.h"
#include "win32/PamSession.h"

class TokenObject : public KernelObject {
  public:
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;
    std::string shell;
    // The PAM transaction of a log-on checked in this process (none for a token the
    // privileged side made): its session is opened before the shell starts.
    std::shared_ptr<PamSession> pam;
    // What the log-in adds to the shell's environment (the connection, the terminal, the
    // client's accepted variables); none outside a log-in the privileged side serves.
    std::shared_ptr<const LoginEnvironment> login;
};
