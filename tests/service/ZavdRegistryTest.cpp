// zavd's registry of sessions without processes: each session is the far end of a real
// socket pair, its messages are answered as zavd answers them, and the process files it
// reads for the foreground program are planted in a directory of the test's own.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/RegistryWire.h"
#include "base/UniqueFd.h"
#include "service/ZavdRegistry.h"
#include "support/TestSupport.h"

namespace {

constexpr std::uint32_t kUid = 1001;
constexpr std::uint32_t kOtherUid = 1002;

class Registry : public ::testing::Test {
  protected:
    Registry()
        : registry([this](const std::string& line) { log += line + "\n"; }, proc.Path().string(),
                   [this] { return clock; }) {}

    // A session zavd started: the test holds the session's end of its channel.
    int Start(pid_t pid) {
        int ends[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        timeval limit{5, 0};
        ::setsockopt(ends[1], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sessions[pid] = UniqueFd(ends[1]);
        registry.Add(pid, UniqueFd(ends[0]), "192.0.2.1:" + std::to_string(pid), "192.0.2.1:7");
        return ends[1];
    }
    // pid sends a message, and zavd takes it as its loop does once poll reports it.
    void Send(pid_t pid, RegistryCode code, const std::vector<std::string>& fields) {
        ASSERT_TRUE(RegistryWire::Send(sessions[pid].Get(), code, fields));
        ASSERT_TRUE(Watched(pid));
        registry.Readable(pid);
    }
    void State(pid_t pid, const std::string& state, std::uint32_t uid, pid_t shell = 0,
               pid_t relayed = 0) {
        Send(pid, RegistryCode::State,
             {state, "user" + std::to_string(uid), std::to_string(uid),
              "198.51.100.3:" + std::to_string(pid), std::to_string(shell),
              std::to_string(relayed)});
    }
    RegistryMessage Reply(pid_t pid) {
        RegistryMessage message;
        EXPECT_TRUE(RegistryWire::Receive(sessions[pid].Get(), message)) << "a reply to " << pid;
        return message;
    }
    bool Watched(pid_t pid) const {
        std::vector<pollfd> fds;
        std::vector<pid_t> pids;
        registry.Watch(fds, pids);
        return std::find(pids.begin(), pids.end(), pid) != pids.end();
    }
    // A shell whose terminal has group foreground in front, named program.
    void Plant(pid_t shell, pid_t foreground, const std::string& program) {
        const auto dir = proc.Path() / std::to_string(shell);
        std::filesystem::create_directories(dir);
        test::WriteFile(dir / "stat", std::to_string(shell) + " (ba sh) S 1 " +
                                          std::to_string(shell) + " " + std::to_string(shell) +
                                          " 34816 " + std::to_string(foreground) + " 4194304 0\n");
        std::filesystem::create_directories(proc.Path() / std::to_string(foreground));
        test::WriteFile(proc.Path() / std::to_string(foreground) / "comm", program + "\n");
    }

    test::TempDir proc;
    std::time_t clock = 1796802400;  // 2026-12-09T07:46:40Z
    std::string log;
    ZavdRegistry registry;
    std::map<pid_t, UniqueFd> sessions;
};

TEST_F(Registry, OffersOnlyTheUsersDetachedSessionsNewestFirst) {
    Plant(300, 310, "vim");
    for (const pid_t pid : {100, 200, 300, 400, 500}) {
        Start(pid);
    }
    State(100, "attached", kUid, 110);
    State(100, "detached", kUid, 110);  // the oldest
    clock += 60;
    State(300, "attached", kUid, 300);
    State(300, "detached", kUid, 300);  // the newest
    State(200, "attached", kOtherUid, 210);
    State(200, "detached", kOtherUid, 210);  // another user's
    State(400, "attached", kUid, 410);       // not detached
    Send(500, RegistryCode::Offers, {std::to_string(kUid)});
    const RegistryMessage offers = Reply(500);
    EXPECT_EQ(offers.code, RegistryCode::Offers);
    EXPECT_EQ(offers.fields, (std::vector<std::string>{
                                 "300", std::to_string(clock), "198.51.100.3:300", "vim", "100",
                                 std::to_string(clock - 60), "198.51.100.3:100", "-"}));
    Send(500, RegistryCode::Offers, {"4242"});
    EXPECT_TRUE(Reply(500).fields.empty()) << "a user without detached sessions: none";
}

TEST_F(Registry, AttachIsRefusedUnlessTheSessionIsTheUsersAndDetached) {
    for (const pid_t pid : {100, 200, 300}) {
        Start(pid);
    }
    State(100, "attached", kUid);
    State(100, "detached", kUid);
    State(200, "attached", kUid);
    const auto refused = [&](const std::string& uid, const std::string& pid) {
        Send(300, RegistryCode::Attach, {uid, pid, "203.0.113.5:4000"});
        const RegistryMessage reply = Reply(300);
        return reply.code == RegistryCode::Refused && reply.fields.size() == 1 &&
               !reply.passed.Valid();
    };
    EXPECT_TRUE(refused(std::to_string(kOtherUid), "100")) << "another user's";
    EXPECT_TRUE(refused(std::to_string(kUid), "200")) << "not detached";
    EXPECT_TRUE(refused(std::to_string(kUid), "999")) << "unknown";
    EXPECT_TRUE(refused(std::to_string(kUid), "300")) << "itself";
    EXPECT_EQ(registry.Find(100)->state, ZavdRegistry::State::Detached) << "still there to take";
    EXPECT_EQ(log.find("reattached"), std::string::npos);
}

TEST_F(Registry, AttachHandsBothSessionsAWorkingRelay) {
    Plant(110, 120, "top");
    Start(100);
    Start(300);
    State(100, "attached", kUid, 110);
    State(100, "detached", kUid, 110);
    Send(300, RegistryCode::Attach, {std::to_string(kUid), "100", "203.0.113.5:4000"});
    RegistryMessage toOld;
    ASSERT_TRUE(RegistryWire::Receive(sessions[100].Get(), toOld));
    EXPECT_EQ(toOld.code, RegistryCode::Attach);
    EXPECT_EQ(toOld.fields, std::vector<std::string>{"203.0.113.5:4000"});
    RegistryMessage toNew = Reply(300);
    EXPECT_EQ(toNew.code, RegistryCode::Attach);
    EXPECT_TRUE(toNew.fields.empty());
    ASSERT_TRUE(toOld.passed.Valid() && toNew.passed.Valid());
    ASSERT_EQ(::write(toNew.passed.Get(), "hi", 2), 2);
    char buffer[2] = {};
    ASSERT_EQ(::read(toOld.passed.Get(), buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "hi") << "the two ends are one relay";
    EXPECT_NE(log.find("192.0.2.1:100 session 100: reattached from 203.0.113.5:4000 by session "
                       "300\n"),
              std::string::npos)
        << log;

    // Taken at once: a second asker gets nothing.
    Start(400);
    Send(400, RegistryCode::Attach, {std::to_string(kUid), "100", "203.0.113.6:4001"});
    EXPECT_EQ(Reply(400).code, RegistryCode::Refused);
    Send(400, RegistryCode::Offers, {std::to_string(kUid)});
    EXPECT_TRUE(Reply(400).fields.empty());
}

TEST_F(Registry, ListsEverySessionWithItsStateAndLogsTheChanges) {
    Plant(210, 220, "vim");
    Plant(310, 310, "bash");
    Start(100);
    clock += 1;
    Start(200);
    Start(300);
    clock += 1;
    Start(400);
    State(200, "attached", kUid, 210);
    State(300, "attached", kUid, 310);
    clock += 3600;
    State(300, "detached", kUid, 310);
    State(400, "relay", kUid, 0, 300);
    EXPECT_EQ(registry.List(),
              "PID  USER  ADDRESS  STATE  SINCE  STARTED  PROGRAM\n"
              "100  -  192.0.2.1:7  logging-in  -  2026-12-09T07:46:40Z  -\n"
              "200  user1001  198.51.100.3:200  attached  -  2026-12-09T07:46:41Z  vim\n"
              "300  user1001  198.51.100.3:300  detached  2026-12-09T08:46:42Z  "
              "2026-12-09T07:46:41Z  bash\n"
              "400  user1001  198.51.100.3:400  relay:300  -  2026-12-09T07:46:42Z  -\n");
    EXPECT_EQ(log,
              "192.0.2.1:200 session 200: logged on as user1001\n"
              "192.0.2.1:300 session 300: logged on as user1001\n"
              "192.0.2.1:300 session 300: detached (user1001, running bash)\n"
              "192.0.2.1:400 session 400: logged on as user1001\n");
    registry.Remove(200);
    EXPECT_EQ(registry.List().find("\n200 "), std::string::npos) << "reaped: gone";
}

TEST_F(Registry, EndIsSentToTheSessionAndLogged) {
    Start(100);
    EXPECT_EQ(registry.End(100), ZavdRegistry::EndResult::Ended);
    const RegistryMessage end = Reply(100);
    EXPECT_EQ(end.code, RegistryCode::End);
    EXPECT_TRUE(end.fields.empty());
    EXPECT_EQ(log, "192.0.2.1:100 session 100: ended by zavd --end\n");
    EXPECT_EQ(registry.End(101), ZavdRegistry::EndResult::NoSession);
    sessions.erase(100);
    registry.Readable(100);  // its end closed: the channel goes
    EXPECT_FALSE(Watched(100));
    EXPECT_EQ(registry.End(100), ZavdRegistry::EndResult::Unreachable);
}

TEST_F(Registry, AMalformedMessageStopsOnlyTheListeningToThatSession) {
    Start(100);
    Start(200);
    // A state it does not know, a uid that is no number, an account with a blank, a
    // code only zavd sends, and a message cut short.
    const std::vector<std::pair<RegistryCode, std::vector<std::string>>> bad = {
        {RegistryCode::State, {"asleep", "a", "1", "x:1", "0", "0"}},
        {RegistryCode::State, {"attached", "a", "-1", "x:1", "0", "0"}},
        {RegistryCode::State, {"attached", "a b", "1", "x:1", "0", "0"}},
        {RegistryCode::State, {"relay", "a", "1", "x:1", "0", "0"}},
        {RegistryCode::Offers, {}},
        {RegistryCode::Attach, {"1", "100"}},
        {RegistryCode::End, {}},
    };
    for (const auto& [code, fields] : bad) {
        const std::string before = log;
        Send(100, code, fields);
        EXPECT_FALSE(Watched(100)) << "not listened to after a malformed message";
        EXPECT_NE(log.find("192.0.2.1:100 session 100: sent a malformed message", before.size()),
                  std::string::npos)
            << log;
        sessions.erase(100);
        registry.Remove(100);
        Start(100);
    }
    EXPECT_EQ(registry.Find(100)->state, ZavdRegistry::State::LoggingIn);
    // A header that promises more than ever comes: given up after the time limit.
    const char header[8] = {1, 0, 0, 0, 100, 0, 0, 0};
    ASSERT_EQ(::write(sessions[100].Get(), header, sizeof header), 8);
    registry.Readable(100);
    EXPECT_FALSE(Watched(100));
    EXPECT_NE(log.find("a message not completed within 1 s"), std::string::npos) << log;
    // The other session is served as before, and the silenced one can still be ended.
    State(200, "attached", kUid);
    EXPECT_EQ(registry.Find(200)->state, ZavdRegistry::State::Attached);
    EXPECT_EQ(registry.End(100), ZavdRegistry::EndResult::Ended);
}

}  // namespace
