// zav next to OpenSSH's sshd: the same account logs on through the same OpenSSH client in
// two tmux panes of the same size, one to zavd, one to a private Debian sshd, and the
// same commands are typed into both. After each step of a case, once a marker shows in
// both panes, the panes must agree: the screen cell for cell with colours and attributes,
// the cursor, the title, the modes tmux keeps (alternate screen, mouse reporting,
// insert, origin, wrap) and the whole history with soft-wrapped lines joined.
//
// One case alone: ctest -R 'SideBySide.*/Paste', or the binary with
// --gtest_filter='*SideBySide*/Paste'; all of them: ctest -L SideBySide.
// ZAV_SIDE_BY_SIDE_SELF_CHECK=1 compares sshd with itself (see the test).
//
// What is normalised, because it differs between the two servers and is not what is
// compared: everything up to the shell's first prompt (banner, password prompt, "Last
// login", the login shell's prompt and the title Debian's .bashrc sets). After the log-on
// both panes exec the same clean bash (same environment, PS1='$ ', each server's own TERM
// kept), clear the screen, and tmux forgets the history and names the pane's title the
// same; the cases start from there. After that only the blanks at the ends of history
// lines are left out of the comparison (see Snapshot::history).
//
// zav's screen, title and modes may reach the client after its marker (they travel
// apart from the marker's cells), so panes that differ are looked at again for a few
// seconds before the difference counts.
//
// Bracketed paste has no format in tmux 3.3: it shows in the paste case's screen, as
// tmux brackets a paste (paste-buffer -p) only when the program asked for it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/BriselSession.h"
#include "support/Sshd.h"

namespace {

// Its own account: the cases hold a lock on it, so no two of them share it at once.
const std::string kUser = "zavtest50";

// Both clients alike: password log-ons only, nothing from the invoking user's setup.
const std::string kClientOptions =
    "-o PubkeyAuthentication=no -o GSSAPIAuthentication=no -o "
    "PreferredAuthentications=password,keyboard-interactive -o ConnectTimeout=20";

// The terminal the clients run in, for both panes.
// tmux keeps a screen a program clears whole (ED 2) in its history (scroll-on-clear); zav
// mirrors the cells, so its client sees the rows blanked, not the erase, and keeps
// nothing. That is tmux's own habit, not what either server shows: it is off in both.
const std::string kTmuxSettings =
    "set-option -g default-terminal xterm-256color\nset-option -g scroll-on-clear off\n";

// The shell the cases run in, the same on both servers.
const std::string kShell =
    "exec env -i HOME=\"$HOME\" USER=\"$USER\" LOGNAME=\"$USER\" SHELL=/bin/bash "
    "PATH=/usr/local/bin:/usr/bin:/bin TERM=\"$TERM\" LANG=C.UTF-8 LESSHISTFILE=- HISTFILE= "
    "PS1='$ ' /bin/bash --norc --noprofile -i";

// What is typed or done at a client.
struct Input {
    enum class Kind { Line, Text, Keys, Paste, Click };
    Kind kind;
    std::string text;  // Line: typed, then Enter; Text: typed; Keys: tmux key names; Paste
    int column = 0;    // Click: the cell clicked, from 1
    int row = 0;
};

Input Line(const std::string& text) {
    return {Input::Kind::Line, text};
}
Input Text(const std::string& text) {
    return {Input::Kind::Text, text};
}
Input Keys(const std::string& keys) {
    return {Input::Kind::Keys, keys};
}
Input Paste(const std::string& text) {
    return {Input::Kind::Paste, text};
}
Input Click(int column, int row) {
    return {Input::Kind::Click, "", column, row};
}

// Inputs, then the text that shows in both panes once their effect is complete (output
// of a command, so never in the command line itself: markers are typed as EN''D).
struct Step {
    std::string name;
    std::vector<Input> inputs;
    std::string until;
    // False where the two may rightly differ; the step's marker must still show.
    bool compare = true;
    // False to compare the screen's text without its colours and attributes.
    bool attributes = true;
};

struct Case {
    std::string name;
    std::vector<Step> steps;
    int columns = 80;
    int rows = 24;
    bool vttest = false;
};

// Files the cases' commands use, in their working directory.
std::string NumberedLines() {
    std::string text;
    for (int i = 1; i <= 100; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "line %03d\n", i);
        text += line;
    }
    return text;
}

