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
#include <utility>

#include "platform/ZConsole.h"
#include "screen/ZScreen.h"
#include "screen/ZTelnet.h"

class ZScreenExport {
  public:
    // What the client's terminal holds beyond its screen, carried from export to export.
    struct State {
        ZTelnet::Pen pen;            // the colour (and for rich clients the pen) last sent
        bool mismatchShown = false;  // the client shows the size-mismatch notice
        ConsoleModes modes;          // what the client's terminal was last told to do
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
    // The client is a new terminal (a reattach): the next export repaints the screen and
    // sends every mode that is on, as to a client that has seen nothing yet.
    void Forget();
    // A burst of output begins: its first m_scrollbackBurst lines are all kept.
    void NewBurst() {
        m_burstLeft = m_scrollbackBurst;
        m_flooding = false;
    }
    // The output ran past its burst: a capture since the burst began skipped lines that
    // scrolled by, so the program writes faster than the client is shown it.
    bool Flooding() const { return m_flooding; }
    // The client typed: what the program writes now is a new burst. True when the
    // console's guard, set at the last capture, holds back fewer lines than a new burst
    // needs at first: then a capture should renew it before the program gets the keys,
    // or its first lines could pass unguarded.
    bool NewBurstNeedsCapture();
    Frame Export2(const ZScreen& cur, const ZScreen& client, State state) const;
    bool NeedFlatScreen(const ZScreen& cur, const ZScreen& client, const State& state) const;
    // pen: the colour last sent, updated to the one the bytes leave. joined: the client
    // stands past the end of the row above first, which goes on in first (a soft wrap):
    // the text follows without a line break.
    std::string FlatScreen(int first, int last, const ZScreen& picture, ZTelnet::Pen& pen,
                           COORD* position = nullptr, bool joined = false) const;
    std::string DiffScreen(const ZScreen& cur, const ZScreen& client, ZTelnet::Pen& pen) const;
    // The bytes that tell the client's terminal the modes of now that it was not told
    // (all that are on when full, after a repaint), before and after the screen's bytes;
    // client is updated. The alternate screen is Export's.
    std::pair<std::string, std::string> ModeChanges(const ConsoleModes& now, ConsoleModes& client,
                                                    bool full) const;
    // Cuts cur to the client's size where it can. console: the console's info now
    // (nullopt when it cannot be asked); without scroll-back the export carries on with
    // the sizes as they are. On Mismatch, frame (the state in) receives the notice, once,
    // and the state after it.
    Check CheckClientScreen(ZScreen& cur, const std::optional<CONSOLE_SCREEN_BUFFER_INFO>& console,
                            Frame& frame) const;
    // wholePen: a blank counts as trailing only in the whole pen of the picture's blank
    // (a client with more colours than the table's). A row that goes on in the next one
    // ends at the window's last column.
    static int RowEnd(int row, const ZScreen& picture, bool wholePen = false);

    bool m_dumbClient = false;
    const ZTelnet& m_telnet;
    ZConsole m_console;    // what Export captures
    ZScreen::Mark m_mark;  // what the mark planted at the last capture covers
    ZScreen m_screen;
    ZScreen m_client;
    State m_state;  // what the last export left the client in
    // While the client is on its alternate screen: what its main screen shows and the
    // pen it was left in, which the terminal gives back when it leaves.
    ZScreen m_mainClient;
    ZTelnet::Pen m_mainPen;
    // Lines of a burst that the console holds the program back for, so that every one
    // reaches the client; what is left of them in the current burst.
    DWORD m_scrollbackBurst = 10000;
    DWORD m_burstLeft = 10000;
    DWORD m_guarded = 0;  // the lines the console holds for since the last capture
    bool m_flooding = false;

  private:
    // The most lines one capture can guard: the picture's rows beyond the window.
    DWORD GuardLimit() const;
    bool WholePen() const { return m_telnet.m_colours != ZTelnet::Colours::Basic; }
    // The bytes of cells first to last of a picture row (see ZTelnet::ExportCells).
    std::string RowText(const ZScreen& picture, int row, int first, int last,
                        ZTelnet::Pen& pen) const;
    std::string LineBreaks(int count, const ZScreen& picture, ZTelnet::Pen& pen) const;
    std::string BrokenRow(int breaks, const ZScreen& picture, int row, int first, int last,
                          std::size_t& length, ZTelnet::Pen& pen) const;
    // Whether row goes on from the row above it (a soft wrap) so that the client, left
    // past the end of that row, may wrap into it itself: the line breaks it would need
    // are then left out. Only where the client's own wrap fills the new line as the
    // console has it (the first character's background is the blank's).
    bool Joins(const ZScreen& picture, int row) const;
    // The differing stretch of a row: false when nothing differs.
    bool DiffRange(const ZScreen& cur, const ZScreen& client, int row, int& first, int& last,
                   int& column) const;
};
