#include "platform/ZConsole.h"

#include <array>

#include "infra/ZTraceScope.h"

HANDLE ZConsole::GetOutputHandle() {
    if (m_hOutput == nullptr) {
        m_hOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    }
    return m_hOutput;
}

HANDLE ZConsole::GetInputHandle() {
    if (m_hInput == nullptr) {
        m_hInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    return m_hInput;
}

bool ZConsole::GetConsoleInfo(CONSOLE_SCREEN_BUFFER_INFO& info) {
    ZTraceScope trace;
    if (!GetConsoleScreenBufferInfo(GetOutputHandle(), &info)) {
        trace.Trace("GetConsoleScreenBufferInfo( ):err");
        return false;
    }
    return true;
}

bool ZConsole::SetScreenSize(COORD size) {
    ZTraceScope trace;
    trace.Trace("ZConsole::SetScreenSize( ", size.X, ", ", size.Y, " )");
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleInfo(info)) {
        trace.Trace("GetConsoleInfo( ):err");
        return false;
    }
    SMALL_RECT window = info.srWindow;
    if (window.Right - window.Left + 1 == size.X && window.Bottom - window.Top + 1 == size.Y) {
        trace.Trace("screen size ok");
        return true;
    }
    COORD buffer = info.dwSize;
    if (buffer.X < size.X || buffer.Y < size.Y) {
        buffer.X = std::max(buffer.X, size.X);
        buffer.Y = std::max(buffer.Y, size.Y);
        if (!SetConsoleScreenBufferSize(GetOutputHandle(), buffer)) {
            trace.Trace("SetConsoleScreenBufferSize( ):err");
            return false;
        }
    }
    if (window.Left + size.X > buffer.X) {
        window.Right = static_cast<SHORT>(buffer.X - 1);
        window.Left = static_cast<SHORT>(buffer.X - size.X);
    } else {
        window.Right = static_cast<SHORT>(window.Left + size.X - 1);
    }
    // A shorter window keeps the cursor's row in view, as a terminal keeps the line being
    // written: the rows above it become scroll-back.
    const SHORT lowest = static_cast<SHORT>(window.Top + size.Y - 1);
    if (info.dwCursorPosition.Y > lowest && info.dwCursorPosition.Y <= window.Bottom) {
        window.Top = static_cast<SHORT>(window.Top + info.dwCursorPosition.Y - lowest);
    }
    if (window.Top + size.Y > buffer.Y) {
        window.Bottom = static_cast<SHORT>(buffer.Y - 1);
        window.Top = static_cast<SHORT>(buffer.Y - size.Y);
    } else {
        window.Bottom = static_cast<SHORT>(window.Top + size.Y - 1);
    }
    if (!SetConsoleWindowInfo(GetOutputHandle(), TRUE, &window)) {
        trace.Trace("SetConsoleWindowInfo( ):err");
        return false;
    }
    return true;
}

bool ZConsole::SetBuffSize(COORD size) {
    ZTraceScope trace;
    trace.Trace("ZConsole::SetBuffSize( ", size.X, ", ", size.Y, " )");
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleInfo(info)) {
        trace.Trace("GetConsoleInfo( ):err");
        return false;
    }
    if (info.dwSize.X == size.X && info.dwSize.Y == size.Y) {
        trace.Trace("buff size ok");
        return true;
    }
    SMALL_RECT window = info.srWindow;
    bool windowChanged = false;
    const SHORT windowHeight = static_cast<SHORT>(window.Bottom - window.Top + 1);
    if (size.Y < windowHeight) {
        // The window must become shorter first: an interim buffer of the window's height.
        const COORD interim{info.dwSize.X, windowHeight};
        if (!SetConsoleScreenBufferSize(GetOutputHandle(), interim)) {
            trace.Trace("SetConsoleScreenBufferSize( ", interim.X, ", ", interim.Y, " ):err");
            return false;
        }
        window.Top = 0;
        window.Bottom = static_cast<SHORT>(size.Y - 1);
        windowChanged = true;
    }
    const SHORT windowWidth = static_cast<SHORT>(window.Right - window.Left + 1);
    if (size.X < windowWidth) {
        window.Left = 0;
        window.Right = static_cast<SHORT>(size.X - 1);
        windowChanged = true;
    }
    if (windowChanged && !SetConsoleWindowInfo(GetOutputHandle(), TRUE, &window)) {
        trace.Trace("SetConsoleWindowInfo( ", window.Left, ", ", window.Top, ", ", window.Right,
                    ", ", window.Bottom, " ) : err");
        return false;
    }
    if (!SetConsoleScreenBufferSize(GetOutputHandle(), size)) {
        trace.Trace("SetConsoleScreenBufferSize2( ):err");
        return false;
    }
    return true;
}

