#include "platform/ZWinsta.h"

#include <gtest/gtest.h>
#include <security/pam_appl.h>

#include <cerrno>
#include <cstdlib>

#include "console/ConsoleFlow.h"
#include "infra/ZTraceScope.h"
#include "support/TestSupport.h"
#include "win32/ConsoleTerminal.h"
#include "win32/PamErrorCode.h"

namespace {

std::string Probe(const std::string& arguments) {
    return test::Run(std::string(ZAV_PROBE_PATH) + " switches " + arguments).output;
}

TEST(GetCmdLineParam, ValueRunsToTheNextBlank) {
    EXPECT_EQ(Probe("-ppid:1234 -debug: -port:22"),
              "-ppid:=[1234]\n-debug:=[]\n-port:=[22]\n-ip:=[]\n");
}

TEST(GetCmdLineParam, FirstOccurrenceAnywhereAndNoQuoting) {
    EXPECT_EQ(Probe("-ip:1.2.3.4 -ip:5.6.7.8 '-port:\"4 711\"' x-ppid:9"),
              "-ppid:=[9]\n-debug:=[]\n-port:=[\"4]\n-ip:=[1.2.3.4]\n");
}

class ExpandTest : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("ZAV_T_X", "1", 1); }
    void TearDown() override {
        ::unsetenv("ZAV_T_X");
        ::unsetenv(" of ");
    }
    static std::string Expand(std::string text) {
        EXPECT_TRUE(ZWinsta::ExpandEnvironmentString(text));
        return text;
    }
};

TEST_F(ExpandTest, PercentSignsPairFromTheLeft) {
    EXPECT_EQ(Expand("a%ZAV_T_X%b"), "a1b");
    EXPECT_EQ(Expand("a%ZAV_T_UNSET%b"), "ab");
    EXPECT_EQ(Expand("100%"), "100%");
    EXPECT_EQ(Expand("%%"), "");
    EXPECT_EQ(Expand("50% of %ZAV_T_X%"), "50ZAV_T_X%");
    ::setenv(" of ", "<of>", 1);
    EXPECT_EQ(Expand("50% of %ZAV_T_X%"), "50<of>ZAV_T_X%");
    EXPECT_EQ(Expand("%ZAV_T_X%%ZAV_T_X%"), "11");
}

TEST_F(ExpandTest, ValueLongerThanTheBufferContributesNothing) {
    ::setenv("ZAV_T_X", std::string(1019, 'v').c_str(), 1);
    EXPECT_EQ(Expand("<%ZAV_T_X%>"), "<" + std::string(1019, 'v') + ">");
    ::setenv("ZAV_T_X", std::string(1020, 'v').c_str(), 1);
    EXPECT_EQ(Expand("<%ZAV_T_X%>"), "<>");
}

TEST(GetErrorMessage, SystemAndLogonCodes) {
    EXPECT_EQ(ZWinsta::GetErrorMessage(ENOENT), "No such file or directory\r\n");
    EXPECT_EQ(ZWinsta::GetErrorMessage(PamErrorCode(PAM_AUTH_ERR)),
              std::string(pam_strerror(nullptr, PAM_AUTH_ERR)) + "\r\n");
    EXPECT_EQ(ZWinsta::GetErrorMessage(99999), "");
    EXPECT_EQ(ZWinsta::GetErrorMessage(PamErrorCode(9999)), "");
}

TEST(SetWinstaAndDesktop, SucceedsOnlyOnceTheConsoleIsProvided) {
    ConsoleTerminal::SetProvider(nullptr);
    EXPECT_FALSE(ZWinsta::SetWinstaAndDesktop("zav"));
    ProvideConsoleTerminal();
    EXPECT_TRUE(ZWinsta::SetWinstaAndDesktop("zav"));
}

TEST(SetWinstaAndDesktop, FailsAtTheFirstStepWithoutAConsole) {
    const auto run = test::Run(std::string(ZAV_PROBE_PATH) + " winsta-without-descriptors");
    ASSERT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("result=[0]"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(" : " + std::to_string(EMFILE) + ":\t OpenWindowStation( ):err"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("SetSecurityInfo"), std::string::npos) << run.output;
}

}  // namespace
