// The screen mirror at its limits, through the whole product and the OpenSSH client in a
// tmux pane: clients as tall as the picture supports, clients taller than that, and
// program output that looks like the session's scroll mark.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "support/BriselSession.h"

namespace {

using test::Password;

class MirrorLimits : public test::BriselSession {
  protected:
    // Logs user on in a client of columns x rows and waits for the shell's prompt.
    void LogOn(const std::string& user, int columns, int rows) {
        StartService({}, {});
        ASSERT_TRUE(zavd && zavd->Port() > 0);
        terminal = Connect(user, columns, rows);
        ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
        Type(Password(user));
        ASSERT_TRUE(terminal->WaitForText(user + ">")) << terminal->Capture();
    }

    static bool Numeric(const std::string& row) {
        return !row.empty() && row.find_first_not_of("0123456789") == std::string::npos;
    }

    // seq 1 1000 in a client of columns x rows: every line reaches the client's history
    // once and in order, and its screen ends with the last lines and the prompt, with
    // nothing left below it.
    void EveryLineOfATallClient(const std::string& user, int columns, int rows) {
        LogOn(user, columns, rows);
        Type("stty size");
        ASSERT_TRUE(terminal->WaitForText("\n" + std::to_string(rows) + " " +
                                          std::to_string(columns) + "\n"))
            << terminal->Capture();
        Type("seq 1 1000; echo seq-done");
        const std::string prompt = user + ">";
        ASSERT_TRUE(terminal->WaitFor([&](const std::string& pane) {
            return pane.find("\n1000\nseq-done\n" + prompt) != std::string::npos;
        })) << terminal->Capture();

        std::vector<int> numbers;
        for (const std::string& row : Rows(terminal->History())) {
            if (Numeric(row)) {
                numbers.push_back(std::stoi(row));
            }
        }
        ASSERT_EQ(numbers.size(), 1000U) << terminal->History();
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            ASSERT_EQ(numbers[i], static_cast<int>(i) + 1) << "once each, in order";
        }

        const std::vector<std::string> screen = Rows(terminal->Capture());
        ASSERT_EQ(screen.size(), static_cast<std::size_t>(rows));
        std::size_t done = 0;
        while (done < screen.size() && screen[done] != "seq-done") {
            ++done;
        }
        ASSERT_LT(done + 1, screen.size()) << terminal->Capture();
        EXPECT_EQ(screen[done + 1].rfind(prompt, 0), 0U) << terminal->Capture();
        for (std::size_t r = done + 2; r < screen.size(); ++r) {
            EXPECT_EQ(screen[r], "") << "row " << r << " below the prompt";
        }
        // The screen is full of the output: every row above seq-done is its line.
        ASSERT_EQ(done, static_cast<std::size_t>(rows) - 2) << terminal->Capture();
        for (std::size_t r = 0; r < done; ++r) {
            EXPECT_EQ(screen[r], std::to_string(1000 - static_cast<int>(done - 1 - r)))
                << "row " << r;
        }
    }
};

TEST_F(MirrorLimits, AClientOf300RowsGetsEveryLineAndTheScreen) {
    EveryLineOfATallClient("zavtest41", 120, 300);
}

TEST_F(MirrorLimits, AClientOf320RowsOfTheConfiguredWidthGetsEveryLineAndTheScreen) {
    // The width the session starts with: the buffer changes only for the height.
    EveryLineOfATallClient("zavtest42", 80, 320);
}

TEST_F(MirrorLimits, AClientTallerThanSupportedIsToldSoAtTheShellAndInAFullScreenProgram) {
    const std::string user = "zavtest43";
    const std::string notice = "ZAV error: client screen mismatch";
    StartService({}, {});
    ASSERT_TRUE(zavd && zavd->Port() > 0);
    terminal = Connect(user, 80, 600);
    ASSERT_TRUE(terminal->WaitForText(notice)) << terminal->Capture();
    // The log-on goes on behind the notice; a supported size shows where it is.
    Type(Password(user));
    ASSERT_TRUE(terminal->Resize(80, 400)) << terminal->Capture();
    ASSERT_TRUE(terminal->WaitForText(user + ">")) << terminal->Capture();
    EXPECT_EQ(terminal->Capture().find(notice), std::string::npos);
    Type("stty size");
    ASSERT_TRUE(terminal->WaitForText("\n400 80\n")) << terminal->Capture();

    // A full-screen program has no scroll-back: the client is still told.
    Type("seq 1 1000 | sed 's/^/row /' > file; less file");
    ASSERT_TRUE(terminal->WaitFor([](const std::string& pane) {
        return Rows(pane).front() == "row 1";
    })) << terminal->Capture();
    ASSERT_TRUE(terminal->Resize(80, 401)) << terminal->Capture();
    EXPECT_TRUE(terminal->WaitForText(notice)) << terminal->Capture();
    // Back within the limit, where the program's screen did not change: it is shown again.
    ASSERT_TRUE(terminal->Resize(80, 400)) << terminal->Capture();
    ASSERT_TRUE(terminal->WaitFor([](const std::string& pane) {
        const auto rows = Rows(pane);
        return rows.size() == 400 && rows.front() == "row 1" && rows[398] == "row 399" &&
               pane.find("mismatch") == std::string::npos;
    })) << terminal->Capture();
    terminal->Send("q", true);
    Type("echo after-less");
    EXPECT_TRUE(terminal->WaitForText("\nafter-less\n")) << terminal->Capture();
}

TEST_F(MirrorLimits, AProgramsClubsInTheFirstColumnAreNotTheScrollMark) {
    const std::string user = "zavtest44";
    clientOptions = kUtf8Client;  // the shell's line editor takes the club in a UTF-8 locale
    LogOn(user, 80, 24);
    // U+2663, the scroll mark's character, starting each line, one write per line.
    Type("for i in $(seq 40); do echo \"\u2663 line $i\"; done; echo clubs-done");
    ASSERT_TRUE(terminal->WaitForText("\nclubs-done\n" + user + ">")) << terminal->Capture();
    // The next command's captures take the rows the last mark was planted on.
    Type("seq 1 30 | sed 's/^/more /'; echo more-done");
    ASSERT_TRUE(terminal->WaitForText("\nmore 30\nmore-done\n")) << terminal->Capture();
    std::vector<std::string> clubs;
    for (const std::string& row : Rows(terminal->History())) {
        // Output rows, not the command line's (where "$i" follows " line ").
        const std::size_t line = row.find(" line ");
        if (line != std::string::npos && Numeric(row.substr(line + 6))) {
            clubs.push_back(row);
        }
    }
    ASSERT_EQ(clubs.size(), 40U) << terminal->History();
    for (std::size_t i = 0; i < clubs.size(); ++i) {
        EXPECT_EQ(clubs[i], "\u2663 line " + std::to_string(i + 1));
    }
}

}  // namespace
