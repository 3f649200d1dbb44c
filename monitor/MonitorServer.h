// The monitor's side of the split: it serves the worker's requests, one at a time, until
// the worker ends, and then ends the shell's group and exits. Each request is allowed only
// in the states its table entry names; the monitor decides every policy question itself
// (from the settings it was given before the split) and takes nothing on trust from the
// worker: no account name but the one it checked, no terminal but the one it made, no
// command line but one its settings give, no line that forges an outcome.
#pragma once

#include <sys/types.h>
#include <array>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/RegistryWire.h"
#include "base/UniqueFd.h"
#include "monitor/MonitorPolicy.h"
#include "monitor/MonitorWire.h"
#include "monitor/WorkerLines.h"
#include "win32/UniqueHandle.h"
#include "win32/Win32.h"

class ProcessObject;

class MonitorServer {
  public:
    // The states of a session, as the table names them.
    enum State : unsigned {
        kAuthenticating = 1,  // no log-on yet: attempts left
        kLoggedOn = 2,        // a log-on succeeded, no shell yet
        kShellRunning = 4,    // the shell was started
        kEnded = 8,           // the job was ended: nothing but lines from here on
        kRelaying = 16,       // a log-on that took over a detached session: it relays
    };

    // registry: zavd's channel (or none), through which detached sessions are offered,
    // handed over and ended.
    MonitorServer(UniqueFd socket, pid_t worker, MonitorPolicy policy, UniqueFd terminal,
                  std::string terminalName, UniqueFd registry = UniqueFd());
    MonitorServer(const MonitorServer&) = delete;
    MonitorServer& operator=(const MonitorServer&) = delete;

    // Serves until the worker is gone; exits with the worker's status.
    [[noreturn]] void Run();

    // Whether the table allows request in state (also for requests it does not know).
    static bool Allows(std::uint32_t request, State state);

  private:
    using Handler = std::uint32_t (MonitorServer::*)(MonitorFields& fields, MonitorFields& reply);
    struct Entry {
        MonitorRequest request;
        unsigned states;  // the states it is allowed in
        bool replies;     // whether the worker waits for an answer
        Handler serve;
    };
    static const Entry kTable[];
    static const Entry* Find(std::uint32_t request);

    std::uint32_t Logon(MonitorFields& fields, MonitorFields& reply);
    std::uint32_t StartShell(MonitorFields& fields, MonitorFields& reply);
    std::uint32_t Interrupt(MonitorFields& fields, MonitorFields& reply);
    std::uint32_t ShellStatus(MonitorFields& fields, MonitorFields& reply);
    std::uint32_t EndJob(MonitorFields& fields, MonitorFields& reply);
    std::uint32_t Log(MonitorFields& fields, MonitorFields& reply);
    std::uint32_t Offers(MonitorFields& fields, MonitorFields& reply);
    std::uint32_t Reattach(MonitorFields& fields, MonitorFields& reply);
    std::uint32_t Detach(MonitorFields& fields, MonitorFields& reply);
    std::uint32_t Background(MonitorFields& fields, MonitorFields& reply);
    // Tells zavd the session's state ("attached", "detached", "relay").
    void ReportState(const char* state);
    // One request to zavd and its answer; messages zavd sends meanwhile of its own accord
    // are served first. False when zavd is gone or does not answer in time.
    bool AskRegistry(RegistryCode code, const std::vector<std::string>& fields,
                     RegistryMessage& answer);
    // A message zavd sent of its own accord: a new client for a detached session, or the
    // administrator's end.
    void Serve(RegistryMessage& message);
    // Reads zavd's next message; on failure the channel is closed and false returned.
    bool ReceiveRegistry(RegistryMessage& message);
    void EndShell();
    [[noreturn]] void End();

    UniqueFd m_socket;
    pid_t m_worker;
    MonitorPolicy m_policy;
    UniqueFd m_terminal;  // the slave side of the terminal this monitor made
    std::string m_terminalName;
    WorkerLines m_lines;
    State m_state = kAuthenticating;
    unsigned m_attempts = 0;
    UniqueHandle m_token;
    std::string m_user;  // as the client gave it
    // The descriptors that came with the request being served.
    std::array<UniqueFd, MonitorMessage::kMaxPassed> m_passed;
    std::shared_ptr<ProcessObject> m_shell;
    pid_t m_shellPid = -1;
    bool m_recorded = false;  // the log-in records (utmp, wtmp, lastlog) were written

    UniqueFd m_registry;     // zavd's channel, or none
    UniqueFd m_notice;       // the monitor's end of the detached worker's notice socket
    UniqueFd m_replyPassed;  // a descriptor the reply being served passes along
    std::string m_address;   // the current client's address ("ip:port")
    uid_t m_uid = 0;         // the account that logged on
    std::string m_account;
    pid_t m_relayed = 0;            // the session this log-on relays
    bool m_detached = false;        // the worker lost its client and waits for a new one
    bool m_endedByService = false;  // zavd --end: the worker was ended on purpose
};
