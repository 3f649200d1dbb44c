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

    ZTelnet();

    void Load(std::string path);

    // The bytes that make attribute the client's colour; nothing when lastAttr, the colour
    // last sent, already is. lastAttr is updated to the colour the bytes leave.
    std::string SetColor(WORD attribute, WORD& lastAttr) const;
    std::string ClearScreen(WORD attribute, WORD& lastAttr) const;
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
    std::array<std::string, SequenceCount> m_sequences;
    std::array<std::string, ExtraCount> m_extra;

  private:
    // One side's colour: the intensity switch and the colour, or what replaces them.
    std::string ColourPart(bool background, bool intense, int colour, bool byDefault) const;
};
