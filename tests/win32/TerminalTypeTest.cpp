// The terminal type the shell is given, from the one the client named.
#include "win32/TerminalType.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

TEST(TerminalType, TheClientsWhereTheMachineKnowsItElseXterm) {
    // Debian's ncurses-base carries both entries.
    ASSERT_TRUE(std::filesystem::exists("/usr/share/terminfo/x/xterm-256color") ||
                std::filesystem::exists("/lib/terminfo/x/xterm-256color"));
    EXPECT_EQ(ProgramTerminalType("xterm-256color"), "xterm-256color");
    EXPECT_EQ(ProgramTerminalType("vt100"), "vt100");
    EXPECT_EQ(ProgramTerminalType("no-such-terminal-here"), "xterm");
    EXPECT_EQ(ProgramTerminalType(""), "xterm");
    // Never a path: a name that would leave the entry directories is not looked up.
    for (const char* name : {"../x/xterm", "x/../../etc/passwd", "-xterm", ".", "a b"}) {
        EXPECT_FALSE(IsTerminalTypeName(name)) << name;
        EXPECT_EQ(ProgramTerminalType(name), "xterm") << name;
    }
    EXPECT_FALSE(IsTerminalTypeName(std::string(65, 'x')));
}

}  // namespace
