// What zavd knows of its live sessions for detach and reattach: one record per session
// (its state as the session's monitor reports it over the registry channel, who logged
// on, the client's address, when it detached) and the channel itself. It answers the
// sessions' questions (the detached sessions a user may take over, the take-over itself),
// gives the administrator's list and ends a session on request. Messages from a session
// come from its root monitor, but are still checked field by field: a session that sends
// one that does not parse is logged and not listened to any more.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/RegistryWire.h"
#include "base/UniqueFd.h"

class ZavdRegistry {
  public:
    // How long reading one message, or writing one, may take once it has begun.
    static constexpr int kMessageTimeoutMs = 1000;

    enum class State { LoggingIn, Attached, Detached, Relay };
    struct Record {
        std::string peer;     // as zavd's log names the connection
        std::string address;  // the current client's ip:port
        std::time_t started = 0;
        State state = State::LoggingIn;
        std::string account;  // empty before the log-on
        std::uint32_t uid = 0;
        pid_t shell = 0;
        pid_t relayed = 0;         // in Relay: the session relayed
        std::time_t detached = 0;  // in Detached: since when
        std::string detachedFrom;  // in Detached: the client's address then
        UniqueFd channel;          // zavd's end; invalid once the peer is gone
        bool listening = true;     // false after a malformed message
    };
    enum class EndResult { Ended, NoSession, Unreachable };

    // log takes the lines to write to zavd's log; proc is where the processes' files are
    // read (the foreground program), now gives the time.
    explicit ZavdRegistry(
        std::function<void(const std::string&)> log, std::string proc = "/proc",
        std::function<std::time_t()> now = [] { return std::time(nullptr); });

    // A session started: channel is zavd's end of its registry channel.
    void Add(pid_t pid, UniqueFd channel, const std::string& peer, const std::string& address);
    // A session was reaped: its record and channel go.
    void Remove(pid_t pid);

    // The channels to wait on, and for each its session.
    void Watch(std::vector<pollfd>& fds, std::vector<pid_t>& sessions) const;
    // The channel of pid is readable (or closed): takes one message and answers it.
    void Readable(pid_t pid);

    // The administrator's list: a header line and one line per session, oldest first.
    std::string List() const;
    // Tells the session pid to end (and logs it).
    EndResult End(pid_t pid);

    // The program in the foreground of the terminal of the process shell ("-" unknown).
    std::string ForegroundProgram(pid_t shell) const;

    const Record* Find(pid_t pid) const;

  private:
    bool OnState(pid_t pid, Record& record, const std::vector<std::string>& fields);
    bool OnOffers(pid_t pid, Record& record, const std::vector<std::string>& fields);
    bool OnAttach(pid_t pid, Record& record, const std::vector<std::string>& fields);
    void Refuse(Record& record, const std::string& why);
    void Stop(pid_t pid, Record& record, const std::string& why);
    void Log(pid_t pid, const Record& record, const std::string& text) const;

    std::function<void(const std::string&)> m_log;
    std::string m_proc;
    std::function<std::time_t()> m_now;
    std::map<pid_t, Record> m_records;
};
