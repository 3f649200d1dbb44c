// Program output through the whole console engine, as the session mirrors it: the guard
// in front of libvterm, the emulator, the grid, the scroll bound and the capture and
// export that plant the scroll mark. The first bytes choose the window's size, how the
// output is cut into reads and how often it is exported; a few reads go in as the
// session's own text instead. A read held back for a capture must be taken once the
// capture is done, the export must stay bounded, and a title the programs set reaches
// the client without a control character.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "console/ConsoleHost.h"
#include "console/WinCon.h"
#include "infra/ZTraceScope.h"
#include "platform/ZConsole.h"
#include "screen/ZScreenExport.h"
#include "screen/ZTelnet.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The session's sizing, over a buffer of 40 rows of scroll-back rather than 300: each
// capture reads the whole buffer.
void Size(ZConsole& console, ZTelnet& telnet, int columns, int rows) {
    const COORD size{static_cast<SHORT>(columns), static_cast<SHORT>(rows)};
    telnet.m_clientSize = ZClientSize{size.X, size.Y};
    console.SetScreenSize(size);
    console.SetBuffSize(COORD{size.X, static_cast<SHORT>(rows + 40)});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) {
        return 0;
    }
    static ConsoleHost* host = [] {
        TraceThreshold(INT32_MAX);  // no trace lines: formatting them would take most time
        return ConsoleHost::Instance();
    }();
    Check(host != nullptr);
    host->Reset();
    const int columns = 10 + data[0] % 140;
    const int rows = 3 + data[1] % 50;
    const std::size_t cut = 1 + data[2] % 97;
    const unsigned exportEvery = 1 + data[3] % 8;
    const bool sessionText = (data[3] & 0x80) != 0;
    std::string_view output(reinterpret_cast<const char*>(data) + 4, size - 4);

    ZTelnet telnet;
    telnet.m_codePage = 65001;
    // Both kinds of client: the 16-colour table, and the whole pen.
    telnet.m_colours = (data[2] & 1) != 0 ? ZTelnet::Colours::Whole : ZTelnet::Colours::Basic;
    ZConsole console;
    Size(console, telnet, columns, rows);
    ZScreenExport screen(telnet);
    screen.m_scrollbackBurst = 50;
    screen.NewBurst();
    // A repaint of every row the burst keeps, each cell with a whole pen's SGR and a
    // cluster of six characters.
    const std::size_t clientBound =
        64 * 1024 + 96 * static_cast<std::size_t>(columns * (rows + 40));
    // A title or icon name reaches the client without a control character: nothing of
    // it can end its sequence early or start another.
    const auto exportOnce = [&] {
        const std::string bytes = screen.Export();
        Check(bytes.size() <= clientBound);
        for (std::size_t at = bytes.find("\x1b]"); at != std::string::npos;
             at = bytes.find("\x1b]", at + 1)) {
            const std::size_t end = bytes.find('\x07', at);
            Check(end != std::string::npos);
            for (std::size_t i = at + 2; i < end; ++i) {
                const auto c = static_cast<unsigned char>(bytes[i]);
                Check(c >= 0x20 && c != 0x7F);
            }
        }
    };
    exportOnce();

    for (unsigned piece = 0; !output.empty(); ++piece) {
        std::string_view read = output.substr(0, cut);
        output.remove_prefix(read.size());
        if (sessionText && piece % 5 == 4) {
            DWORD written = 0;
            Check(WriteConsoleA(GetStdHandle(STD_OUTPUT_HANDLE), read.data(),
                                static_cast<DWORD>(read.size()), &written, nullptr));
            continue;
        }
        int stalls = 0;
        while (!read.empty()) {
            const std::size_t n = host->ApplyOutput(read);
            Check(n <= read.size());
            read.remove_prefix(n);
            if (n == 0) {
                // Held back for a capture: the export captures and lets it go; a burst
                // used up guards nothing, so a few captures must be enough.
                Check(++stalls < 1000);
                exportOnce();
            }
        }
        if (piece % exportEvery == 0) {
            exportOnce();
        }
        if (piece == 7 && data[1] % 3 == 0) {
            Size(console, telnet, 10 + data[0] % 60, 3 + data[2] % 30);
        }
    }
    exportOnce();
    CONSOLE_SCREEN_BUFFER_INFO info{};
    Check(GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info));
    Check(info.dwCursorPosition.X >= 0 && info.dwCursorPosition.X < info.dwSize.X);
    Check(info.dwCursorPosition.Y >= 0 && info.dwCursorPosition.Y < info.dwSize.Y);
    return 0;
}
