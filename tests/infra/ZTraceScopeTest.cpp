#include "infra/ZTraceScope.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "base/UniqueFd.h"
#include "support/TestSupport.h"

namespace {

// 20 April 2006 09:05:07.045 UTC.
void FixedClock(SYSTEMTIME* t) {
    *t = SYSTEMTIME{2006, 4, 4, 20, 9, 5, 7, 45};
}

std::string Prefix(DWORD thread, int error) {
    char text[64];
    std::snprintf(text, sizeof text, "%5u :%5u 2006- 4-20  9: 5: 7  45 :%3d:\t",
                  GetCurrentProcessId(), thread, error);
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start) + "<no CR LF>");
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// Every test runs inside its own scope, so the levels it sets end with it, and writes
// to files of its own.
class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetTraceClock(&FixedClock);
        TraceThreshold(0);
        m_traceFile = m_dir / "trace.txt";
        m_logFile = m_dir / "log.txt";
        m_errorFile = m_dir / "error.txt";
        TraceFile(m_traceFile);
        LogFile(m_logFile);
        ErrorFile(m_errorFile);
    }
    void TearDown() override {
        SetTraceClock(nullptr);
        SetIsoLineTime(false);
        SetLineProcessId(0);
        TraceThreshold(0);
    }

    std::vector<std::string> TraceLines() const { return Lines(test::ReadFile(m_traceFile)); }

    test::TempDir m_dir;
    std::string m_traceFile;
    std::string m_logFile;
    std::string m_errorFile;
};

TEST_F(TraceTest, LogLineHasTheExactPrefixAndLineEnd) {
    LogLine("brisel.exe started ");
    EXPECT_EQ(test::ReadFile(m_logFile),
              Prefix(GetCurrentThreadId(), 0) + "brisel.exe started \r\n");
}

TEST_F(TraceTest, PrefixFieldsAreBlankFilledNotZeroFilled) {
    SetTraceClock([](SYSTEMTIME* t) { *t = SYSTEMTIME{2026, 12, 2, 8, 23, 59, 58, 999}; });
    LogLine("x");
    char expected[64];
    std::snprintf(expected, sizeof expected, "%5u :%5u 2026-12- 8 23:59:58 999 :  0:\tx\r\n",
                  GetCurrentProcessId(), GetCurrentThreadId());
    EXPECT_EQ(test::ReadFile(m_logFile), expected);
}

TEST_F(TraceTest, IsoTimeIsZeroFilledUtcWithMilliseconds) {
    SetTraceClock([](SYSTEMTIME* t) { *t = SYSTEMTIME{2026, 12, 2, 8, 1, 2, 3, 7}; });
    SetIsoLineTime(true);
    LogLine("x");
    char expected[64];
    std::snprintf(expected, sizeof expected, "%5u :%5u 2026-12-08T01:02:03.007Z :  0:\tx\r\n",
                  GetCurrentProcessId(), GetCurrentThreadId());
    EXPECT_EQ(test::ReadFile(m_logFile), expected);
}

TEST_F(TraceTest, ANamedProcessIdStandsForTheProcessOnly) {
    SetLineProcessId(4321);
    LogLine("x");
    char expected[64];
    std::snprintf(expected, sizeof expected, " 4321 :%5u 2006- 4-20  9: 5: 7  45 :  0:\tx\r\n",
                  GetCurrentThreadId());
    EXPECT_EQ(test::ReadFile(m_logFile), expected);
}

// The shipped fail2ban filter dates a refusal by either time form, and finds the
// session's own address behind a name built to look like another.
TEST_F(TraceTest, Fail2banFilterReadsBothTimeForms) {
    if (test::Run("command -v fail2ban-regex >/dev/null").status != 0) {
        GTEST_SKIP() << "no fail2ban-regex (scripts/setup.sh installs it)";
    }
    SetTraceClock([](SYSTEMTIME* t) { *t = SYSTEMTIME{2026, 12, 2, 8, 9, 5, 7, 45}; });
    for (const bool iso : {false, true}) {
        SetIsoLineTime(iso);
        LogLine(std::string("login refused: [ x ] from 10.9.9.9 port 1 - y ] from 192.0.2.") +
                (iso ? "8" : "7") + " port 5022 - Authentication failure");
    }
    // The jail of the filter's comment reads the older form as UTC.
    const auto run =
        test::Run("TZ=UTC fail2ban-regex -v --timezone UTC " + test::Quote(m_logFile) + " " +
                  test::Quote(std::string(ZAV_CONFIG_DIR) + "/fail2ban/zav.conf"));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Failregex: 2 total"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("|      192.0.2.7  Tue Dec 08 09:05:07 2026"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("|      192.0.2.8  Tue Dec 08 09:05:07 2026"), std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("10.9.9.9"), std::string::npos) << run.output;
}