std::unique_lock<std::recursive_mutex> ZConsole::Exclusive() {
    static std::recursive_mutex mutex;
    return std::unique_lock(mutex);
}

bool ZConsole::Write(std::string text) {
    const auto exclusive = Exclusive();
    ZTraceScope trace;
    trace.Trace("ZConsole::Write( ", text, " )");
    DWORD written = 0;
    if (!WriteConsoleA(GetOutputHandle(), text.data(), static_cast<DWORD>(text.size()), &written,
                       nullptr)) {
        trace.Trace("WriteConsole( ):err");
        return false;
    }
    return true;
}

bool ZConsole::WriteW(std::u16string text) {
    const auto exclusive = Exclusive();
    ZTraceScope trace;
    trace.Trace("ZConsole::WriteW( ", text.size(), " )");
    DWORD written = 0;
    if (!WriteConsoleW(GetOutputHandle(), text.data(), static_cast<DWORD>(text.size()), &written,
                       nullptr)) {
        trace.Trace("WriteConsoleW( ):err");
        return false;
    }
    return true;
}

bool ZConsole::WriteW(WCHAR unit) {
    ZTraceScope trace;
    if (!WriteW(std::u16string(1, unit))) {
        trace.Trace("WriteW : err");
        return false;
    }
    return true;
}

bool ZConsole::WriteCell(COORD position, WCHAR unit) {
    ZTraceScope trace;
    trace.Trace("ZConsole::WriteCell( ", position.X, ", ", position.Y, " )");
    DWORD written = 0;
    if (!WriteConsoleOutputCharacterW(GetOutputHandle(), &unit, 1, position, &written)) {
        trace.Trace("WriteConsoleOutputCharacterW( ):err");
        return false;
    }
    return true;
}

bool ZConsole::Read(std::string& line) {
    ZTraceScope trace;
    trace.Trace("ZConsole::Read( )");
    std::array<char, 250> buffer{};
    DWORD read = 0;
    if (!ReadConsoleA(GetInputHandle(), buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                      nullptr)) {
        trace.Trace("ReadConsole( ):err");
        return false;
    }
    line.assign(buffer.data(), read > 0 ? read - 1 : 0);
    return true;
}

bool ZConsole::SetCursor(COORD position, bool absolute) {
    const auto exclusive = Exclusive();
    ZTraceScope trace;
    trace.Trace("ZConsole::SetCursor( ", position.X, ", ", position.Y, ", ", absolute ? 1 : 0,
                " )");
    if (!absolute) {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (!GetConsoleInfo(info)) {
            trace.Trace("GetConsoleInfo( ):err");
            return false;
        }
        position.X = static_cast<SHORT>(position.X + info.srWindow.Left);
        position.Y = static_cast<SHORT>(position.Y + info.srWindow.Top);
    }
    if (!SetConsoleCursorPosition(GetOutputHandle(), position)) {
        trace.Trace("SetConsoleCursorPosition( ", position.X, ", ", position.Y, " ):err");
        return false;
    }
    return true;
}

bool ZConsole::GetTitle(std::string& title) {
    ZTraceScope trace;
    std::array<char, 1000> buffer{};
    if (GetConsoleTitleA(buffer.data(), static_cast<DWORD>(buffer.size())) == 0) {
        trace.Trace("GetConsoleTitle( ):err");
        return false;
    }
    title = buffer.data();
    return true;
}

bool ZConsole::SetTitle(std::string title) {
    ZTraceScope trace;
    trace.Trace("ZConsole::SetTitle( ", title, " )");
    if (!SetConsoleTitleA(title.c_str())) {
        trace.Trace("SetConsoleTitle( ):err");
        return false;
    }
    return true;
}

