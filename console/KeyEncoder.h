// Key messages (WM_KEYDOWN, WM_SYSKEYDOWN, WM_CHAR, WM_SYSCHAR) to the bytes a terminal
// sends for them. Characters become UTF-8 (a surrogate pair is joined across two
// messages; Alt puts ESC first); the keys that have terminal sequences (cursor keys,
// editing keys, function keys, Enter, Backspace, Tab, Esc) are encoded by the terminal's
// keyboard for its current modes (cursor-key and keypad mode), which the emulator keeps.
#pragma once

#include <vterm.h>

#include <functional>
#include <string>

#include "win32/Win32.h"

class KeyEncoder {
  public:
    // The bytes of a terminal key with modifiers under the terminal's current modes.
    using TerminalKey = std::function<std::string(VTermKey key, VTermModifier modifiers)>;

    explicit KeyEncoder(TerminalKey terminalKey) : m_terminalKey(std::move(terminalKey)) {}

    // The bytes of one key message; empty when it sends none (an unknown key, the first
    // half of a surrogate pair, a message that is not a key).
    std::string Encode(UINT message, WPARAM wParam);
    void Reset() { m_highSurrogate = 0; }

  private:
    std::string Character(WCHAR unit, bool alt);

    TerminalKey m_terminalKey;
    WCHAR m_highSurrogate = 0;
};