const char* const kHelloC =
    "/* A comment. */\n#include <stdio.h>\n\nstatic const char *greeting = \"hello\";\n\n"
    "int main(void)\n{\n    for (int i = 0; i < 3; ++i) {\n        printf(\"%s %d\\n\", "
    "greeting, i);\n    }\n    return 0;\n}\n";

const char* const kGradient256 =
    "for i in $(seq 0 76); do\n"
    "    printf '\\e[38;5;%d;48;5;%dm/' $((16 + i * 3)) $((232 + i % 24))\n"
    "done\nprintf '\\e[0m\\n'\n";

const char* const kTruecolour =
    "awk 'BEGIN { s = \"/\\\\\"; for (c = 0; c < 77; c++) {\n"
    "    r = 255 - (c * 255 / 76); g = (c * 510 / 76); b = (c * 255 / 76);\n"
    "    if (g > 255) g = 510 - g;\n"
    "    printf \"\\033[48;2;%d;%d;%dm\", r, g, b;\n"
    "    printf \"\\033[38;2;%d;%d;%dm\", 255 - r, 255 - g, 255 - b;\n"
    "    printf \"%s\\033[0m\", substr(s, c % 2 + 1, 1) }\n"
    "  printf \"\\n\" }'\n";

const char* const kAttributes =
    "printf '\\e[2mdim\\e[0m \\e[3mitalic\\e[0m \\e[5mblink\\e[0m \\e[9mstrike\\e[0m "
    "\\e[53mover\\e[0m \\e[4munder\\e[0m\\n'\n"
    "printf '\\e[1;31mbold red\\e[0m \\e[1;38;5;208mbold 208\\e[0m "
    "\\e[1;38;2;10;200;30mbold rgb\\e[0m \\e[2;34mdim blue\\e[0m\\n'\n"
    "printf '\\e[7mreverse\\e[0m \\e[7;32mreverse green\\e[0m "
    "\\e[7;38;5;33;48;5;226mreverse 33/226\\e[0m\\n'\n";

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"Paste",
         // bash highlights a pasted text (reverse video) until the next key; the highlight
         // shows in zav's pane but not in sshd's when the panes are read (bash writes the
         // same bytes to both: the difference is in when its redisplay lands), so this
         // step compares what is on the command line, and the next step the outcome.
         {{"paste", {Paste("echo one\necho two\necho three")}, "echo three", true, false},
          {"run", {Keys("Enter"), Line("echo EN''D")}, "END"}}},
        {"MouseClickInVim",
         {{"vim", {Line("vim -u NONE -i NONE -c 'set mouse=a' lines.txt; echo EN''D")}, "line 020"},
          {"click",
           {Click(6, 5), Text(":echo 'PO'.'S' line('.') col('.')"), Keys("Enter")},
           "POS "},
          {"quit", {Keys("Escape"), Line(":q!")}, "END"}}},
        {"WindowTitle",
         {{"title", {Line("printf '\\e]2;%s\\a' 'Side by side'; echo EN''D")}, "END"}}},
        {"VimLeavesNoHistory",
         {{"before", {Line("seq 1 5; echo EN''D1")}, "END1"},
          {"vim", {Line("vim -u NONE -i NONE lines.txt; echo EN''D2")}, "line 010"},
          {"quit", {Line(":q")}, "END2"}}},
        {"LessLeavesNoHistory",
         {{"before", {Line("seq 1 5; echo EN''D1")}, "END1"},
          {"less", {Line("less lines.txt; echo EN''D2")}, "line 010"},
          {"quit", {Text("q")}, "END2"}}},
        {"ClearAfter100Lines",
         {{"lines", {Line("seq 1 100; echo EN''D1")}, "END1"},
          {"clear", {Line("clear; echo EN''D2")}, "END2"}}},
        {"LongLineOfX", {{"line", {Line("printf '%300s\\n' | tr ' ' x; echo EN''D")}, "END"}}},
        {"LongLineOfWords",
         {{"line", {Line("printf 'word%03d ' $(seq 60); echo; echo EN''D")}, "END"}}},
        {"Gradient256", {{"gradient", {Line("bash gradient256.sh; echo EN''D")}, "END"}}},
        {"GradientTruecolour", {{"gradient", {Line("bash truecolour.sh; echo EN''D")}, "END"}}},
        {"Attributes", {{"attributes", {Line("bash attributes.sh; echo EN''D")}, "END"}}},
        {"VimSyntax256",
         {{"vim",
           {Line("vim -u NONE -i NONE -c 'syntax on' -c 'set t_Co=256' hello.c; echo EN''D")},
           "return 0;"},
          {"quit", {Line(":q")}, "END"}}},
        {"Flag", {{"flag", {Line("printf '[\\U0001F1E9\\U0001F1EA]\\n'; echo EN''D")}, "END"}}},
        {"ZwjEmoji",
         {{"emoji", {Line("printf '[\\U0001F469\\u200D\\U0001F4BB]\\n'; echo EN''D")}, "END"}}},
        {"Vs16", {{"heart", {Line("printf '[\\u2764\\uFE0F]\\n'; echo EN''D")}, "END"}}},
        {"CombiningMark", {{"q", {Line("printf '[q\\u0303]\\n'; echo EN''D")}, "END"}}},
        {"BeyondTheBmp",
         {{"characters",
           {Line("printf '[\\U000F0001][\\U0001D400\\U0001D401\\U0001D402]\\n'; echo EN''D")},
           "END"}}},
        {"ClubsInColumnZero",
         {{"loop",
           {Line("for i in $(seq 40); do echo \"\u2663 line $i\"; done; echo EN''D")},
           "END"}}},
        {"CtrlSpace",
         {{"od", {Line("echo RE''ADY; od -c; echo EN''D")}, "READY"},
          {"nul", {Keys("C-Space"), Keys("Enter"), Keys("C-d")}, "END"}}},
        {"Tall120x300", {{"seq", {Line("seq 1 1000; echo EN''D")}, "END"}}, 120, 300},
        {"SecondaryDa",
         {{"menu", {Line("vttest; echo EN''D")}, "(0 - 12)"},
          {"reports", {Line("6")}, "(0 - 7)"},
          // The answer is each terminal's own: through sshd tmux answers for itself, through
          // zav the console answers for what it renders (a VT100). That one comes is what
          // counts: vttest goes on.
          {"da2", {Line("5")}, "Push <RETURN>", false},
          {"back", {Keys("Enter")}, "(0 - 7)"},
          {"menu", {Line("0")}, "(0 - 12)"},
          {"exit", {Line("0")}, "END"}},
         80,
         24,
         true},
    };
    return cases;
}

