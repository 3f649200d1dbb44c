#include "console/KeyEncoder.h"

#include "base/Unicode.h"

namespace {

VTermKey KeyOfVirtualKey(WPARAM vk) {
    switch (vk) {
        case VK_UP:
            return VTERM_KEY_UP;
        case VK_DOWN:
            return VTERM_KEY_DOWN;
        case VK_LEFT:
            return VTERM_KEY_LEFT;
        case VK_RIGHT:
            return VTERM_KEY_RIGHT;
        case VK_HOME:
            return VTERM_KEY_HOME;
        case VK_END:
            return VTERM_KEY_END;
        case VK_PRIOR:
            return VTERM_KEY_PAGEUP;
        case VK_NEXT:
            return VTERM_KEY_PAGEDOWN;
        case VK_INSERT:
            return VTERM_KEY_INS;
        case VK_DELETE:
            return VTERM_KEY_DEL;
        case VK_RETURN:
            return VTERM_KEY_ENTER;
        case VK_BACK:
            return VTERM_KEY_BACKSPACE;
        case VK_TAB:
            return VTERM_KEY_TAB;
        case VK_ESCAPE:
            return VTERM_KEY_ESCAPE;
        default:
            if (vk >= VK_F1 && vk <= VK_F12) {
                return static_cast<VTermKey>(VTERM_KEY_FUNCTION(static_cast<int>(vk - VK_F1 + 1)));
            }
            return VTERM_KEY_NONE;
    }
}

}  // namespace

std::string KeyEncoder::Encode(UINT message, WPARAM wParam) {
    switch (message) {
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN: {
            const bool alt = message == WM_SYSKEYDOWN;
            const VTermKey key = KeyOfVirtualKey(wParam);
            if (key != VTERM_KEY_NONE) {
                return m_terminalKey(key, alt ? VTERM_MOD_ALT : VTERM_MOD_NONE);
            }
            if (wParam >= 'A' && wParam <= 'Z') {
                return Character(static_cast<WCHAR>(wParam - 'A' + 'a'), alt);
            }
            if ((wParam >= '0' && wParam <= '9') || wParam == VK_SPACE) {
                return Character(static_cast<WCHAR>(wParam), alt);
            }
            return {};
        }
        case WM_CHAR:
            return Character(static_cast<WCHAR>(wParam), false);
        case WM_SYSCHAR:
            return Character(static_cast<WCHAR>(wParam), true);
        default:
            return {};
    }
}

std::string KeyEncoder::Character(WCHAR unit, bool alt) {
    char32_t c = unit;
    if (unicode::IsHighSurrogate(unit)) {
        m_highSurrogate = unit;  // completed by the next unit
        return {};
    }
    if (unicode::IsLowSurrogate(unit)) {
        if (m_highSurrogate == 0) {
            return {};
        }
        c = unicode::FromSurrogates(m_highSurrogate, unit);
    }
    m_highSurrogate = 0;
    std::string bytes;
    if (alt) {
        bytes.push_back('\x1b');
    }
    unicode::AppendUtf8(bytes, c);
    return bytes;
}
