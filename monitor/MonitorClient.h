// The worker's side of the split: each privileged call becomes one request to the
// monitor, answered before the next is sent. Selected as the seam's privilege broker, so
// the Windows-shaped calls (LogonUserA, CreateProcessAsUserA, the job, Ctrl+C) keep their
// behaviour above it.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/UniqueFd.h"
#include "monitor/MonitorWire.h"
#include "win32/PrivilegeBroker.h"

class MonitorClient final : public PrivilegeBroker {
  public:
    // The account a log-on was accepted for, as the monitor names it.
    struct Account {
        std::string name;
        uid_t uid = 0;
        gid_t gid = 0;
        std::string home;
        std::string shell;
    };

    // Takes the worker's end of the socket, the terminal the monitor made and whether the
    // monitor keeps jobs; selects the client as the seam's broker. Once, in the worker.
    static void Install(UniqueFd socket, UniqueFd master, UniqueFd slave, std::string terminalName,
                        bool hasJobs);
    static bool Installed();
    // The installed client; only after Install.
    static MonitorClient& Instance();
    // Whole lines for one of the session's files; never waits for an answer.
    static void Log(LineFile file, std::string_view lines);

    // The requests as they travel; each false with the monitor's error code on refusal.
    bool RequestLogon(const std::string& user, const std::string& password, Account& account);
    // The shell on the monitor's terminal, or on the streams (pipe ends passed along).
    bool RequestShell(const std::string& commandLine, const termios& modes, pid_t& pid,
                      const StandardStreams* streams = nullptr);
    // waitid's code and status of the shell (0, 0 while it runs).
    bool RequestShellStatus(pid_t pid, int& how, int& status);
    bool RequestEndJob();
    // The account's detached sessions, newest first (none without zavd).
    bool RequestOffers(std::vector<DetachedOffer>& offers);
    // Takes over the detached session pid: the relay's end to it.
    bool RequestReattach(pid_t pid, UniqueFd& relay);
    // The client is gone: the session waits for a new one. False (error code set) when it
    // cannot (no zavd to find it again); the session then ends as it would have.
    bool RequestDetach();
    // The notice socket a detached session learns of a new client on (after a detach).
    int NoticeFd() const { return m_notice.Get(); }
    // Reads the notice: the new client's address and the relay's end. False when the
    // notice socket holds no well-formed notice.
    bool TakeNotice(std::string& address, UniqueFd& relay);

    // The seam's privileged calls.
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

  private:
    MonitorClient() = default;
    // One exchange: false with the monitor's error code on refusal.
    bool Ask(MonitorRequest request, const MonitorFields& fields, MonitorMessage& reply);
    // As Ask, with descriptors passed along with the request.
    bool Ask(MonitorRequest request, const MonitorFields& fields, std::span<const int> passed,
             MonitorMessage& reply);

    UniqueFd m_socket;
    UniqueFd m_master;
    UniqueFd m_slave;
    std::string m_terminalName;
    bool m_hasJobs = false;
    std::mutex m_requestMutex;  // one request at a time
    UniqueFd m_notice;
};
