// The end-to-end tests' terminal (support/Tmux.h), for what the tests take for granted.
#include <gtest/gtest.h>

#include <string>

#include "support/Tmux.h"

// Keys sent after a resize reach the program in the pane after it was told the new size,
// as they would on a terminal resized by hand; also when tmux holds the resize back (a
// pane resized within 250 ms of its last resize).
TEST(Tmux, KeysSentAfterAResizeFindTheProgramInTheNewSize) {
    // For each line read, the line and the terminal's size at that moment.
    test::Tmux pane("while read line; do echo \"$line:$(stty size)\"; done", 100, 30);
    ASSERT_TRUE(pane.Resize(80, 24));
    pane.Send("first", true);
    pane.Send("Enter");
    EXPECT_TRUE(pane.WaitForText("first:24 80\n")) << pane.Capture();
    ASSERT_TRUE(pane.Resize(90, 27));
    ASSERT_TRUE(pane.Resize(100, 30));
    pane.Send("second", true);
    pane.Send("Enter");
    EXPECT_TRUE(pane.WaitForText("second:30 100\n")) << pane.Capture();
}
