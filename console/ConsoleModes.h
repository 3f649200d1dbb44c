// What the programs asked of the terminal that the client's terminal must do itself:
// report the mouse, focus changes and pastes, show the cursor in a shape, the alternate
// screen, the window title and icon name, and the erasing of the scroll-back. A value:
// the console keeps the current one, the screen mirror compares two.
#pragma once

#include <cstdint>
#include <string>

struct ConsoleModes {
    // Mouse reporting (DECSET 1000, 1002, 1003) and its encoding (1005, 1006, 1015).
    enum class Mouse : std::uint8_t { None, Click, Drag, Move };
    enum class MouseEncoding : std::uint8_t { Default, Utf8, Sgr, Urxvt };

    Mouse mouse = Mouse::None;
    MouseEncoding mouseEncoding = MouseEncoding::Default;
    bool focusEvents = false;     // DECSET 1004
    bool bracketedPaste = false;  // DECSET 2004
    bool cursorVisible = true;    // DECTCEM (DECSET 25)
    // DECSCUSR's parameter: 0 leaves the shape to the client's terminal; 1-6 as DECSCUSR.
    std::uint8_t cursorStyle = 0;
    bool altScreen = false;  // the programs draw on the alternate screen
    // Set by programs (OSC 0, 1, 2), never by the session; empty until set.
    std::string title;
    std::string iconName;
    // Counts the programs' erasings of the scroll-back (ED 3).
    std::uint32_t scrollbackErased = 0;

    bool operator==(const ConsoleModes&) const = default;
};