TEST_F(TraceTest, AMessagesOwnLineEndsAreLeftOutAndInnerOnesEscaped) {
    LogLine("login refused: [ x ] - Authentication failure\r\n");
    LogLine("session refused: [ x\r\ny ]\n\r\n");
    ZTraceScope trace;
    trace.Trace("LogonUser: ", "Authentication failure\r\n");
    const auto log = Lines(test::ReadFile(m_logFile));
    ASSERT_EQ(log.size(), 2U);
    EXPECT_EQ(log[0],
              Prefix(GetCurrentThreadId(), 0) + "login refused: [ x ] - Authentication failure");
    EXPECT_EQ(log[1], Prefix(GetCurrentThreadId(), 0) + "session refused: [ x\\x0d\\x0ay ]");
    ASSERT_EQ(TraceLines().size(), 1U);
    EXPECT_TRUE(TraceLines()[0].ends_with("LogonUser: Authentication failure{")) << TraceLines()[0];
}

TEST_F(TraceTest, TraceLineCarriesSignedErrorCodeRightAligned) {
    {
        ZTraceScope trace;
        trace.Write("neg", static_cast<DWORD>(-5));
        trace.Write("wide", 1314);
        SetLastError(2);
        trace.Trace("SetThreadDesktop( ", "):err");
    }
    const DWORD tid = GetCurrentThreadId();
    const auto lines = TraceLines();
    ASSERT_EQ(lines.size(), 4U);
    EXPECT_EQ(lines[0], Prefix(tid, -5) + "neg{");
    EXPECT_EQ(lines[1], Prefix(tid, 1314) + " wide");
    EXPECT_NE(lines[1].find(" :1314:\t"), std::string::npos);
    EXPECT_NE(lines[0].find(" : -5:\t"), std::string::npos);
    EXPECT_EQ(lines[2], Prefix(tid, 2) + " SetThreadDesktop( ):err");
    EXPECT_EQ(lines[3], Prefix(tid, 0) + "}");
}

TEST_F(TraceTest, TracingLeavesTheLastErrorCodeAlone) {
    ZTraceScope trace;
    SetLastError(13);
    trace.Trace("a");
    LogLine("b");
    ErrorLine("c");
    EXPECT_EQ(GetLastError(), 13U);
}

TEST_F(TraceTest, NestedScopesIndentAndBrace) {
    {
        ZTraceScope a;
        a.Trace("A( )");
        a.Trace("a1");
        {
            ZTraceScope b;
            b.Trace("B( )");
            b.Trace("b1");
            {
                ZTraceScope c;
                c.Trace("C( )");
                c.Trace("c1");
            }
        }
    }
    std::vector<std::string> bodies;
    for (const auto& line : TraceLines()) {
        bodies.push_back(line.substr(line.find('\t') + 1));
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{"A( ){", " a1", " B( ){", "  b1", "  C( ){",
                                                "   c1", "  }", " }", "}"}));
}

TEST_F(TraceTest, FirstWrittenLineCarriesTheBraceWhenEntryIsFiltered) {
    ZTraceScope outer;  // keeps the level change below inside this test
    TraceThreshold(1);
    TraceLevel(0);
    {
        ZTraceScope scope;
        scope.Trace("Filtered( )");
        TraceLevel(10);
        scope.Trace("[ value ]");
    }
    std::vector<std::string> bodies;
    for (const auto& line : TraceLines()) {
        bodies.push_back(line.substr(line.find('\t') + 1));
    }
    // The outer scope is depth 1, the inner one depth 2.
    EXPECT_EQ(bodies, (std::vector<std::string>{" [ value ]{", " }"}));
    EXPECT_EQ(TraceLevel(-1), 0) << "the scope restores the level saved at its creation";
}

TEST_F(TraceTest, ScopeLeftByExceptionClosesAndRestores) {
    const std::int32_t levelBefore = TraceLevel(-1);
    try {
        ZTraceScope scope;
        scope.Trace("Throws( )");
        TraceLevel(10);
        throw std::runtime_error("x");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(TraceLevel(-1), levelBefore);
    {
        ZTraceScope after;
        after.Trace("After( )");
    }
    std::vector<std::string> bodies;
    for (const auto& line : TraceLines()) {
        bodies.push_back(line.substr(line.find('\t') + 1));
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{"Throws( ){", "}", "After( ){", "}"}));
}

