// The client's terminal reports what the programs asked of it (mouse clicks, pastes) and
// types Ctrl+Space, through the whole product: zavd, brisel, a real account, and the
// OpenSSH client in a tmux pane.
#include <gtest/gtest.h>

#include <string>

#include "support/BriselSession.h"

namespace {

using test::Password;

class TerminalReports : public test::BriselSession {
  protected:
    void LogOn(const std::string& user) {
        Start(user);
        ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
        Type(Password(user));
        ASSERT_TRUE(terminal->WaitForText(user + ">")) << terminal->Capture();
    }
    // A paste of text as a terminal in bracketed-paste mode makes it: between the markers.
    void PasteBracketed(const std::string& text) {
        test::WriteFile(work / "paste.txt", text);
        terminal->SendBytes("\x1b[200~");
        terminal->Paste(work / "paste.txt");
        terminal->SendBytes("\x1b[201~");
    }
};

// bash's line editor asks for bracketed paste: pasted lines land on its command line and
// none runs; cat -v shows the markers around them.
TEST_F(TerminalReports, PastedLinesArriveBetweenTheMarkersAndDoNotRun) {
    const std::string user = "zavtest45";
    LogOn(user);
    PasteBracketed("echo pasted-one\necho pasted-two\necho pasted-three\n");
    // Ctrl+C only once the line editor shows the paste: the terminal discards input the
    // program has not read yet when it interrupts, which could be the end marker.
    ASSERT_TRUE(terminal->WaitForText("echo pasted-three")) << terminal->Capture();
    terminal->Send("C-c");  // the line editor drops what was pasted
    Type("echo after-paste");
    ASSERT_TRUE(terminal->WaitForText("\nafter-paste\n")) << terminal->Capture();
    const std::string pane = terminal->Capture();
    for (const char* line : {"\npasted-one\n", "\npasted-two\n", "\npasted-three\n"}) {
        EXPECT_EQ(pane.find(line), std::string::npos) << pane;
    }

    // Without echo, so that only what cat -v read shows.
    Type("stty -echo; printf '\\033[?2004h'; echo paste-on; cat -v; stty echo");
    ASSERT_TRUE(terminal->WaitForText("\npaste-on\n")) << terminal->Capture();
    PasteBracketed("one\ntwo\nthree\n");
    terminal->Send("Enter");
    terminal->Send("C-d");
    EXPECT_TRUE(terminal->WaitForText("\n^[[200~one\ntwo\nthree\n^[[201~\n" + user + ">"))
        << terminal->Capture();
}

TEST_F(TerminalReports, AMouseClickReachesAProgramThatAskedForItOnly) {
    const std::string user = "zavtest46";
    LogOn(user);
    const std::string press = "\x1b[<0;5;3M";
    const std::string release = "\x1b[<0;5;3m";
    Type("stty -echo; printf '\\033[?1000;1006h'; echo mouse-on; cat -v; stty echo");
    ASSERT_TRUE(terminal->WaitForText("\nmouse-on\n")) << terminal->Capture();
    terminal->SendBytes(press + release + "clicked");
    terminal->Send("Enter");
    terminal->Send("C-d");
    EXPECT_TRUE(terminal->WaitForText("\n^[[<0;5;3M^[[<0;5;3mclicked\n" + user + ">"))
        << terminal->Capture();

    Type("stty -echo; printf '\\033[?1000;1006l'; echo mouse-off; cat -v; stty echo");
    ASSERT_TRUE(terminal->WaitForText("\nmouse-off\n")) << terminal->Capture();
    terminal->SendBytes(press + release + "unclicked");
    terminal->Send("Enter");
    terminal->Send("C-d");
    EXPECT_TRUE(terminal->WaitForText("\nunclicked\n" + user + ">")) << terminal->Capture();
}

TEST_F(TerminalReports, CtrlSpaceReachesAProgramAsAZeroByte) {
    const std::string user = "zavtest47";
    LogOn(user);
    // The keys are sent once the line editor has given the terminal back (the echo ran).
    Type("echo od-starts; od -c; echo od-ended");
    ASSERT_TRUE(terminal->WaitForText("\nod-starts\n")) << terminal->Capture();
    terminal->Send("a", true);
    terminal->Send("C-Space");
    terminal->Send("b", true);
    terminal->Send("Enter");
    terminal->Send("C-d");
    ASSERT_TRUE(terminal->WaitForText("\nod-ended\n")) << terminal->Capture();
    EXPECT_NE(terminal->Capture().find("a  \\0   b  \\n"), std::string::npos)
        << terminal->Capture();
}

}  // namespace