// The case's name, for gtest's messages.
void PrintTo(const Case& thisCase, std::ostream* out) {
    *out << thisCase.name;
}

// The text with the blanks at the ends of its lines removed.
std::string WithoutTrailingBlanks(const std::string& text) {
    std::string out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    }
    return out;
}

// What the client shows, as tmux keeps it.
struct Snapshot {
    std::string screen;  // the visible rows, colours and attributes as SGR sequences
    std::string cursor;  // column, row, shown
    std::string title;
    // The modes tmux knows, but for the application cursor and keypad modes: zav turns
    // the client's keys into the bytes of the program's modes itself (its key table takes
    // both forms), so it never puts the client's terminal in them.
    std::string modes;
    // Every line, soft-wrapped ones joined. Blanks at the ends of lines are left out: a
    // row a server fills with blanks and one it leaves empty look the same, and -J keeps
    // the blanks tmux was given.
    std::string history;

    static Snapshot Of(test::Tmux& pane, bool attributes = true) {
        return {pane.Execute(attributes ? "capture-pane -p -e" : "capture-pane -p"),
                pane.Execute("display-message -p '#{cursor_x},#{cursor_y},#{cursor_flag}'"),
                pane.Execute("display-message -p '#{pane_title}'"),
                pane.Execute("display-message -p 'alternate=#{alternate_on} "
                             "mouse_standard=#{mouse_standard_flag} "
                             "mouse_button=#{mouse_button_flag} mouse_all=#{mouse_all_flag} "
                             "mouse_any=#{mouse_any_flag} mouse_sgr=#{mouse_sgr_flag} "
                             "mouse_utf8=#{mouse_utf8_flag} insert=#{insert_flag} "
                             "origin=#{origin_flag} wrap=#{wrap_flag}'"),
                WithoutTrailingBlanks(pane.Execute("capture-pane -p -J -S -"))};
    }
};

