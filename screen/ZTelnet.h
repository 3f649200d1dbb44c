// The session's terminal protocol: the bytes that set colours, clear the screen, move
// the cursor and show console characters on the client, and (beside it) the parsing of
// what the client sends.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "console/ConsoleFlow.h"
#include "win32/Win32.h"

struct ZTelnetPair {
    std::string client;  // what the client sends
    std::string server;  // the answer
    bool used = false;
};

// The client's terminal size: columns, then rows.
struct ZClientSize {
    SHORT columns;
    SHORT rows;
};

class ZTelnet {
  public:
    // The colour sequences, in the order of their settings keys.
    enum Sequence {
        ForegroundIntensityOn,
        ForegroundIntensityOff,
        ForegroundWhite,
        ForegroundRed,
        ForegroundGreen,
        ForegroundBlue,
        ForegroundYellow,
        ForegroundBlack,
        ForegroundCyan,
        ForegroundMagenta,
        BackgroundIntensityOn,
        BackgroundIntensityOff,
        BackgroundWhite,
        BackgroundRed,
        BackgroundGreen,
        BackgroundBlue,
        BackgroundYellow,
        BackgroundBlack,
        BackgroundCyan,
        BackgroundMagenta,
        SequenceCount
    };
    static const std::array<const char*, SequenceCount> kSequenceKeys;
    static const std::array<const char*, SequenceCount> kBuiltIn;

    // Optional sequences for what a modern terminal has beyond the table above, in the
    // order of their settings keys. None is built in; each one absent leaves the bytes
    // as the twenty above alone make them. The bright colours are in the colour order
    // above (white, red, green, blue, yellow, black, cyan, magenta).
    enum Extra {
        ForegroundBright,
        BackgroundBright = ForegroundBright + 8,
        UnderlineOn = BackgroundBright + 8,
        UnderlineOff,
        ForegroundDefault,  // the client's own colours, for cells left in the defaults
        BackgroundDefault,
        ExtraCount
    };
    static const std::array<const char*, ExtraCount> kExtraKeys;

    // What the client's terminal shows. Basic: the sixteen colours of the table above,
    // from the attribute word alone. Whole: the programs' pens as they set them (256 and
    // 24-bit colours, every attribute), sent as SGR; 24-bit colours go as written, as a
    // server that passes the programs' bytes through sends them.
    enum class Colours { Basic, Whole };
    // From the client's terminal type and its COLORTERM (empty when it sent none).
    static Colours ColoursOf(std::string_view term, std::string_view colorterm);

    // What the client draws in now: the attribute word last sent and, for a client with
    // more colours than the table's, the whole pen last sent (richKnown: sent at all).
    struct Pen {
        WORD attr = 0;
        RichCell rich{};
        bool richKnown = false;
    };

    ZTelnet();

    void Load(std::string path);

    // The bytes that make attribute the client's colour; nothing when lastAttr, the colour
    // last sent, already is. lastAttr is updated to the colour the bytes leave.
    std::string SetColor(WORD attribute, WORD& lastAttr) const;
    std::string ClearScreen(WORD attribute, WORD& lastAttr) const;
    // The bytes that make a cell's look the client's: SetColor's for a Basic client, an
    // SGR of the whole pen for the others; nothing when it already is.
    std::string SetPen(WORD attribute, const RichCell& rich, Pen& last) const;
    static std::string MoveCursor(int column, int row);
    std::string ExportChar(WCHAR unit) const;
    // One console character covering cells cells: a unit, or the two halves of a
    // surrogate pair from a double-width character's two cells. What the code page
    // cannot take is one replacement character per cell, so no column shifts.
    std::string ExportCell(std::u16string_view units, int cells) const;
    // The bytes of cells first to last of a console row, each character in its colour
    // (lastAttr, the colour last sent, is updated). The second half of a double-width
    // character adds nothing: its first half already covers both columns.
    std::string ExportCells(std::span<const CHAR_INFO> row, int first, int last,
                            WORD& lastAttr) const;
    // The same with each cell's rest (rich: as many cells as row, or null): each in its
    // whole pen for a client that takes it, and text beyond one unit as the program
    // wrote it (a character beyond the Basic Multilingual Plane, a grapheme cluster).
    std::string ExportCells(std::span<const CHAR_INFO> row, const RichCell* rich, int first,
                            int last, Pen& pen) const;
    static std::string NewLine() { return "\r\n"; }

    // Client input parsers: each takes what it recognises off the front of input and
    // returns true, possibly with an answer in reply; false leaves input unchanged.
    bool Consume_client_server(std::string& input, std::string& reply);
    bool Consume_iac_do_will(std::string& input, std::string& reply);
    bool Consume_iac_dont_wont(std::string& input, std::string& reply);
    bool Consume_iac_sb_naws(std::string& input);
    bool Consume_ctrl_c(std::string& input);

    ZClientSize m_clientSize;  // written by the session before the first export
    std::vector<ZTelnetPair> m_pairs;
    bool m_ctrlCEnabled = true;
    std::int32_t m_codePage = 0;
    Colours m_colours = Colours::Basic;
    std::array<std::string, SequenceCount> m_sequences;
    std::array<std::string, ExtraCount> m_extra;

  private:
    std::string RichSgr(const RichCell& pen) const;
    std::string RichColour(std::uint32_t colour, bool background) const;
    // The UTF-8 of a rich half's text, empty when the code page is not UTF-8 or the
    // text is none.
    std::string RichText(char32_t text) const;
    // One side's colour: the intensity switch and the colour, or what replaces them.
    std::string ColourPart(bool background, bool intense, int colour, bool byDefault) const;
};
