// Two emulators fed the same program output: one draws long runs of plain text into the
// grid itself, the other (the reference) gives every byte to libvterm. Whatever the
// output, the two must end with the same cells, cursor, modes and events, and libvterm
// must be left in the same state (its answer to a cursor report after one more
// character tells its cursor and any pending wrap).
#pragma once

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "console/ConsoleEmulator.h"

namespace test {

class EmulatorTwins {
  public:
    // Scrolls in a row count as one: lines may scroll one by one or together, and what
    // the console does with them depends only on how many and how far.
    struct Recorder : ConsoleEmulator::Events {
        void Scrolled(int kept, int moved) override {
            m_kept += kept;
            m_moved += moved;
        }
        void MainResized(int height) override { Flushed() << "resized " << height << '\n'; }
        void Reply(std::string_view bytes) override { Flushed() << "reply " << bytes << '\n'; }
        void ScrollbackErased(int top) override { Flushed() << "erased " << top << '\n'; }
        std::string Log() { return Flushed().str(); }

      private:
        std::ostringstream& Flushed() {
            if (m_kept != 0 || m_moved != 0) {
                m_log << "scrolled " << m_kept << ' ' << m_moved << '\n';
                m_kept = 0;
                m_moved = 0;
            }
            return m_log;
        }
        std::ostringstream m_log;
        long m_kept = 0;
        long m_moved = 0;
    };

    EmulatorTwins() { m_reference->SetPlainRun(0); }

    bool Valid() const { return m_plain && m_reference; }

    void Feed(std::string_view bytes) {
        m_plain->Feed(bytes);
        m_reference->Feed(bytes);
    }
    void SetWindow(SMALL_RECT window) {
        m_plain->SetWindow(window);
        m_reference->SetWindow(window);
    }
    void SetBufferSize(COORD size) {
        m_plain->SetBufferSize(size);
        m_reference->SetBufferSize(size);
    }
    ConsoleEmulator& Plain() { return *m_plain; }

    // The first difference, or "" when there is none. Ends with a character and a
    // cursor report fed to both, so call it last.
    std::string Difference() {
        Feed("\x18Z\x1b[6n");
        std::string difference;
        if (!SameCells(m_plain->MainScreen(), m_reference->MainScreen())) {
            difference = Compare("main screen", Cells(m_plain->MainScreen()),
                                 Cells(m_reference->MainScreen()));
        }
        if (difference.empty()) {
            // The main screen's cells are equal: the alternate one's, the cursor and title.
            const bool alternate = m_plain->OnAlternateScreen();
            difference = Compare("screen in use", Active(*m_plain, alternate),
                                 Active(*m_reference, alternate));
        }
        if (difference.empty()) {
            difference = Compare("events", m_plainEvents.Log(), m_referenceEvents.Log());
        }
        if (difference.empty() && !(m_plain->Modes() == m_reference->Modes())) {
            difference = "modes differ";
        }
        return difference;
    }

    // The first difference in what a capture sees, without feeding anything.
    std::string Visible() {
        std::string difference = Compare("screen in use", Active(*m_plain), Active(*m_reference));
        if (difference.empty()) {
            difference = Compare("events", m_plainEvents.Log(), m_referenceEvents.Log());
        }
        return difference;
    }