struct Aspect {
    const char* name;
    std::string Snapshot::*field;
};
const Aspect kAspects[] = {{"screen", &Snapshot::screen},
                           {"cursor", &Snapshot::cursor},
                           {"title", &Snapshot::title},
                           {"modes", &Snapshot::modes},
                           {"history", &Snapshot::history}};

// Text with escape sequences and other control characters made visible, and every
// character beyond ASCII as its code point.
std::string Visible(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0x1b) {
            out += "\\e";
        } else if (c < 0x20 || c == 0x7f) {
            out += '^';
            out += static_cast<char>(c ^ 0x40);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            const int extra = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : 0;
            std::uint32_t point = c & (0x3fU >> extra);
            for (int k = 0; k < extra && i + 1 < text.size(); ++k) {
                point = (point << 6) | (static_cast<unsigned char>(text[++i]) & 0x3fU);
            }
            char code[16];
            std::snprintf(code, sizeof code, "<U+%04X>", point);
            out += code;
        }
    }
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The first differing lines of two texts, at most three, each from a little before its
// first differing character.
std::string Difference(const std::string& sshd, const std::string& zav) {
    const auto a = Lines(sshd);
    const auto b = Lines(zav);
    std::size_t first = 0;
    while (first < a.size() && first < b.size() && a[first] == b[first]) {
        ++first;
    }
    std::ostringstream out;
    out << "  " << a.size() << " lines at sshd, " << b.size() << " at zav; line " << first + 1
        << " differs first\n";
    for (std::size_t i = first, shown = 0; shown < 3 && (i < a.size() || i < b.size()); ++i) {
        const std::string& x = i < a.size() ? a[i] : std::string("(none)");
        const std::string& y = i < b.size() ? b[i] : std::string("(none)");
        if (x == y) {
            continue;
        }
        std::size_t column = 0;
        while (column < x.size() && column < y.size() && x[column] == y[column]) {
            ++column;
        }
        const std::size_t from = column > 24 ? column - 24 : 0;
        const auto clip = [&](const std::string& s) {
            const std::string v = Visible(s.substr(std::min(from, s.size())));
            return (from > 0 ? "..." : "") + (v.size() > 160 ? v.substr(0, 160) + "..." : v);
        };
        out << "  line " << i + 1 << " sshd: " << clip(x) << "\n  line " << i + 1
            << " zav:  " << clip(y) << "\n";
        ++shown;
    }
    return out.str();
}

std::string Trimmed(const std::string& text) {
    const auto end = text.find_last_not_of(" \n");
    return end == std::string::npos ? "" : text.substr(0, end + 1);
}

// Until condition holds, or seconds pass: polled as the pane's own waits poll it (tmux
// tells of no change).
bool WaitUntil(test::Tmux& pane, const std::function<bool()>& condition, int seconds) {
    return pane.WaitFor([&](const std::string&) { return condition(); }, seconds);
}

std::string Hex(const std::string& bytes) {
    std::string out;
    for (const char c : bytes) {
        char code[4];
        std::snprintf(code, sizeof code, "%02x ", static_cast<unsigned char>(c));
        out += code;
    }
    return out;
}

