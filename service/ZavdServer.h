// The listening service: accepts TCP connections, starts one session process for each
// and hands it the connection, reaps the sessions, and keeps serving whatever they do.
#pragma once

#include <sys/types.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/UniqueFd.h"
#include "service/ZavdControl.h"
#include "service/ZavdGroup.h"
#include "service/ZavdOptions.h"
#include "service/ZavdPrivateDirectory.h"
#include "service/ZavdProxyReader.h"
#include "service/ZavdRegistry.h"
#include "service/ZavdSessionOutput.h"

class ZavdServer {
  public:
    // How long a session may take over the hand-off before it is given up and ended.
    static constexpr int kHandOffTimeoutMs = 10000;
    // How long a connection on a proxy listener may take to send its PROXY header.
    static constexpr int kProxyHeaderTimeoutMs = 5000;

    explicit ZavdServer(ZavdOptions options);
    ~ZavdServer();
    ZavdServer(const ZavdServer&) = delete;
    ZavdServer& operator=(const ZavdServer&) = delete;

    // Opens the listening sockets and the private pipe directory, moves into a cgroup of
    // its own and ends and removes what zavd that are gone left; false with error.
    bool Start(std::string& error);
    // Serves a socket that listens already (passed by systemd), shown as address.
    void Adopt(UniqueFd listener, const std::string& address);
    // Serves until SIGTERM or SIGINT (which the caller has blocked); returns the exit code.
    int Serve();

    // The addresses actually listened on ("127.0.0.1:2222"), for the start-up message.
    const std::vector<std::string>& Listening() const { return m_listening; }

  private:
    void Accept(int listener);
    // Serves a connection from the client at ip and port (peer names it in the log).
    void Admit(UniqueFd client, const std::string& ip, const std::string& port,
               const std::string& peer);
    // A connection on a proxy listener: its header is read by a reader process first.
    void ReadProxyHeader(UniqueFd client, const sockaddr_storage& from, const std::string& ip,
                         const std::string& port, const std::string& peer);
    // The reader of m_pending[index] reported, or its time ran out.
    void FinishProxyHeader(std::size_t index, bool timedOut);
    void HandOff(pid_t session, UniqueFd client, std::string peer, std::string suffix);
    // Starts a session in a session (setsid) of its own, without a terminal: standard
    // input and output /dev/null, standard error output's write end, descriptor 3 its
    // end of the registry channel (zavd's end into registry).
    pid_t Spawn(const std::string& ip, const std::string& port, ZavdSessionOutput& output,
                UniqueFd& registry, std::string& error);
    // The reply to a request line on the control socket.
    std::string Answer(const std::string& request);
    void Reap();
    void EndSessionGroups(pid_t session);
    // Copies what session wrote to its standard error (all of it once it has ended).
    void CopyOutput(pid_t session, bool ended);
    // One line of zavd's output; refusals, failures and abnormal ends, and what
    // sessions write, are warnings under the journal.
    void Log(const std::string& line, bool warning = false);

    ZavdOptions m_options;
    std::vector<UniqueFd> m_listeners;
    std::vector<std::string> m_listening;
    std::set<int> m_proxyListeners;
    ZavdProxyReader::Identity m_readerIdentity;
    // Connections whose PROXY header is being read (only the main thread uses these).
    struct PendingHeader {
        UniqueFd client;
        std::unique_ptr<ZavdProxyReader> reader;
        std::string ip;  // the connection's own peer, for LOCAL and UNKNOWN
        std::string port;
        std::string peer;
        std::chrono::steady_clock::time_point deadline;
    };
    std::vector<PendingHeader> m_pending;
    std::set<pid_t> m_readers;  // reader processes not yet reaped
    UniqueFd m_signals;
    ZavdPrivateDirectory m_directory;
    ZavdGroup m_group;
    std::vector<std::string> m_environment;  // the sessions' environment
    // The sessions' standard error (only the main thread uses these).
    std::map<pid_t, ZavdSessionOutput> m_outputs;
    // The sessions' records and registry channels, and the control socket (main thread).
    ZavdRegistry m_registry;
    ZavdControl m_control;

    std::mutex m_mutex;                        // guards what follows
    std::map<pid_t, std::string> m_sessions;   // live session -> its peer
    std::map<pid_t, std::string> m_addresses;  // live session -> its client's address
    std::set<std::string> m_suffixesInUse;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Worker> m_handOffs;
    std::mutex m_logMutex;
};