  private:
    static bool SameCells(const ConsoleBuffer& a, const ConsoleBuffer& b) {
        if (a.Size().X != b.Size().X || a.Size().Y != b.Size().Y ||
            a.Window().Top != b.Window().Top || a.Window().Left != b.Window().Left ||
            a.Window().Right != b.Window().Right || a.Window().Bottom != b.Window().Bottom) {
            return false;
        }
        for (int y = 0; y < a.Size().Y; ++y) {
            const ConsoleCell* rowA = a.Row(y);
            const ConsoleCell* rowB = b.Row(y);
            for (int x = 0; x < a.Size().X; ++x) {
                if (rowA[x].info.UnicodeChar != rowB[x].info.UnicodeChar ||
                    rowA[x].info.Attributes != rowB[x].info.Attributes ||
                    !(rowA[x].rich == rowB[x].rich)) {
                    return false;
                }
            }
        }
        return true;
    }
    static std::string Describe(const ConsoleCell& cell) {
        std::ostringstream text;
        text << static_cast<unsigned>(cell.info.UnicodeChar) << '/' << cell.info.Attributes << '/'
             << static_cast<unsigned long>(cell.rich.text) << '/' << cell.rich.foreground << '/'
             << cell.rich.background << '/' << cell.rich.flags << ' ';
        return text.str();
    }
    static std::string Cells(const ConsoleBuffer& buffer) {
        std::ostringstream text;
        const SMALL_RECT& w = buffer.Window();
        text << "size " << buffer.Size().X << 'x' << buffer.Size().Y << " window " << w.Left << ','
             << w.Top << ',' << w.Right << ',' << w.Bottom << '\n';
        for (int y = 0; y < buffer.Size().Y; ++y) {
            text << y << ": ";
            for (int x = 0; x < buffer.Size().X; ++x) {
                text << Describe(buffer.At(x, y));
            }
            text << '\n';
        }
        return text.str();
    }
    // The cursor, the title and, with cells, the screen in use.
    static std::string Active(ConsoleEmulator& emulator, bool withCells = true) {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        emulator.GetInfo(info);
        std::ostringstream text;
        text << "cursor " << info.dwCursorPosition.X << ',' << info.dwCursorPosition.Y << " size "
             << info.dwSize.X << 'x' << info.dwSize.Y << " alternate "
             << emulator.OnAlternateScreen() << " title " << emulator.Title() << '\n';
        if (!withCells) {
            return text.str();
        }
        std::vector<CHAR_INFO> cells(static_cast<std::size_t>(info.dwSize.X));
        std::vector<RichCell> rich(cells.size());
        for (SHORT y = 0; y < info.dwSize.Y; ++y) {
            SMALL_RECT region{0, y, static_cast<SHORT>(info.dwSize.X - 1), y};
            emulator.ReadOutput(cells.data(), COORD{info.dwSize.X, 1}, COORD{0, 0}, region);
            emulator.ReadRich(COORD{0, y}, rich.data(), info.dwSize.X);
            text << y << ": ";
            for (std::size_t x = 0; x < cells.size(); ++x) {
                text << Describe(ConsoleCell{cells[x], rich[x]});
            }
            text << '\n';
        }
        return text.str();
    }
    // The first line where the two differ, with both versions.
    static std::string Compare(std::string_view what, const std::string& plain,
                               const std::string& reference) {
        if (plain == reference) {
            return "";
        }
        std::istringstream a(plain);
        std::istringstream b(reference);
        std::string lineA;
        std::string lineB;
        while (std::getline(a, lineA) && std::getline(b, lineB)) {
            if (lineA != lineB) {
                break;
            }
        }
        // From a little before the first character that differs.
        std::size_t at = 0;
        while (at < lineA.size() && at < lineB.size() && lineA[at] == lineB[at]) {
            ++at;
        }
        const std::size_t from =
            lineA.rfind(": ", at) == std::string::npos ? 0 : std::max<std::size_t>(at, 60) - 60;
        return std::string(what) + " differ:\n  plain path: " + lineA.substr(0, 6) + "..." +
               lineA.substr(from, 300) + "\n  reference:  " + lineB.substr(0, 6) + "..." +
               lineB.substr(from, 300);
    }

    Recorder m_plainEvents;
    Recorder m_referenceEvents;
    std::unique_ptr<ConsoleEmulator> m_plain = ConsoleEmulator::Create(m_plainEvents);
    std::unique_ptr<ConsoleEmulator> m_reference = ConsoleEmulator::Create(m_referenceEvents);
};

}  // namespace test