class SideBySide : public test::BriselSession, public ::testing::WithParamInterface<Case> {
  protected:
    void TearDown() override {
        // The clients first: their connections' ends end both servers' sessions.
        zavPane.reset();
        sshdPane.reset();
        BriselSession::TearDown();
        if (!IsSkipped() && ::geteuid() == 0) {
            EXPECT_TRUE(NothingLeft(kUser)) << test::Run("ps -u " + kUser + " -f").output;
        }
        sshd.reset();
    }

    // A client in a pane, logged on to the server at port, in the cases' shell and
    // directory, its screen, history and title cleared; "" or what went wrong.
    std::string LogOn(test::Tmux& pane, const std::string& server) {
        if (!pane.WaitForText("assword:", 60)) {
            return server + ": no password prompt:\n" + pane.Capture();
        }
        pane.Send(test::Password(kUser), true);
        pane.Send("Enter");
        const auto prompt = [&](const std::string& screen) {
            for (const std::string& row : Lines(screen)) {
                if (!Trimmed(row).empty() && Trimmed(row).back() == '$') {
                    return true;
                }
            }
            return false;
        };
        if (!pane.WaitFor(prompt, 60)) {
            return server + ": no shell prompt:\n" + pane.Capture();
        }
        pane.Send(kShell, true);
        pane.Send("Enter");
        pane.Send("cd " + directory + " && clear", true);
        pane.Send("Enter");
        if (!pane.WaitFor([](const std::string& screen) { return Trimmed(screen) == "$"; }, 30)) {
            return server + ": the screen did not clear to the prompt:\n" + pane.Capture();
        }
        pane.Execute("clear-history");
        pane.Execute("select-pane -T side-by-side");
        return "";
    }

    void Apply(test::Tmux& pane, const Input& input) {
        switch (input.kind) {
            case Input::Kind::Line:
                pane.Send(input.text, true);
                pane.Send("Enter");
                break;
            case Input::Kind::Text:
                pane.Send(input.text, true);
                break;
            case Input::Kind::Keys:
                pane.Send(input.text);
                break;
            case Input::Kind::Paste:
                pane.Execute("set-buffer -b side -- " + test::Quote(input.text));
                pane.Execute("paste-buffer -p -d -b side");
                break;
            case Input::Kind::Click: {
                // As a terminal does: a report only once the program asked for mouse
                // reports, in the encoding it asked for (SGR or the original one).
                const auto flag = [&](const std::string& name) {
                    return Trimmed(pane.Execute("display-message -p '#{" + name + "}'")) == "1";
                };
                if (!WaitUntil(
                        pane, [&] { return flag("mouse_any_flag"); }, 5)) {
                    break;
                }
                std::string report;
                if (flag("mouse_sgr_flag")) {
                    const std::string at =
                        std::to_string(input.column) + ";" + std::to_string(input.row);
                    report = "\x1b[<0;" + at + "M\x1b[<0;" + at + "m";
                } else {
                    const char x = static_cast<char>(32 + input.column);
                    const char y = static_cast<char>(32 + input.row);
                    report = std::string("\x1b[M ") + x + y + "\x1b[M#" + x + y;
                }
                pane.Execute("send-keys -H " + Hex(report));
                break;
            }
        }
    }

    // The aspects in which the panes differ, each with its difference; polled for a
    // while when they differ, since zav's updates may trail sshd's (its marker can show
    // before a title or a mode that travel apart from the screen's cells).
    std::vector<std::pair<std::string, std::string>> Differences(bool attributes = true) {
        std::vector<std::pair<std::string, std::string>> found;
        WaitUntil(
            *zavPane,
            [&] {
                found.clear();
                const Snapshot a = Snapshot::Of(*sshdPane, attributes);
                const Snapshot b = Snapshot::Of(*zavPane, attributes);
                for (const Aspect& aspect : kAspects) {
                    if (a.*aspect.field != b.*aspect.field) {
                        found.emplace_back(aspect.name,
                                           Difference(a.*aspect.field, b.*aspect.field));
                    }
                }
                return found.empty();
            },
            3);
        return found;
    }

