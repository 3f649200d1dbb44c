// The output half of the session's loop: when the console is exported to the client, and
// how long the loop may wait before it looks again. Every decision is read from the
// console's states (the cells changed, output held back for a capture), after each push
// and before each wait; the console's events only wake the wait. A wake-up that another
// wait took (the transport waits on the same descriptors while the client's window is
// full) therefore loses nothing: no wait begins while the console holds output back.
#pragma once

#include <optional>
#include <string>

#include "platform/ZConsole.h"
#include "screen/ZScreenExport.h"
#include "session/ZPacing.h"

class ZMirror {
  public:
    ZMirror(ZConsole& console, ZScreenExport& screen) : m_console(console), m_screen(screen) {}

    // The loop begins at now: what the console shows is news, exported at once.
    void Start(DWORD now, DWORD refreshDelay);
    // The export due now, if one is: its bytes go to the client.
    std::optional<std::string> Due(DWORD now);
    // How long the loop may wait from now for an event, at most deadline: 0 when an
    // export is due already (the console asked for a capture while the last was pushed).
    DWORD Wait(DWORD now, DWORD deadline);
    // Whether that wait watches the console's change event: not while a change already
    // waits for its export.
    bool WatchesChanges() const { return !m_pending; }
    // Client input is about to reach the program, so what it writes is a new burst. When
    // the console's guard holds for fewer lines than the burst keeps at first, the export
    // that renews it comes first: its bytes go to the client before the input.
    std::optional<std::string> BeforeInput(DWORD now);
    // Client input was handled: the change it brings (the echo) goes out at once.
    void Typed() { m_typed = true; }
    // The output floods past its burst, until a new burst begins (see ZScreenExport).
    bool Flooding() const { return m_screen.Flooding(); }

  private:
    // Reads the console's states and returns the pacing's verdict for now.
    ZPace Look(DWORD now, DWORD deadline);
    std::string Export(DWORD now);

    ZConsole& m_console;
    ZScreenExport& m_screen;
    DWORD m_refreshDelay = 0;
    DWORD m_lastExport = 0;
    bool m_pending = false;  // the console changed since the last export
    DWORD m_pendingSince = 0;
    bool m_typed = false;
};
