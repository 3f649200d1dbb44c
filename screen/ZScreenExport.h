// Keeps the client's terminal in step with the console: each export captures the
// console, compares it with what the client was last sent, and returns the bytes that
// bring the client up to date (a full repaint, or each changed row's changed stretch,
// with scrolled lines reproduced by letting the client scroll). Export does the capture;
// Export2 and its steps are const functions of the two pictures and the state the last
// export left the client in: no input or output (but trace and error lines), no statics,
// nothing kept between calls.
#pragma once

#include <optional>
#include <string>

#include "platform/ZConsole.h"
#include "screen/ZScreen.h"
#include "screen/ZTelnet.h"

class ZScreenExport {
  public:
    // What the client's terminal holds beyond its screen, carried from export to export.
    struct State {
        WORD lastAttr = 0;           // the colour last sent
        bool mismatchShown = false;  // the client shows the size-mismatch notice
    };
    // An export's bytes and the state they leave the client in.
    struct Frame {
        std::string bytes;
        State state;
    };
    // CheckClientScreen's verdict: export the picture, or send the frame it made instead.
    enum class Check { CarryOn, Mismatch };

    explicit ZScreenExport(const ZTelnet& telnet);

    std::string Export();
    // A burst of output begins: its first m_scrollbackBurst lines are all kept.
    void NewBurst() { m_burstLeft = m_scrollbackBurst; }
    // The client typed: what the program writes now is a new burst. True when the
    // console's guard, set at the last capture, holds back fewer lines than a new burst
    // needs at first: then a capture should renew it before the program gets the keys,
    // or its first lines could pass unguarded.
    bool NewBurstNeedsCapture();
    Frame Export2(const ZScreen& cur, const ZScreen& client, State state) const;
    bool NeedFlatScreen(const ZScreen& cur, const ZScreen& client, const State& state) const;
    // lastAttr: the colour last sent, updated to the one the bytes leave.
    std::string FlatScreen(int first, int last, const ZScreen& picture, WORD& lastAttr,
                           COORD* position = nullptr) const;
    std::string DiffScreen(const ZScreen& cur, const ZScreen& client, WORD& lastAttr) const;
    // Cuts cur to the client's size where it can. console: the console's info now
    // (nullopt when it cannot be asked); without scroll-back the export carries on with
    // the sizes as they are. On Mismatch, frame (the state in) receives the notice, once,
    // and the state after it.
    Check CheckClientScreen(ZScreen& cur, const std::optional<CONSOLE_SCREEN_BUFFER_INFO>& console,
                            Frame& frame) const;
    static int RowEnd(int row, const ZScreen& picture);

    bool m_dumbClient = false;
    const ZTelnet& m_telnet;
    ZConsole m_console;    // what Export captures
    ZScreen::Mark m_mark;  // what the mark planted at the last capture covers
    ZScreen m_screen;
    ZScreen m_client;
    State m_state;  // what the last export left the client in
    // Lines of a burst that the console holds the program back for, so that every one
    // reaches the client; what is left of them in the current burst.
    DWORD m_scrollbackBurst = 10000;
    DWORD m_burstLeft = 10000;
    DWORD m_guarded = 0;  // the lines the console holds for since the last capture

  private:
    // The most lines one capture can guard: the picture's rows beyond the window.
    DWORD GuardLimit() const;
    // The bytes of cells first to last of a picture row (see ZTelnet::ExportCells).
    std::string RowText(const ZScreen& picture, int row, int first, int last, WORD& lastAttr) const;
    std::string LineBreaks(int count, const ZScreen& picture, WORD& lastAttr) const;
    std::string BrokenRow(int breaks, const ZScreen& picture, int row, int first, int last,
                          std::size_t& length, WORD& lastAttr) const;
    // The differing stretch of a row: false when nothing differs.
    bool DiffRange(const ZScreen& cur, const ZScreen& client, int row, int& first, int& last,
                   int& column) const;
};
