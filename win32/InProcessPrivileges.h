// The privileged calls without a split: each acts in this process, with the process's own
// rights (the log-on through PAM, the shell forked here, signals sent from here).
#pragma once

#include "win32/PrivilegeBroker.h"

class InProcessPrivileges final : public PrivilegeBroker {
  public:
    std::shared_ptr<TokenObject> Logon(const std::string& user,
                                       const std::string& password) override;
    bool StartAs(const TokenObject& account, char* commandLine, const char* directory,
                 PROCESS_INFORMATION& process, const StandardStreams* streams) override;
    bool Interrupt(pid_t group) override;
    bool EndOfOther(pid_t pid, int& how, int& status) override;
    bool HasJobs() override;
    bool CreateJobGroup(std::shared_ptr<CgroupJob>& group) override;
    bool EndJob(CgroupJob* group) override;
    bool TakeTerminal(UniqueFd& master, UniqueFd& slave, std::string& name) override;
    bool Background(bool on) override;
};
