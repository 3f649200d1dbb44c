// Keeps the client's terminal in step with the console: each export captures the
// console, compares it with what the client was last sent, and returns the bytes that
// bring the client up to date (a full repaint, or each changed row's changed stretch,
// with scrolled lines reproduced by letting the client scroll). Export2 and its steps are
// functions of the two pictures (and the encoder's last colour): no input or output.
#pragma once

#include <string>

#include "platform/ZConsole.h"
#include "screen/ZScreen.h"
#include "screen/ZTelnet.h"

class ZScreenExport {
  public:
    explicit ZScreenExport(ZTelnet& telnet);

    std::string Export();
    // A burst of output begins: its first m_scrollbackBurst lines are all kept.
    void NewBurst() { m_burstLeft = m_scrollbackBurst; }
    // The client typed: what the program writes now is a new burst. True when the
    // console's guard, set at the last capture, holds back fewer lines than a new burst
    // needs at first: then a capture should renew it before the program gets the keys,
    // or its first lines could pass unguarded.
    bool NewBurstNeedsCapture();
    std::string Export2(const ZScreen& cur, const ZScreen& client);
    bool NeedFlatScreen(const ZScreen& cur, const ZScreen& client);
    std::string FlatScreen(int first, int last, const ZScreen& picture, COORD* position = nullptr);
    std::string DiffScreen(const ZScreen& cur, const ZScreen& client);
    std::string CheckClientScreen(ZScreen& cur);
    static int RowEnd(int row, const ZScreen& picture);

    bool m_dumbClient = false;
    ZTelnet& m_telnet;
    ZConsole m_console;    // what Export captures
    ZScreen::Mark m_mark;  // what the mark planted at the last capture covers
    ZScreen m_screen;
    ZScreen m_client;
    bool m_mismatchShown = false;
    // Lines of a burst that the console holds the program back for, so that every one
    // reaches the client; what is left of them in the current burst.
    DWORD m_scrollbackBurst = 10000;
    DWORD m_burstLeft = 0;
    DWORD m_guarded = 0;  // what was left of the burst at the last capture

  private:
    // The bytes of cells first to last of a picture row; the second half of a
    // double-width character adds nothing, its first half already covers both columns.
    std::string RowText(const ZScreen& picture, int row, int first, int last);
    std::string LineBreaks(int count, const ZScreen& picture);
    std::string BrokenRow(int breaks, const ZScreen& picture, int row, int first, int last,
                          std::size_t& length);
    // The differing stretch of a row: false when nothing differs.
    bool DiffRange(const ZScreen& cur, const ZScreen& client, int row, int& first, int& last,
                   int& column) const;
};
