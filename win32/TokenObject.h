// A logon token: the account a successful logon was made for.
#pragma once

#include <sys/types.h>

#include <string>

#include "win32/KernelObject.h"

class TokenObject : public KernelObject {
  public:
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;
    std::string shell;
};