TEST_F(TraceTest, ThresholdAndLevelsArePerThread) {
    ZTraceScope outer;
    TraceLevel(0);
    TraceThreshold(1);
    EXPECT_FALSE(TraceEnabled());

    std::thread late([] {
        ZTraceScope scope;
        EXPECT_TRUE(TraceEnabled());  // created with threshold 1
        scope.Trace("late thread");
    });
    late.join();
    {
        ZTraceScope scope;
        scope.Trace("main filtered");
        TraceLevel(10);
        EXPECT_TRUE(TraceEnabled());
        scope.Trace("main raised");
    }
    EXPECT_FALSE(TraceEnabled()) << "the raise ends with its scope";
    ZTraceScope after;
    after.Trace("main filtered again");

    std::string bodies;
    for (const auto& line : TraceLines()) {
        bodies += line.substr(line.find('\t') + 1) + "|";
    }
    EXPECT_EQ(bodies, "late thread{|}| main raised{| }|");
}

TEST_F(TraceTest, ErrorFileGetsTheTenMostRecentLines) {
    for (int i = 1; i <= 12; ++i) {
        LogLine("log " + std::to_string(i));
    }
    ErrorLine("failure");
    const auto lines = Lines(test::ReadFile(m_errorFile));
    ASSERT_EQ(lines.size(), 10U);
    EXPECT_EQ(lines.front().substr(lines.front().find('\t') + 1), "log 4");
    EXPECT_EQ(lines.back().substr(lines.back().find('\t') + 1), "failure");
    EXPECT_EQ(RecentLines(""), test::ReadFile(m_errorFile));
    // The error line itself is not in the log file.
    EXPECT_EQ(Lines(test::ReadFile(m_logFile)).size(), 12U);
}

TEST_F(TraceTest, ReportErrorWritesErrorTraceAndLogLines) {
    {
        ZTraceScope scope;
        ReportError(scope, "dup.GetSocket( ):err");
    }
    EXPECT_NE(test::ReadFile(m_errorFile).find("dup.GetSocket( ):err\r\n"), std::string::npos);
    EXPECT_NE(test::ReadFile(m_traceFile).find("dup.GetSocket( ):err{\r\n"), std::string::npos);
    EXPECT_EQ(test::ReadFile(m_logFile),
              Prefix(GetCurrentThreadId(), 0) + "dup.GetSocket( ):err\r\n");
}

TEST_F(TraceTest, FileNamesReplaceOnlyTheFirstPid) {
    const std::string pid = std::to_string(GetCurrentProcessId());
    EXPECT_EQ(TraceFile(m_dir / "trace_?pid.txt"), m_dir / ("trace_" + pid + ".txt"));
    EXPECT_EQ(LogFile(m_dir / "log_?pid_?pid.txt"), m_dir / ("log_" + pid + "_?pid.txt"));
    EXPECT_EQ(ErrorFile(m_dir / "plain.txt"), m_dir / "plain.txt");
    EXPECT_EQ(ErrorFile(""), m_dir / "plain.txt") << "an empty name leaves the name";
}

TEST_F(TraceTest, UnwritableFileIsSkipped) {
    LogFile(m_dir / "missing-dir/log.txt");
    LogLine("lost");
    LogFile(m_logFile);
    LogLine("kept");
    EXPECT_EQ(Lines(test::ReadFile(m_logFile)).size(), 1U);
}

TEST_F(TraceTest, ControlCharactersCannotForgeALine) {
    LogLine("login refused: [ x\r\n2006-01-01 login accepted: [ root ] ]\x1b[2J\x7f");
    ZTraceScope trace;
    trace.Trace("user \n", 1);
    const auto log = Lines(test::ReadFile(m_logFile));
    ASSERT_EQ(log.size(), 1U);
    EXPECT_EQ(log[0], Prefix(GetCurrentThreadId(), 0) +
                          "login refused: [ x\\x0d\\x0a2006-01-01 login accepted: [ root ] "
                          "]\\x1b[2J\\x7f");
    ASSERT_EQ(TraceLines().size(), 1U);
    EXPECT_NE(TraceLines()[0].find("user \\x0a1"), std::string::npos) << TraceLines()[0];
}

TEST_F(TraceTest, FilesAreNeverOpenedThroughALinkOrIntoAPipe) {
    const std::string target = m_dir / "target.txt";
    test::WriteFile(target, "root's file\n");
    const std::string link = m_dir / "link.txt";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    LogFile(link);
    LogLine("planted");
    EXPECT_EQ(test::ReadFile(target), "root's file\n") << "the link is not followed";
    const std::string fifo = m_dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    LogFile(fifo);
    LogLine("never blocks");  // a reader-less pipe would block an ordinary open
    LogFile(m_logFile);
    LogLine("kept");
    EXPECT_EQ(Lines(test::ReadFile(m_logFile)).size(), 1U);
}

// While it lives, what the process writes to its standard error goes to a file.
class StandardErrorCapture {
  public:
    explicit StandardErrorCapture(const std::string& path)
        : m_saved(::dup(STDERR_FILENO)),
          m_file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {
        if (m_saved.Valid() && m_file.Valid()) {
            ::dup2(m_file.Get(), STDERR_FILENO);
        }
    }
    ~StandardErrorCapture() {
        if (m_saved.Valid()) {
            ::dup2(m_saved.Get(), STDERR_FILENO);
        }
    }
    StandardErrorCapture(const StandardErrorCapture&) = delete;
    StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;

