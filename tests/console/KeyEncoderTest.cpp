// Key messages to terminal bytes, with the modes the program set in a real emulator.
#include "console/KeyEncoder.h"

#include <gtest/gtest.h>

#include "console/ConsoleEmulator.h"

namespace {

struct NoEvents : ConsoleEmulator::Events {
    void Scrolled(int, int) override {}
    void MainResized(int) override {}
    void Reply(std::string_view) override {}
};

TEST(KeyEncoder, KeysFollowTheProgramsModesAndCharactersBecomeUtf8) {
    NoEvents events;
    auto emulator = ConsoleEmulator::Create(events);
    ASSERT_NE(emulator, nullptr);
    KeyEncoder keys(
        [&](VTermKey key, VTermModifier mods) { return emulator->KeyBytes(key, mods); });

    EXPECT_EQ(keys.Encode(WM_KEYDOWN, VK_UP), "\x1b[A");
    emulator->Feed("\x1b[?1h");  // cursor keys in application mode (vim, less)
    EXPECT_EQ(keys.Encode(WM_KEYDOWN, VK_UP), "\x1bOA");
    EXPECT_EQ(keys.Encode(WM_SYSKEYDOWN, VK_F1), "\x1b[1;3P");
    EXPECT_EQ(keys.Encode(WM_KEYDOWN, VK_RETURN), "\r");

    EXPECT_EQ(keys.Encode(WM_KEYDOWN, 'Q'), "q");
    EXPECT_EQ(keys.Encode(WM_SYSCHAR, u'x'), "\x1bx");
    EXPECT_EQ(keys.Encode(WM_CHAR, 0xE9), "\xc3\xa9");
    EXPECT_EQ(keys.Encode(WM_CHAR, 0), std::string(1, '\0')) << "Ctrl+Space";
    // A character beyond the BMP comes as two messages.
    EXPECT_EQ(keys.Encode(WM_CHAR, 0xD83D), "");
    EXPECT_EQ(keys.Encode(WM_CHAR, 0xDE00), "\xf0\x9f\x98\x80");
    EXPECT_EQ(keys.Encode(WM_CHAR, 0xDE00), "") << "a lone second half sends nothing";
    EXPECT_EQ(keys.Encode(WM_KEYDOWN, 0xFF), "") << "a key with no bytes";
    EXPECT_EQ(keys.Encode(WM_KEYUP, 'A'), "");
}

}  // namespace
