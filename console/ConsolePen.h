// The terminal emulator's pen, twice: whole (RichCell: the colours as the program chose
// them, every attribute), and as a console attribute word: ANSI colour i maps to the console bits
// red 4, green 2, blue 1; bright colours and bold set the intensity bit; 256-colour and RGB colours
// go to the nearest of the 16; the default colours are white on black, flagged as the defaults
// unless reversed; reverse swaps foreground and background; underline sets 0x8000. Hidden text, dim
// and overline (SGR 8, 2 and 53, which the emulator does not track) are kept here from what the
// caller saw.
#pragma once

#include <vterm.h>

#include "console/RichCell.h"
#include "win32/ConsoleDefaultColours.h"
#include "win32/Win32.h"

class ConsolePen {
  public:
    void Reset();
    void Set(VTermAttr attr, const VTermValue& value);
    WORD Attributes() const { return m_attributes; }
    // The whole pen (text 0).
    const RichCell& Rich() const { return m_rich; }
    // What erasing leaves: the pen's background and nothing else, as terminals do.
    RichCell Blank() const { return RichCell{0, cell_colour::kDefault, m_rich.background, 0, 0}; }
    void SetDim(bool on) { SetFlag(cell_flag::kDim, on); }
    void SetOverline(bool on) { SetFlag(cell_flag::kOverline, on); }
    // The cells of a fresh or cleared screen: the default colours.
    static constexpr WORD kDefault = 0x07 | CONSOLE_DEFAULT_COLOURS;
    void SetConcealed(bool concealed) { m_concealed = concealed; }
    bool Concealed() const { return m_concealed; }

    // The console colour (0-15, intensity in bit 3) nearest to an RGB colour.
    static WORD Nearest(int red, int green, int blue);
    // The console colour of a terminal colour, or -1 for the default colour.
    static int ToConsole(const VTermColor& color);
    // A terminal colour as a cell keeps it.
    static std::uint32_t ToCell(const VTermColor& color);

  private:
    WORD Compute() const;
    void SetFlag(std::uint16_t flag, bool on) {
        m_rich.flags = static_cast<std::uint16_t>(on ? m_rich.flags | flag : m_rich.flags & ~flag);
    }

    WORD m_attributes = kDefault;  // what the fields below give, kept for each character
    int m_foreground = -1;         // console colour 0-15, or -1 for the default
    int m_background = -1;
    bool m_bold = false;
    bool m_reverse = false;
    bool m_underline = false;
    bool m_concealed = false;
    RichCell m_rich;
};
