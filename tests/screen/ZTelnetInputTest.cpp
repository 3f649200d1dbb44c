#include <gtest/gtest.h>

#include <string>

#include "infra/ZTraceScope.h"
#include "screen/ZTelnet.h"
#include "support/ConsoleSupport.h"
#include "support/TestSupport.h"

namespace {

using namespace std::string_literals;

TEST(ZTelnetInput, OptionRequestsAreRefusedAndRefusalsSwallowed) {
    ZTelnet telnet;
    std::string input = "\xff\xfd\x18"s;
    std::string reply;
    EXPECT_TRUE(telnet.Consume_iac_do_will(input, reply));
    EXPECT_EQ(reply, "\xff\xfc\x18"s) << "DO is answered WONT";
    EXPECT_EQ(input, "");

    input = "\xff\xfb\x01\x41"s;
    reply.clear();
    EXPECT_TRUE(telnet.Consume_iac_do_will(input, reply));
    EXPECT_EQ(reply, "\xff\xfe\x01"s) << "WILL is answered DONT";
    EXPECT_EQ(input, "A");

    for (const std::string& refusal : {"\xff\xfe\x01\x41"s, "\xff\xfc\x01\x41"s}) {
        input = refusal;
        reply = "stale";
        EXPECT_FALSE(telnet.Consume_iac_do_will(input, reply));
        EXPECT_EQ(input, refusal);
        EXPECT_TRUE(telnet.Consume_iac_dont_wont(input, reply));
        EXPECT_EQ(reply, "") << "refusals get no answer";
        EXPECT_EQ(input, "A");
    }

    // Truncated or foreign sequences are left alone.
    for (const std::string& other :
         {"\xff\xfd"s, "\xff\xfe"s, "\xfd\xfd\x18"s, "\xff\xfa\x1f"s, "abc"s, ""s}) {
        input = other;
        reply.clear();
        EXPECT_FALSE(telnet.Consume_iac_do_will(input, reply));
        EXPECT_FALSE(telnet.Consume_iac_dont_wont(input, reply));
        EXPECT_EQ(input, other);
        EXPECT_EQ(reply, "");
    }
}

TEST(ZTelnetInput, WindowSizeReportNeedsNineBytes) {
    ZTelnet telnet;
    std::string input = "\xff\xfa\x1f\x00\x50\x00\x18\xff\xf0"s;
    EXPECT_TRUE(telnet.Consume_iac_sb_naws(input));
    EXPECT_EQ(input, "");
    EXPECT_EQ(telnet.m_clientSize.columns, 80);
    EXPECT_EQ(telnet.m_clientSize.rows, 24);

    // Big-endian, unsigned bytes; what follows the report stays.
    input = "\xff\xfa\x1f\x01\x2c\x00\xc8\xff\xf0xyz"s;
    EXPECT_TRUE(telnet.Consume_iac_sb_naws(input));
    EXPECT_EQ(input, "xyz");
    EXPECT_EQ(telnet.m_clientSize.columns, 300);
    EXPECT_EQ(telnet.m_clientSize.rows, 200);

    const std::string seven = "\xff\xfa\x1f\x00\x50\x00\x18"s;
    input = seven;
    EXPECT_FALSE(telnet.Consume_iac_sb_naws(input));
    EXPECT_EQ(input, seven);
    input = "\xff\xfa\x18\x00\x50\x00\x18\xff\xf0"s;  // another option's sub-negotiation
    EXPECT_FALSE(telnet.Consume_iac_sb_naws(input));
    EXPECT_EQ(telnet.m_clientSize.columns, 300) << "a refused report changes nothing";
}

TEST(ZTelnetInput, PairsAnswerOnceInTableOrder) {
    ZTelnet telnet;
    telnet.m_pairs = {{"AB", "C", false}, {"A", "first A", false}, {"A", "second A", false}};
    std::string input = "ABD";
    std::string reply;
    EXPECT_TRUE(telnet.Consume_client_server(input, reply));
    EXPECT_EQ(reply, "C");
    EXPECT_EQ(input, "D");
    EXPECT_TRUE(telnet.m_pairs[0].used);

    input = "ABD";
    reply.clear();
    EXPECT_TRUE(telnet.Consume_client_server(input, reply)) << "the next unused pair that fits";
    EXPECT_EQ(reply, "first A");
    EXPECT_EQ(input, "BD");
    input = "A";
    reply.clear();
    EXPECT_TRUE(telnet.Consume_client_server(input, reply));
    EXPECT_EQ(reply, "second A");
    input = "AB";
    reply.clear();
    EXPECT_FALSE(telnet.Consume_client_server(input, reply)) << "every pair is used up";
    EXPECT_EQ(input, "AB");

    // A pair longer than the input does not match a prefix of itself.
    ZTelnet longer;
    longer.m_pairs = {{"ABC", "x", false}};
    input = "AB";
    EXPECT_FALSE(longer.Consume_client_server(input, reply));
    EXPECT_FALSE(longer.m_pairs[0].used);
}

TEST(ZTelnetInput, EmptyPairsAreUsedUpOnePerCallWithoutConsuming) {
    ZTelnet telnet;
    telnet.Load("/nonexistent/telnet.ini");  // 256 empty pairs
    ASSERT_EQ(telnet.m_pairs.size(), 256U);
    std::string input = "x";
    for (int i = 0; i < 256; ++i) {
        std::string reply = "stale";
        ASSERT_TRUE(telnet.Consume_client_server(input, reply));
        EXPECT_EQ(reply, "");
        EXPECT_EQ(input, "x");
    }
    std::string reply;
    EXPECT_FALSE(telnet.Consume_client_server(input, reply));
}

TEST(ZTelnetInput, CtrlCDisabledIsLeftForTheKeys) {
    ZTelnet telnet;
    telnet.m_ctrlCEnabled = false;
    std::string input = "\x03";
    EXPECT_FALSE(telnet.Consume_ctrl_c(input));
    EXPECT_EQ(input, "\x03");
}

TEST(ZTelnetInput, CtrlCInterruptsTheConsolesForegroundProgram) {
    // The console is shared by the whole process: an earlier test may have left a scroll
    // guard that holds the program's output back.
    ASSERT_NE(ConsoleHost::Instance(), nullptr);
    test::Console().Reset();
    const pid_t program =
        test::SpawnOnConsole("exec " + std::string(ZAV_PROBE_PATH) + " interrupt");
    const bool waiting = test::WaitForRow("waiting") >= 0;
    if (!waiting) {
        test::WaitExit(program, 0);  // it waits for a Ctrl+C forever: later tests would see it
    }
    ASSERT_TRUE(waiting);
    ZTelnet telnet;
    std::string input = "a";
    EXPECT_FALSE(telnet.Consume_ctrl_c(input)) << "only the Ctrl+C byte";
    input = "\x03\x61";
    EXPECT_TRUE(telnet.Consume_ctrl_c(input));
    EXPECT_EQ(input, "a");
    EXPECT_GE(test::WaitForRow("interrupted"), 0);
    int status = 0;
    ASSERT_TRUE(test::WaitExit(program, 20, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ZTelnetInput, CtrlCWithNobodyToInterruptIsAnErrorAndKeepsTheByte) {
    test::TempDir dir;
    ErrorFile(dir / "error.txt");
    ASSERT_NE(ConsoleHost::Instance(), nullptr);  // a console that no program uses
    test::Console().Reset();
    ZTelnet telnet;
    std::string input = "\x03";
    EXPECT_FALSE(telnet.Consume_ctrl_c(input));
    EXPECT_EQ(input, "\x03");
    EXPECT_NE(test::ReadFile(dir / "error.txt").find("GenerateConsoleCtrlEvent( ):err\r\n"),
              std::string::npos);
}

TEST(ZTelnetInput, HiddenInputShowsOnlyItsLengthInTheTrace) {
    test::TempDir dir;
    TraceThreshold(0);
    TraceFile(dir / "trace.txt");
    ZTelnet telnet;
    telnet.m_pairs = {{"zz", "", false}};
    HideTracedInput(true);
    std::string input = "s3cret";
    std::string reply;
    telnet.Consume_client_server(input, reply);
    telnet.Consume_iac_sb_naws(input);
    HideTracedInput(false);
    const std::string trace = test::ReadFile(dir / "trace.txt");
    EXPECT_EQ(trace.find("s3cret"), std::string::npos);
    EXPECT_NE(trace.find("ZTelnet::Consume_client_server( (6 bytes) )"), std::string::npos);
    EXPECT_NE(trace.find("ZTelnet::Consume_iac_sb_naws( (6 bytes) )"), std::string::npos);

    telnet.Consume_iac_sb_naws(input);
    EXPECT_NE(test::ReadFile(dir / "trace.txt").find("ZTelnet::Consume_iac_sb_naws( s3cret )"),
              std::string::npos)
        << "shown again once no longer hidden";
}

}  // namespace