HWND ZConsole::GetWindowHandle() {
    ZTraceScope trace;
    trace.Trace("ZConsole::GetWindowHandle( )");
    if (m_hWindow != nullptr) {
        trace.Trace("done handle ok");
        return m_hWindow;
    }
    const std::string temporary =
        "ZConsole::GetWindowHandle( " + std::to_string(GetCurrentProcessId()) + " )";
    std::string saved;
    if (!GetTitle(saved)) {
        trace.Trace("GetTitle( ):err");
        return nullptr;
    }
    if (!SetTitle(temporary)) {
        trace.Trace("SetTitle( ):err");
        return nullptr;
    }
    for (int attempt = 0; attempt < 10; ++attempt) {
        m_hWindow = FindWindowA(nullptr, temporary.c_str());
        if (m_hWindow != nullptr) {
            break;
        }
        Sleep(100);
    }
    if (m_hWindow == nullptr) {
        trace.Trace("FindWindow( ):err");
    }
    if (!SetTitle(saved) && m_hWindow != nullptr) {
        trace.Trace("SetTitle : err");
    }
    return m_hWindow;
}

bool ZConsole::GetOutputRowW(SHORT row, CHAR_INFO* cells, SHORT capacity,
                             const CONSOLE_SCREEN_BUFFER_INFO* info, RichCell* rich) {
    ZTraceScope trace;
    trace.Trace("ZConsole::GetOutputRowW( ", row, ", ", capacity, " )");
    CONSOLE_SCREEN_BUFFER_INFO own{};
    if (info == nullptr) {
        if (!GetConsoleInfo(own)) {
            trace.Trace("GetConsoleInfo( ):err");
            return false;
        }
        info = &own;
    }
    // The difference of the bounds, not the width: one column too many still passes and
    // is clipped by the read below.
    if (info->srWindow.Right - info->srWindow.Left > capacity) {
        trace.Trace("err row too wide");
        return false;
    }
    SMALL_RECT region{info->srWindow.Left, row, info->srWindow.Right, row};
    if (!ReadConsoleOutputW(GetOutputHandle(), cells, COORD{capacity, 1}, COORD{0, 0}, &region)) {
        trace.Trace("ReadConsoleOutputW( ):err");
        return false;
    }
    if (rich != nullptr &&
        !ReadConsoleRichRow(GetOutputHandle(), row, region.Left, rich,
                            static_cast<SHORT>(region.Right - region.Left + 1))) {
        trace.Trace("ReadConsoleRichRow( ):err");
        return false;
    }
    return true;
}

bool ZConsole::GetBlank(RichCell& blank) {
    return GetConsoleBlank(GetOutputHandle(), &blank);
}

bool ZConsole::HasScroll(CONSOLE_SCREEN_BUFFER_INFO info) {
    return info.srWindow.Top != 0 || info.srWindow.Bottom + 1 != info.dwSize.Y;
}

bool ZConsole::SetConsoleMode(DWORD mode) {
    ZTraceScope trace;
    trace.Trace("ZConsole::SetConsoleMode( ", mode, " )");
    if (!::SetConsoleMode(GetInputHandle(), mode)) {
        trace.Trace("SetConsoleMode( ):err");
        return false;
    }
    return true;
}

bool ZConsole::GetModes(ConsoleModes& modes) {
    return GetConsoleModes(GetOutputHandle(), &modes);
}

bool ZConsole::PassInput(std::string_view bytes) {
    return PassConsoleInput(GetInputHandle(), bytes);
}

std::unique_ptr<ConsoleCaptureLock> ZConsole::Hold() {
    return LockConsoleForCapture(GetOutputHandle());
}

HANDLE ZConsole::GetChangeEvent() {
    return ConsoleWaitEvent(GetOutputHandle(), ConsoleWait::Changed);
}

HANDLE ZConsole::GetAttentionEvent() {
    return ConsoleWaitEvent(GetOutputHandle(), ConsoleWait::Attention);
}

DWORD ZConsole::GetAttention() {
    return ConsoleAttention(GetOutputHandle());
}

DWORD ZConsole::GetQuietSpell() {
    return ConsoleQuietSpell(GetOutputHandle());
}

bool ZConsole::SetScrollGuard(SHORT row, DWORD lines) {
    return PlantScrollGuard(GetOutputHandle(), row, lines) != FALSE;
}

SHORT ZConsole::GetScrollGuard() {
    SHORT row = -2;
    ScrollGuardRow(GetOutputHandle(), &row);
    return row;
}

bool ZConsole::ReleaseTerminal() {
    ZTraceScope trace;
    trace.Trace("ZConsole::ReleaseTerminal( )");
    return ::ReleaseTerminal(GetOutputHandle()) != FALSE;
}