  private:
    UniqueFd m_saved;
    UniqueFd m_file;
};

TEST_F(TraceTest, AFileOthersCouldPlantGetsNothingAndIsSaidOnce) {
    const std::string shared = m_dir / "shared";
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const std::string name = LogFile(shared + "/log_?pid.txt");
    const std::string said = m_dir / "stderr.txt";
    {
        const StandardErrorCapture capture(said);
        LogLine("typed text");
        LogLine("more typed text");
        AppendToFile(name, "through the monitor\r\n");
    }
    EXPECT_FALSE(std::filesystem::exists(name));
    const std::string expected = std::string(program_invocation_short_name) + "[" +
                                 std::to_string(GetCurrentProcessId()) + "]: not writing to " +
                                 name + ": " + shared +
                                 ", the file's own directory, can be written by all (mode 1777): "
                                 "others can plant the file there first\n";
    EXPECT_EQ(test::ReadFile(said), expected) << "one line for the file, not one per write";
    // The lines are still among the recent lines the error file gets.
    EXPECT_NE(RecentLines("").find("more typed text"), std::string::npos);
}

TEST_F(TraceTest, ConcurrentLinesNeverInterleave) {
    SetTraceClock(nullptr);  // the real clock
    constexpr int kThreads = 4;
    constexpr int kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                ZTraceScope scope;
                scope.Trace("thread ", t, " line ", i, " ", std::string(100, 'x'));
                LogLine("log " + std::to_string(t) + " " + std::to_string(i));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const std::regex trace(
        R"( *\d+ : *\d+ \d{4}-[ \d]\d-[ \d]\d [ \d]\d:[ \d]\d:[ \d]\d [ \d]{2}\d : +-?\d+:\t)"
        R"((thread \d line \d+ x{100}\{|\}))");
    const auto lines = TraceLines();
    EXPECT_EQ(lines.size(), 2U * kThreads * kLines);
    for (const auto& line : lines) {
        ASSERT_TRUE(std::regex_match(line, trace)) << line;
    }
    EXPECT_EQ(Lines(test::ReadFile(m_logFile)).size(), static_cast<std::size_t>(kThreads * kLines));
}

// What a sink was handed: file name and text, call by call.
std::vector<std::pair<std::string, std::string>> g_sunk;

void RecordingSink(const std::string& name, std::string_view text) {
    g_sunk.emplace_back(name, text);
}

TEST_F(TraceTest, SinkTakesEachLineWholeAndNoFileIsOpened) {
    g_sunk.clear();
    SetLastError(0);
    SetTraceSink(&RecordingSink);
    {
        ZTraceScope scope;
        scope.Trace("handed on");
    }
    LogLine("logged");
    ErrorLine("failed");
    SetTraceSink(nullptr);
    const std::string prefix = Prefix(GetCurrentThreadId(), 0);
    const std::vector<std::pair<std::string, std::string>> expected{
        {m_traceFile, prefix + "handed on{\r\n"},
        {m_traceFile, prefix + "}\r\n"},
        {m_logFile, prefix + "logged\r\n"},
        {m_errorFile, RecentLines("")}};
    EXPECT_EQ(g_sunk, expected);
    EXPECT_TRUE(RecentLines("").ends_with(prefix + "logged\r\n" + prefix + "failed\r\n"));
    EXPECT_TRUE(std::filesystem::is_empty(m_dir.Path())) << "a process with a sink opens no file";
}

TEST(TraceFreshProcess, NoFileNamesMeansNothingOnDiskButRecentLinesKept) {
    test::TempDir dir;
    const auto run = test::Run("cd " + test::Quote(dir.Path().string()) + " && " + ZAV_PROBE_PATH +
                               " recent-only");
    ASSERT_EQ(run.status, 0);
    const auto lines = Lines(run.output);
    ASSERT_EQ(lines.size(), 10U);
    EXPECT_EQ(lines.front().substr(lines.front().find('\t') + 1), "line 3");
    EXPECT_EQ(lines.back().substr(lines.back().find('\t') + 1), "line 12");
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST(TraceFreshProcess, ErrorEarlyWritesOnlyTheLinesMadeSoFar) {
    test::TempDir dir;
    const std::string errorFile = dir / "err.txt";
    const auto run =
        test::Run(std::string(ZAV_PROBE_PATH) + " error-after-three " + test::Quote(errorFile));
    ASSERT_EQ(run.status, 0);
    std::vector<std::string> bodies;
    for (const auto& line : Lines(test::ReadFile(errorFile))) {
        bodies.push_back(line.substr(line.find('\t') + 1));
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{"one", "two", "three", "boom"}));
}

}  // namespace