    std::unique_ptr<test::Sshd> sshd;
    std::unique_ptr<test::Tmux> sshdPane;
    std::unique_ptr<test::Tmux> zavPane;
    test::TempDir files;
    std::string directory;
};

TEST_P(SideBySide, Matches) {
    const Case& thisCase = GetParam();
    if (thisCase.vttest && ::access("/usr/bin/vttest", X_OK) != 0) {
        GTEST_SKIP() << "vttest is not installed: the Secondary DA case is skipped";
    }
    sshd = std::make_unique<test::Sshd>();
    ASSERT_GT(sshd->Port(), 0) << sshd->Error();
    StartService({{"shell_command", "/bin/sh -c 'cd 2>/dev/null; exec \"${SHELL:-/bin/sh}\" -l'"},
                  {"scrollback_burst", "10000"}},
                 {});
    ASSERT_TRUE(zavd && zavd->Port() > 0);

    // The commands' files, in a directory the account can read.
    directory = files / "files";
    ASSERT_EQ(::chmod(files.Path().c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(directory.c_str(), 0755), 0);
    test::WriteFile(directory + "/lines.txt", NumberedLines());
    test::WriteFile(directory + "/hello.c", kHelloC);
    test::WriteFile(directory + "/gradient256.sh", kGradient256);
    test::WriteFile(directory + "/truecolour.sh", kTruecolour);
    test::WriteFile(directory + "/attributes.sh", kAttributes);

    const auto client = [&](int port) {
        return std::make_unique<test::Tmux>(
            test::SshCommand(port, kUser, kClientOptions) + "; echo ssh-exit=$?", thisCase.columns,
            thisCase.rows, 5000, kTmuxSettings);
    };
    // ZAV_SIDE_BY_SIDE_SELF_CHECK=1: both clients log on to sshd, where every case must
    // pass; it checks the test itself and that sshd's side of each case is repeatable.
    const bool selfCheck = std::getenv("ZAV_SIDE_BY_SIDE_SELF_CHECK") != nullptr;
    sshdPane = client(sshd->Port());
    zavPane = client(selfCheck ? sshd->Port() : zavd->Port());
    ASSERT_EQ(Trimmed(sshdPane->Execute("display-message -p '#{pane_width}x#{pane_height}'")),
              std::to_string(thisCase.columns) + "x" + std::to_string(thisCase.rows));
    ASSERT_EQ(LogOn(*sshdPane, "sshd"), "");
    ASSERT_EQ(LogOn(*zavPane, selfCheck ? "sshd again" : "zav"), "");

    std::string summary;
    for (const Step& step : thisCase.steps) {
        for (const Input& input : step.inputs) {
            Apply(*sshdPane, input);
            Apply(*zavPane, input);
        }
        std::string late;
        for (auto* pane : {sshdPane.get(), zavPane.get()}) {
            if (!pane->WaitForText(step.until, 30)) {
                late += std::string(pane == sshdPane.get() ? "sshd" : "zav") + " ";
            }
        }
        const auto differences = step.compare ? Differences(step.attributes)
                                              : std::vector<std::pair<std::string, std::string>>{};
        for (const auto& [aspect, difference] : differences) {
            ADD_FAILURE() << thisCase.name << ", step " << step.name << ": " << aspect
                          << " differs\n"
                          << difference;
            summary += " " + step.name + ":" + aspect;
        }
        if (!late.empty()) {
            ADD_FAILURE() << thisCase.name << ", step " << step.name << ": \"" << step.until
                          << "\" never showed at " << late;
            summary += " " + step.name + ":never-ended(" + Trimmed(late) + ")";
            break;  // the next steps would go to a program still busy with this one
        }
    }
    std::cout << "[side-by-side] " << thisCase.name << ":" << (summary.empty() ? " same" : summary)
              << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Cases, SideBySide, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return info.param.name;
                         });

}  // namespace
