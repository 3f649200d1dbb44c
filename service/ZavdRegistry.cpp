#include "service/ZavdRegistry.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fstream>
#include <sstream>

namespace {

constexpr std::size_t kMaxAccount = 256;
constexpr std::size_t kMaxAddress = 64;

// A name or an address: printable, without blanks (the list separates its columns by
// blanks), not empty, not longer than max.
bool Word(const std::string& field, std::size_t max) {
    return !field.empty() && field.size() <= max &&
           std::all_of(field.begin(), field.end(),
                       [](char c) { return static_cast<unsigned char>(c) > 0x20 && c != 0x7f; });
}

bool Pid(const std::string& field, pid_t& pid) {
    std::uint64_t value = 0;
    if (!RegistryWire::Number(field, INT_MAX, value)) {
        return false;
    }
    pid = static_cast<pid_t>(value);
    return true;
}

bool Uid(const std::string& field, std::uint32_t& uid) {
    std::uint64_t value = 0;
    // (uid_t)-1 names no account.
    if (!RegistryWire::Number(field, UINT32_MAX - 1, value)) {
        return false;
    }
    uid = static_cast<std::uint32_t>(value);
    return true;
}

std::string Iso(std::time_t t) {
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

void SetTimeout(int fd, int option, int milliseconds) {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

ZavdRegistry::ZavdRegistry(std::function<void(const std::string&)> log, std::string proc,
                           std::function<std::time_t()> now)
    : m_log(std::move(log)), m_proc(std::move(proc)), m_now(std::move(now)) {}

void ZavdRegistry::Add(pid_t pid, UniqueFd channel, const std::string& peer,
                       const std::string& address) {
    // Once poll has said a message begins, the rest of it must follow within the time.
    SetTimeout(channel.Get(), SO_RCVTIMEO, kMessageTimeoutMs);
    SetTimeout(channel.Get(), SO_SNDTIMEO, kMessageTimeoutMs);
    Record& record = m_records[pid];
    record = Record{};
    record.peer = peer;
    record.address = address;
    record.started = m_now();
    record.channel = std::move(channel);
}

void ZavdRegistry::Remove(pid_t pid) {
    m_records.erase(pid);
}

const ZavdRegistry::Record* ZavdRegistry::Find(pid_t pid) const {
    const auto it = m_records.find(pid);
    return it == m_records.end() ? nullptr : &it->second;
}

void ZavdRegistry::Watch(std::vector<pollfd>& fds, std::vector<pid_t>& sessions) const {
    for (const auto& [pid, record] : m_records) {
        if (record.channel.Valid() && record.listening) {
            fds.push_back(pollfd{record.channel.Get(), POLLIN, 0});
            sessions.push_back(pid);
        }
    }
}

void ZavdRegistry::Readable(pid_t pid) {
    const auto it = m_records.find(pid);
    if (it == m_records.end() || !it->second.channel.Valid() || !it->second.listening) {
        return;
    }
    Record& record = it->second;
    char first = 0;
    const ssize_t n = ::recv(record.channel.Get(), &first, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        record.channel.Reset();  // the session has closed its end: it is ending
        return;
    }
    if (n < 0) {
        return;
    }
    RegistryMessage message;
    if (!RegistryWire::Receive(record.channel.Get(), message)) {
        Stop(pid, record,
             errno == EAGAIN ? "a message not completed within " +
                                   std::to_string(kMessageTimeoutMs / 1000) + " s"
                             : "a malformed message");
        return;
    }
    if (message.passed.Valid()) {
        Stop(pid, record, "a descriptor with its message");
        return;
    }
    bool understood = false;
    switch (message.code) {
        case RegistryCode::State:
            understood = OnState(pid, record, message.fields);
            break;
        case RegistryCode::Offers:
            understood = OnOffers(pid, record, message.fields);
            break;
        case RegistryCode::Attach:
            understood = OnAttach(pid, record, message.fields);
            break;
        default:
            break;
    }
    if (!understood) {
        Stop(pid, record,
             "a malformed message (code " +
                 std::to_string(static_cast<std::uint32_t>(message.code)) + ", " +
                 std::to_string(message.fields.size()) + " fields)");
    }
}

bool ZavdRegistry::OnState(pid_t pid, Record& record, const std::vector<std::string>& fields) {
    State state = State::Attached;
    std::uint32_t uid = 0;
    pid_t shell = 0;
    pid_t relayed = 0;
    if (fields.size() != 6) {
        return false;
    }
    if (fields[0] == "attached") {
        state = State::Attached;
    } else if (fields[0] == "detached") {
        state = State::Detached;
    } else if (fields[0] == "relay") {
        state = State::Relay;
    } else {
        return false;
    }
    if (!Word(fields[1], kMaxAccount) || !Uid(fields[2], uid) || !Word(fields[3], kMaxAddress) ||
        !Pid(fields[4], shell) || !Pid(fields[5], relayed) ||
        (state == State::Relay) != (relayed != 0)) {
        return false;
    }
    const State before = record.state;
    record.state = state;
    record.account = fields[1];
    record.uid = uid;
    record.address = fields[3];
    record.shell = shell;
    record.relayed = relayed;
    if (before == State::LoggingIn && state != State::Detached) {
        Log(pid, record, "logged on as " + record.account);
    }
    if (state == State::Detached && before != State::Detached) {
        record.detached = m_now();
        record.detachedFrom = record.address;
        Log(pid, record,
            "detached (" + record.account + ", running " + ForegroundProgram(shell) + ")");
    } else if (state != State::Detached) {
        record.detached = 0;
        record.detachedFrom.clear();
    }
    return true;
}

bool ZavdRegistry::OnOffers(pid_t pid, Record& record, const std::vector<std::string>& fields) {
    std::uint32_t uid = 0;
    if (fields.size() != 1 || !Uid(fields[0], uid)) {
        return false;
    }
    std::vector<std::pair<pid_t, const Record*>> offers;
    for (const auto& [other, candidate] : m_records) {
        if (other != pid && candidate.state == State::Detached && candidate.uid == uid) {
            offers.emplace_back(other, &candidate);
        }
    }
    std::sort(offers.begin(), offers.end(), [](const auto& a, const auto& b) {
        return a.second->detached != b.second->detached ? a.second->detached > b.second->detached
                                                        : a.first > b.first;
    });
    std::vector<std::string> reply;
    for (const auto& [other, candidate] : offers) {
        reply.push_back(std::to_string(other));
        reply.push_back(std::to_string(candidate->detached));
        reply.push_back(candidate->detachedFrom);
        reply.push_back(ForegroundProgram(candidate->shell));
    }
    if (!RegistryWire::Send(record.channel.Get(), RegistryCode::Offers, reply)) {
        record.channel.Reset();
    }
    return true;
}

bool ZavdRegistry::OnAttach(pid_t pid, Record& record, const std::vector<std::string>& fields) {
    std::uint32_t uid = 0;
    pid_t wanted = 0;
    if (fields.size() != 3 || !Uid(fields[0], uid) || !Pid(fields[1], wanted) ||
        !Word(fields[2], kMaxAddress)) {
        return false;
    }
    const std::string& address = fields[2];
    const auto it = m_records.find(wanted);
    if (it == m_records.end() || wanted == pid) {
        Refuse(record, "no session " + fields[1]);
        return true;
    }
    Record& target = it->second;
    if (target.state != State::Detached) {
        Refuse(record, "session " + fields[1] + " is not detached");
        return true;
    }
    if (target.uid != uid) {
        Refuse(record, "session " + fields[1] + " belongs to another user");
        return true;
    }
    int relay[2] = {-1, -1};
    if (!target.channel.Valid() ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, relay) != 0) {
        Refuse(record, "session " + fields[1] + " cannot be reached");
        return true;
    }
    UniqueFd oldEnd(relay[0]);
    UniqueFd newEnd(relay[1]);
    if (!RegistryWire::Send(target.channel.Get(), RegistryCode::Attach, {address}, oldEnd.Get())) {
        target.channel.Reset();
        Refuse(record, "session " + fields[1] + " cannot be reached");
        return true;
    }
    oldEnd.Reset();
    // Taken at once: no second Attach may get it while the two sessions set up the relay.
    target.state = State::Attached;
    target.address = address;
    target.detached = 0;
    target.detachedFrom.clear();
    Log(wanted, target, "reattached from " + address + " by session " + std::to_string(pid));
    if (!RegistryWire::Send(record.channel.Get(), RegistryCode::Attach, {}, newEnd.Get())) {
        record.channel.Reset();
    }
    return true;
}

void ZavdRegistry::Refuse(Record& record, const std::string& why) {
    if (!RegistryWire::Send(record.channel.Get(), RegistryCode::Refused, {why})) {
        record.channel.Reset();
    }
}

void ZavdRegistry::Stop(pid_t pid, Record& record, const std::string& why) {
    // The channel stays open (an End can still be sent), but is not read any more.
    record.listening = false;
    Log(pid, record, "sent " + why + " on its registry channel; not listened to any more");
}

void ZavdRegistry::Log(pid_t pid, const Record& record, const std::string& text) const {
    m_log(record.peer + " session " + std::to_string(pid) + ": " + text);
}

ZavdRegistry::EndResult ZavdRegistry::End(pid_t pid) {
    const auto it = m_records.find(pid);
    if (it == m_records.end()) {
        return EndResult::NoSession;
    }
    Record& record = it->second;
    if (!record.channel.Valid() ||
        !RegistryWire::Send(record.channel.Get(), RegistryCode::End, {})) {
        record.channel.Reset();
        return EndResult::Unreachable;
    }
    Log(pid, record, "ended by zavd --end");
    return EndResult::Ended;
}

std::string ZavdRegistry::List() const {
    std::vector<std::pair<pid_t, const Record*>> rows;
    for (const auto& [pid, record] : m_records) {
        rows.emplace_back(pid, &record);
    }
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return a.second->started != b.second->started ? a.second->started < b.second->started
                                                      : a.first < b.first;
    });
    std::string text = "PID  USER  ADDRESS  STATE  SINCE  STARTED  PROGRAM\n";
    for (const auto& [pid, record] : rows) {
        std::string state;
        switch (record->state) {
            case State::LoggingIn:
                state = "logging-in";
                break;
            case State::Attached:
                state = "attached";
                break;
            case State::Detached:
                state = "detached";
                break;
            case State::Relay:
                state = "relay:" + std::to_string(record->relayed);
                break;
        }
        const bool running = record->state != State::LoggingIn && record->shell > 0;
        text += std::to_string(pid) + "  " + (record->account.empty() ? "-" : record->account) +
                "  " + record->address + "  " + state + "  " +
                (record->state == State::Detached ? Iso(record->detached) : "-") + "  " +
                Iso(record->started) + "  " + (running ? ForegroundProgram(record->shell) : "-") +
                "\n";
    }
    return text;
}

std::string ZavdRegistry::ForegroundProgram(pid_t shell) const {
    if (shell <= 0) {
        return "-";
    }
    std::ifstream statFile(m_proc + "/" + std::to_string(shell) + "/stat");
    std::stringstream stat;
    stat << statFile.rdbuf();
    const std::string line = stat.str();
    const auto end = line.rfind(')');
    if (end == std::string::npos) {
        return "-";
    }
    // After the name: state, parent, group, session, terminal, the terminal's foreground
    // group.
    std::istringstream fields(line.substr(end + 1));
    std::string state;
    long parent = 0;
    long group = 0;
    long session = 0;
    long terminal = 0;
    long foreground = 0;
    if (!(fields >> state >> parent >> group >> session >> terminal >> foreground) ||
        foreground <= 0 || foreground > INT_MAX) {
        return "-";
    }
    std::string name;
    std::getline(std::ifstream(m_proc + "/" + std::to_string(foreground) + "/comm"), name);
    if (name.empty()) {
        return "-";
    }
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    return name;
}
