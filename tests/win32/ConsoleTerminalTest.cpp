// The seam without the console room: its calls that need the console's terminal fail
// with an error until a provider is registered, and use the one registered explicitly.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "win32/ConsoleTerminal.h"
#include "win32/PrivilegeBroker.h"
#include "win32/Win32.h"

namespace {

class RefusingTerminal : public ConsoleTerminal {
  public:
    bool PrepareAttachment(ConsoleAttachment& /*attachment*/) override {
        ++asked;
        SetLastError(EIO);
        return false;
    }
    std::string TerminalName() const override { return "/dev/pts/none"; }
    int asked = 0;
};

RefusingTerminal g_terminal;

ConsoleTerminal* ProvideRefusing() {
    return &g_terminal;
}

BOOL Start(const char* command) {
    std::string line = command;
    STARTUPINFOA startup{};
    PROCESS_INFORMATION process{};
    return CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process);
}

TEST(ConsoleTerminal, WithoutAProviderTheConsoleCallsFailWithAnError) {
    ConsoleTerminal::SetProvider(nullptr);
    SetLastError(0);
    EXPECT_EQ(ConsoleTerminal::Current(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOTTY));
    SetLastError(0);
    EXPECT_EQ(Start("true"), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOTTY));
    SetLastError(0);
    EXPECT_EQ(OpenWindowStationA("zavWINSTA", FALSE, GENERIC_ALL), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOTTY));
}

TEST(ConsoleTerminal, TheProviderRegisteredExplicitlyIsAsked) {
    ConsoleTerminal::SetProvider(&ProvideRefusing);
    EXPECT_EQ(ConsoleTerminal::Current(), &g_terminal);
    EXPECT_EQ(Start("true"), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO));
    EXPECT_EQ(g_terminal.asked, 1);
    ConsoleTerminal::SetProvider(nullptr);
    EXPECT_EQ(ConsoleTerminal::Current(), nullptr);
}

TEST(PrivilegeBroker, WithoutASplitTheTerminalIsMadeInThisProcess) {
    UniqueFd master;
    UniqueFd slave;
    std::string name;
    ASSERT_TRUE(PrivilegeBroker::Current().TakeTerminal(master, slave, name));
    EXPECT_TRUE(master.Valid());
    EXPECT_TRUE(slave.Valid());
    EXPECT_TRUE(name.starts_with("/dev/pts/")) << name;
}

}  // namespace
