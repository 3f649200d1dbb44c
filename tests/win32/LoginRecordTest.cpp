// The system's log-in records as the system's own tools read them: who (utmp), last
// (wtmp) and lastlog, on files of the test's own mounted over the system's in a mount
// namespace of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/LogInRecords.h"
#include "support/TestSupport.h"
#include "win32/IsolatedChild.h"
#include "win32/LoginRecord.h"

namespace {

constexpr const char* kUser = "zavtest30";

std::string At(const test::IsolatedChild::Facts& facts, const std::string& name) {
    const auto found = facts.find(name);
    return found != facts.end() ? found->second : "(none)";
}

// The words of the line of a tool's output that names the account and the terminal's
// line first, or none.
std::vector<std::string> Entry(const std::string& output, const std::string& line) {
    std::istringstream lines(output);
    std::string text;
    while (std::getline(lines, text)) {
        std::istringstream words(text);
        std::vector<std::string> entry;
        for (std::string word; words >> word;) {
            entry.push_back(word);
        }
        if (entry.size() >= 2 && entry[0] == kUser && entry[1] == line) {
            return entry;
        }
    }
    return {};
}

// A pseudo-terminal of the child's, so that the line is a real one.
std::string NewTerminal(std::vector<UniqueFd>& keep) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        return "";
    }
    keep.emplace_back(master);
    return ::ptsname(master);
}

TEST(LoginRecord, WhoLastAndLastlogShowTheLogInUntilItsEnd) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the records are root's to write";
    }
    const passwd* account = ::getpwnam(kUser);
    if (account == nullptr) {
        GTEST_SKIP() << "no test account " << kUser << " (tests/accounts.sh makes it)";
    }
    const uid_t uid = account->pw_uid;
    const auto facts = test::IsolatedChild().Run([&](test::IsolatedChild& child) {
        if (!child.Overlay("/run") || !child.Overlay("/var/log")) {
            child.Fact("skip", "cannot overlay /run and /var/log here");
            return;
        }
        for (const char* file : {"/run/utmp", "/var/log/wtmp", "/var/log/lastlog"}) {
            test::WriteFile(file, "");
        }
        std::vector<UniqueFd> terminals;
        const std::string first = NewTerminal(terminals);
        const std::string second = NewTerminal(terminals);
        child.Fact("first", first.substr(5));
        child.Fact("second", second.substr(5));
        // The records name a live process: who leaves out entries whose process is gone.
        const pid_t pid = ::getpid();
        child.Fact("login", LoginRecord::Login(first, kUser, uid, "192.0.2.7", pid) &&
                                    LoginRecord::Login(second, kUser, uid, "2001:db8::5", pid)
                                ? "yes"
                                : "no");
        child.Fact("who", test::Run("who").output);
        child.Fact("last", test::Run("last -w -f /var/log/wtmp").output);
        child.Fact("last_ip", test::Run("last -w -i -f /var/log/wtmp").output);
        child.Fact("lastlog", test::Run(std::string("lastlog -u ") + kUser).output);
        // A log-out for a process that is not the entry's leaves the entry alone.
        child.Fact("logout",
                   LoginRecord::Logout(first, pid) && LoginRecord::Logout(second, pid + 1000000)
                       ? "yes"
                       : "no");
        child.Fact("who_after", test::Run("who").output);
        child.Fact("wtmp_after", test::Run("utmpdump /var/log/wtmp 2>/dev/null").output);
        child.Fact("pid", std::to_string(pid));
        // Without utmp (a system that keeps none) the other records are still written.
        ::unlink("/run/utmp");
        child.Fact("login_without_utmp",
                   LoginRecord::Login(first, kUser, uid, "192.0.2.8", pid) ? "yes" : "no");
        child.Fact("last_without_utmp", test::Run("last -w -f /var/log/wtmp").output);
    });
    if (facts.contains("skip")) {
        GTEST_SKIP() << At(facts, "skip");
    }
    ASSERT_FALSE(facts.contains("error")) << At(facts, "error");
    const std::string first = At(facts, "first");
    const std::string second = At(facts, "second");
    ASSERT_TRUE(first.starts_with("pts/") && second.starts_with("pts/")) << first << second;
    EXPECT_EQ(At(facts, "login"), "yes");
    EXPECT_EQ(At(facts, "logout"), "yes");

    const std::string who = At(facts, "who");
    EXPECT_TRUE(test::Has(Entry(who, first), "(192.0.2.7)")) << who;
    EXPECT_TRUE(test::Has(Entry(who, second), "(2001:db8::5)")) << who;

    // last -i reads the binary address, plain last the host field.
    const std::string last = At(facts, "last");
    const std::string lastIp = At(facts, "last_ip");
    EXPECT_TRUE(test::Has(Entry(last, first), "192.0.2.7")) << last;
    EXPECT_TRUE(test::Has(Entry(lastIp, first), "192.0.2.7")) << lastIp;
    EXPECT_TRUE(test::Has(Entry(lastIp, second), "2001:db8::5")) << lastIp;

    // lastlog holds the latest log-in, in the account's own slot.
    const std::string lastlog = At(facts, "lastlog");
    EXPECT_TRUE(test::Has(Entry(lastlog, second), "2001:db8::5")) << lastlog;

    const std::string whoAfter = At(facts, "who_after");
    EXPECT_TRUE(Entry(whoAfter, first).empty()) << whoAfter;
    EXPECT_FALSE(Entry(whoAfter, second).empty()) << whoAfter;
    // wtmp's latest record of the line is its log-out (last pairs them by line; it shows
    // a log-out made within the second it runs as "still running", hence utmpdump).
    const std::string wtmp = At(facts, "wtmp_after");
    const std::vector<std::string> logout = test::LatestRecord(wtmp, first);
    ASSERT_EQ(logout.size(), 8U) << wtmp;
    EXPECT_EQ(logout[0], "8") << wtmp;  // DEAD_PROCESS
    EXPECT_EQ(std::stol(logout[1]), std::stol(At(facts, "pid"))) << wtmp;
    EXPECT_EQ(logout[3], "") << wtmp;  // no name

    EXPECT_EQ(At(facts, "login_without_utmp"), "yes");
    EXPECT_TRUE(test::Has(Entry(At(facts, "last_without_utmp"), first), "192.0.2.8"))
        << At(facts, "last_without_utmp");
}

}  // namespace
