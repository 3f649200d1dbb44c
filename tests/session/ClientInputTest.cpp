#include "session/ClientInput.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "infra/ZTraceScope.h"
#include "platform/ZConsole.h"
#include "support/ConsoleFixture.h"
#include "support/ConsoleSupport.h"
#include "support/KeyProbe.h"
#include "support/TestSupport.h"

namespace {

using namespace std::string_literals;

const std::string kConfig = ZAV_CONFIG_DIR;

// The session's parsers and key mapper over the shipped configuration, posting to the
// console's window.
struct Input {
    Input() {
        key.Load(kConfig + "/zav_keys.ini");
        telnet.Load(kConfig + "/zav_telnet.ini");
        key.m_hWnd = console.GetWindowHandle();
        reports.m_hOutput = console.GetOutputHandle();
        reports.m_hInput = console.GetInputHandle();
    }
    std::string Consume(std::string bytes) {
        return ConsumeClientInput(telnet, reports, key, bytes);
    }

    ZConsole console;
    ZTelnet telnet;
    ClientReports reports;
    ZKey key;
};

// Client input goes to programs on a fresh console.
class ClientInput : public test::ConsoleFixture {};

TEST_F(ClientInput, ParsersThenKeysThenDropped) {
    test::KeyProbe probe;
    ASSERT_TRUE(probe.Ready());
    Input in;
    test::TempDir dir;
    TraceThreshold(10);
    TraceFile(dir / "trace.txt");
    TraceLevel(0);  // as in the session's loop
    in.telnet.m_pairs = {{"\x1b[c", "\x1b[?1;2c", false}};
    const std::string input =
        "\xff\xfd\x18"  // DO TERMINAL-TYPE
        "a"
        "\xff\xfa\x1f\x00\x64\x00\x20\xff\xf0"  // window size 100 x 32
        "\x1b[c"                                // the scripted request
        "\x80\x81"                              // no key sends these: dropped
        "b"
        "\xff\xfb\x01"  // WILL ECHO
        "\xff\xfc\x03"  // WONT SUPPRESS-GO-AHEAD: no answer
        "c"s;
    const std::string reply = in.Consume(input);
    EXPECT_EQ(reply, "\xff\xfc\x18\x1b[?1;2c\xff\xfe\x01"s);
    EXPECT_EQ(in.telnet.m_clientSize.columns, 100);
    EXPECT_EQ(in.telnet.m_clientSize.rows, 32);
    EXPECT_EQ(probe.Received(3), "abc");
    const std::string trace = test::ReadFile(dir / "trace.txt");
    // The first line written in the scope carries its opening brace.
    EXPECT_NE(trace.find("consume : " + EscapedText(reply) + "{\r\n"), std::string::npos)
        << "the reply is traced at level 10";
    EXPECT_EQ(trace.find("ZBrisel::Consume("), std::string::npos) << "the rest at level 0";

    // The scripted pair answers once only; afterwards its bytes are typed.
    EXPECT_EQ(in.Consume("\x1b[c"), "");
}

TEST_F(ClientInput, EveryUtf8CharacterReachesTheProgramAndInvalidBytesAreDroppedOneByOne) {
    test::KeyProbe probe;
    ASSERT_TRUE(probe.Ready());
    Input in;
    const std::string text = "\u00e9\u20ac\u041f\u0440\u0438\u4e2d\u6587e\u0301\U0001F600!";
    // Invalid: a cut-off character before "x", a surrogate, an overlong slash, a code
    // point beyond U+10FFFF, a lone continuation byte: each is dropped, nothing after it.
    std::string input = text + "\xe2\x82x\xed\xa0\x80\xc0\xafy\xf4\x90\x80\x80\x80z";
    // A character split between two reads is awaited, not dropped.
    const std::string emoji = "\U0001F601";
    input += emoji.substr(0, 2);
    ConsumeClientInput(in.telnet, in.reports, in.key, input, input.size());
    EXPECT_EQ(input, emoji.substr(0, 2));
    EXPECT_FALSE(ClientInputReady(in.reports, input));
    input += emoji.substr(2);
    EXPECT_TRUE(ClientInputReady(in.reports, input));
    ConsumeClientInput(in.telnet, in.reports, in.key, input, input.size());
    EXPECT_EQ(input, "");
    const std::string expected = text + "xyz" + emoji;
    EXPECT_EQ(probe.Received(expected.size()), expected);
}

// The terminal's reports pass to the program unchanged, in order with the keys around
// them, once it asked for them; before that they are dropped, and what was pasted
// between two markers is typed all the same.
TEST_F(ClientInput, ReportsReachTheProgramOnlyWhenItAskedForThem) {
    test::KeyProbe probe;
    ASSERT_TRUE(probe.Ready());
    Input in;
    const std::string reports =
        "a\x1b[<0;5;3Mb\x1b[I\x1b[200~x\x1b[201~c\x1b[O\x1b[M \xff\x80"
        "\x1b[32;10;5M";
    EXPECT_EQ(in.Consume(reports), "");
    in.Consume("|");
    std::string expected = "abxc|";
    ASSERT_EQ(probe.Received(expected.size()), expected);

    test::Console().ApplyOutput("\x1b[?1000;1006;1004;2004h");  // as the program would
    in.Consume(reports);
    expected += reports;
    ASSERT_EQ(probe.Received(expected.size()), expected);

    // A report cut at the end of the data waits for its rest; a lone ESC does not.
    std::string input = "d\x1b[<0;1";
    ConsumeClientInput(in.telnet, in.reports, in.key, input, input.size());
    EXPECT_EQ(input, "\x1b[<0;1");
    EXPECT_FALSE(ClientInputReady(in.reports, input));
    input += ";2m\x1b";
    EXPECT_TRUE(ClientInputReady(in.reports, input));
    ConsumeClientInput(in.telnet, in.reports, in.key, input, input.size());
    EXPECT_EQ(input, "");
    expected += "d\x1b[<0;1;2m\x1b";
    EXPECT_EQ(probe.Received(expected.size()), expected);
}

TEST_F(ClientInput, HiddenInputNeverReachesTheTrace) {
    test::KeyProbe probe;
    ASSERT_TRUE(probe.Ready());
    test::TempDir dir;
    TraceThreshold(0);
    TraceFile(dir / "trace.txt");
    Input in;
    HideTracedInput(true);
    in.Consume("Pa55w0rd\r");
    HideTracedInput(false);
    EXPECT_EQ(probe.Received(9), "Pa55w0rd\r") << "hidden input is still typed";
    const std::string trace = test::ReadFile(dir / "trace.txt");
    EXPECT_NE(trace.find("ZBrisel::Consume( (9 bytes) )"), std::string::npos);
    for (const char* part : {"Pa55", "w0rd", "a55w", " w = 80 ", " w = 97 "}) {
        EXPECT_EQ(trace.find(part), std::string::npos) << part;
    }
}

// The terminal echoes keys when it receives them, not when they are read: a line that
// reaches it before the log-on's line mode without echo shows, although it is then read
// with echo off. Only the hiding mode lets a password through unseen.
TEST_F(ClientInput, KeysShowUnlessTheConsoleHidesThemWhenTheyArrive) {
    Input in;
    EXPECT_FALSE(ConsoleHidesInput(in.console)) << "a fresh terminal echoes";
    in.Consume("typed-ahead\r");
    // The keys reach the terminal on the console's own time: once there, they show.
    const int echoed = test::WaitForRow("typed-ahead");
    EXPECT_GE(echoed, 0) << "echoed as it arrived";
    // The whole line, its Enter too, before echo goes off: the terminal echoes each key
    // as it takes it.
    EXPECT_TRUE(test::WaitFor([&] { return test::Info().dwCursorPosition.Y == echoed + 1; }));
    ASSERT_TRUE(in.console.SetConsoleMode(ENABLE_LINE_INPUT));
    std::string line;
    ASSERT_TRUE(in.console.Read(line));
    EXPECT_EQ(line, "typed-ahead") << "and is read with echo off all the same";

    ASSERT_TRUE(ConsoleHidesInput(in.console));
    in.Consume("kept-hidden\r");
    ASSERT_TRUE(in.console.Read(line));
    EXPECT_EQ(line, "kept-hidden");
    // An echo of it would come before that of a later line.
    ASSERT_TRUE(in.console.SetConsoleMode(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
    in.Consume("shown-after\r");
    ASSERT_TRUE(in.console.Read(line));
    EXPECT_GE(test::WaitForRow("shown-after"), 0) << [] {
        std::string rows;
        for (int y = 0; y < 4; ++y) {
            rows += std::to_string(y) + ": [" + test::Text(y) + "]\n";
        }
        return rows;
    }();
    for (int y = 0; y < test::Info().dwSize.Y; ++y) {
        EXPECT_EQ(test::Text(y).find("kept-hidden"), std::string::npos) << "row " << y;
    }

    // Only whole lines without echo hide keys.
    for (const DWORD mode :
         {DWORD{0}, DWORD{ENABLE_ECHO_INPUT}, DWORD{ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT},
          DWORD{ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT}}) {
        ASSERT_TRUE(in.console.SetConsoleMode(mode));
        EXPECT_FALSE(ConsoleHidesInput(in.console)) << mode;
    }
    ASSERT_TRUE(in.console.SetConsoleMode(ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT));
    EXPECT_TRUE(ConsoleHidesInput(in.console));
}

// What an xterm sends a program for each key a client may send, in the normal and the
// application cursor-key mode: the shipped key table must produce exactly this.
struct KeyCase {
    std::string client;
    std::string normal;
    std::string application;
};

std::vector<KeyCase> XtermCases() {
    std::vector<KeyCase> cases;
    auto same = [&](const std::string& bytes) { cases.push_back({bytes, bytes, bytes}); };
    for (int c = 0x20; c < 0x7F; ++c) {
        same(std::string(1, static_cast<char>(c)));
    }
    for (int c = 0x00; c < 0x20; ++c) {  // NUL is Ctrl+Space
        if (c != 0x08) {
            same(std::string(1, static_cast<char>(c)));
        }
    }
    same("\x7f");
    cases.push_back({"\x08", "\x7f", "\x7f"});  // Backspace sent as Ctrl+H
    cases.push_back({"\r\n", "\r", "\r"});      // Enter sent as CR LF
    for (int c = 0xA0; c <= 0xFF; ++c) {
        same(std::string{static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))});
    }
    for (int c = 0x20; c < 0x7F; ++c) {
        if (c != '[' && c != 'O') {
            same("\x1b"s + static_cast<char>(c));  // Alt+key
        }
    }
    same("\x1b\x7f");
    same("\x1b\0"s);  // Alt+Ctrl+Space
    same("\x1b\r");
    same("\x1b\t");
    cases.push_back({"\x1b\x08", "\x1b\x7f", "\x1b\x7f"});
    for (const char* final : {"A", "B", "C", "D", "H", "F"}) {
        const std::string csi = "\x1b["s + final;
        const std::string ss3 = "\x1bO"s + final;
        cases.push_back({csi, csi, ss3});
        cases.push_back({ss3, csi, ss3});
    }
    for (const char* home : {"\x1b[1~", "\x1b[7~"}) {
        cases.push_back({home, "\x1b[H", "\x1bOH"});
    }
    for (const char* end : {"\x1b[4~", "\x1b[8~"}) {
        cases.push_back({end, "\x1b[F", "\x1bOF"});
    }
    for (const char* editing : {"\x1b[2~", "\x1b[3~", "\x1b[5~", "\x1b[6~"}) {
        same(editing);
    }
    const char* f1to4[] = {"\x1bOP", "\x1bOQ", "\x1bOR", "\x1bOS"};
    const char* vt220[] = {"\x1b[11~", "\x1b[12~", "\x1b[13~", "\x1b[14~"};
    const char* linux[] = {"\x1b[[A", "\x1b[[B", "\x1b[[C", "\x1b[[D"};
    for (int i = 0; i < 4; ++i) {
        same(f1to4[i]);
        cases.push_back({vt220[i], f1to4[i], f1to4[i]});
        cases.push_back({linux[i], f1to4[i], f1to4[i]});
    }
    cases.push_back({"\x1b[[E", "\x1b[15~", "\x1b[15~"});
    for (const char* f : {"15", "17", "18", "19", "20", "21", "23", "24"}) {
        same("\x1b["s + f + "~");
    }
    // Modified keys: Shift+Tab, Ctrl+Left, Shift+Up, Alt+End, Ctrl+Delete, Ctrl+F5, Shift+F1.
    for (const char* modified : {"\x1b[Z", "\x1b[1;5D", "\x1b[1;2A", "\x1b[1;3F", "\x1b[3;5~",
                                 "\x1b[15;5~", "\x1b[1;2P"}) {
        same(modified);
    }
    return cases;
}

void CheckKeys(bool application) {
    test::KeyProbe probe(application);
    ASSERT_TRUE(probe.Ready());
    Input in;
    std::string expected;
    for (const KeyCase& c : XtermCases()) {
        const std::string reply = in.Consume(c.client);
        ASSERT_EQ(reply, "");
        const std::string& bytes = application ? c.application : c.normal;
        expected += bytes;
        const std::string received = probe.Received(expected.size(), 5);
        ASSERT_EQ(received, expected) << "client sent " << ::testing::PrintToString(c.client)
                                      << ", a terminal sends " << ::testing::PrintToString(bytes);
    }
    // A carriage return alone: Enter.
    in.Consume("\r");
    EXPECT_EQ(probe.Received(expected.size() + 1), expected + "\r");
}

class ShippedKeyTable : public test::ConsoleFixture {};

TEST_F(ShippedKeyTable, EveryKeyReachesAProgramAsFromATerminal) {
    CheckKeys(false);
}

TEST_F(ShippedKeyTable, CursorKeysFollowTheProgramsApplicationMode) {
    CheckKeys(true);
}

TEST_F(ShippedKeyTable, EditingALineInAShell) {
    const pid_t shell = test::SpawnOnConsole("PS1='ready> ' exec bash --norc --noprofile -i 2>&1");
    ASSERT_GE(test::WaitForRow("ready>"), 0);
    Input in;
    // Type, go left twice, insert, go to the end, type more, then erase with both
    // Backspace forms and run the line.
    in.Consume("echo helo");
    in.Consume("\x1b[D\x1b[D");
    in.Consume("l");
    in.Consume("\x1bOF");
    in.Consume(" w\xc3\xb6rld!?");
    in.Consume("\x7f\x08");
    in.Consume("\r");
    EXPECT_GE(test::WaitForRow("hello w\xc3\xb6rld"), 0);
    // Ctrl+A goes to the start of the line, Ctrl+K cuts it: nothing runs.
    in.Consume("echo gone\x01\x0b");
    in.Consume("echo kept\r");
    EXPECT_GE(test::WaitForRow("kept"), 0);
    EXPECT_LT(test::WaitForRow("gone", 0), 0);
    in.Consume("exit\r");
    EXPECT_TRUE(test::WaitExit(shell));
}

TEST_F(ShippedKeyTable, PagingThroughAFileInAFullScreenProgram) {
    test::TempDir dir;
    std::string lines;
    for (int i = 1; i <= 200; ++i) {
        lines += "line " + std::to_string(i) + "\n";
    }
    test::WriteFile(dir / "file.txt", lines);
    const pid_t pager =
        test::SpawnOnConsole("LESS= LESSHISTFILE=- exec less " + test::Quote(dir / "file.txt"));
    ASSERT_TRUE(test::WaitFor([] { return test::WindowText(0) == "line 1"; }));
    const int rows = test::Info().srWindow.Bottom - test::Info().srWindow.Top + 1;
    Input in;
    in.Consume("\x1b[B");  // Down: one line
    EXPECT_TRUE(test::WaitFor([] { return test::WindowText(0) == "line 2"; }));
    in.Consume("\x1b[6~");  // PgDn: one window of lines less the prompt row
    const std::string top = "line " + std::to_string(2 + rows - 1);
    EXPECT_TRUE(test::WaitFor([&] { return test::WindowText(0) == top; })) << test::WindowText(0);
    in.Consume("\x1b[A");  // Up
    const std::string up = "line " + std::to_string(1 + rows - 1);
    EXPECT_TRUE(test::WaitFor([&] { return test::WindowText(0) == up; })) << test::WindowText(0);
    in.Consume("q");
    EXPECT_TRUE(test::WaitExit(pager));
}

}  // namespace
