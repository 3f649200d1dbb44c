#include "screen/ZTelnet.h"

#include <array>

#include "base/ClusterTable.h"
#include "base/Unicode.h"
#include "infra/ZIni.h"
#include "infra/ZTraceScope.h"
#include "win32/ConsoleDefaultColours.h"

const std::array<const char*, ZTelnet::SequenceCount> ZTelnet::kSequenceKeys = {
    "foreground_intensity_on", "foreground_intensity_off", "foreground_white",
    "foreground_red",          "foreground_green",         "foreground_blue",
    "foreground_yellow",       "foreground_black",         "foreground_cyan",
    "foreground_magenta",      "background_intensity_on",  "background_intensity_off",
    "background_white",        "background_red",           "background_green",
    "background_blue",         "background_yellow",        "background_black",
    "background_cyan",         "background_magenta"};

const std::array<const char*, ZTelnet::SequenceCount> ZTelnet::kBuiltIn = {
    "\x1b[1m",  "\x1b[22m", "\x1b[37m", "\x1b[31m", "\x1b[32m", "\x1b[34m", "\x1b[33m",
    "\x1b[30m", "\x1b[36m", "\x1b[35m", "\x1b[5m",  "\x1b[25m", "\x1b[47m", "\x1b[41m",
    "\x1b[42m", "\x1b[44m", "\x1b[43m", "\x1b[40m", "\x1b[46m", "\x1b[45m"};

const std::array<const char*, ZTelnet::ExtraCount> ZTelnet::kExtraKeys = {
    "foreground_bright_white",
    "foreground_bright_red",
    "foreground_bright_green",
    "foreground_bright_blue",
    "foreground_bright_yellow",
    "foreground_bright_black",
    "foreground_bright_cyan",
    "foreground_bright_magenta",
    "background_bright_white",
    "background_bright_red",
    "background_bright_green",
    "background_bright_blue",
    "background_bright_yellow",
    "background_bright_black",
    "background_bright_cyan",
    "background_bright_magenta",
    "underline_on",
    "underline_off",
    "foreground_default",
    "background_default"};

namespace {

// Console colour bits (blue 1, green 2, red 4) to the offset of its sequence after the
// white one: white, red, green, blue, yellow, black, cyan, magenta.
constexpr std::array<int, 8> kColourOffset = {5, 3, 2, 6, 1, 7, 4, 0};

// What a control byte shows as on the client: no control byte ever reaches it.
constexpr char kControlLookAlikes[33] = " ...............><......II<>..II";

}  // namespace

ZTelnet::ZTelnet() : m_clientSize{0, 0} {
    ZTraceScope trace;
    trace.Trace("ZTelnet::ZTelnet( )");
    for (int i = 0; i < SequenceCount; ++i) {
        m_sequences[static_cast<std::size_t>(i)] = kBuiltIn[static_cast<std::size_t>(i)];
    }
}

void ZTelnet::Load(std::string path) {
    ZTraceScope trace;
    trace.Trace("ZTelnet::Load( ", path, " )");
    ZIni ini;
    ini.File(path);
    const std::string section = "ZTelnet";
    for (int i = 0; i < SequenceCount; ++i) {
        ini.GetKey(section, kSequenceKeys[static_cast<std::size_t>(i)],
                   m_sequences[static_cast<std::size_t>(i)], "");
    }
    for (int i = 0; i < ExtraCount; ++i) {
        ini.GetKey(section, kExtraKeys[static_cast<std::size_t>(i)],
                   m_extra[static_cast<std::size_t>(i)], "");
    }
    ini.GetKey(section, "ctrl_c_enabled", m_ctrlCEnabled, false);
    unsigned int codePage = 0;
    ini.GetKey(section, "export_code_page", codePage, 0U);
    m_codePage = static_cast<std::int32_t>(codePage);
    ini.DeclareList(section, "client", ZIniRule::Bytes());
    ini.DeclareList(section, "server", ZIniRule::Bytes());
    for (int i = 0; i < 256; ++i) {
        ZTelnetPair pair;
        if (!ini.GetHexKey(section, "client" + std::to_string(i), pair.client)) {
            break;
        }
        if (!ini.GetHexKey(section, "server" + std::to_string(i), pair.server)) {
            break;
        }
        m_pairs.push_back(std::move(pair));
    }
}

std::string ZTelnet::ColourPart(bool background, bool intense, int colour, bool byDefault) const {
    const auto& s = m_sequences;
    const std::size_t on = background ? BackgroundIntensityOn : ForegroundIntensityOn;
    const std::size_t off = background ? BackgroundIntensityOff : ForegroundIntensityOff;
    const std::string& defaultColour = m_extra[background ? BackgroundDefault : ForegroundDefault];
    if (byDefault && !defaultColour.empty()) {
        return s[intense ? on : off] + defaultColour;
    }
    const std::string& bright =
        m_extra[static_cast<std::size_t>(background ? BackgroundBright : ForegroundBright) +
                static_cast<std::size_t>(kColourOffset[static_cast<std::size_t>(colour)])];
    if (intense && !bright.empty()) {
        return s[off] + bright;  // the brightness is in the colour: no bold, no blink
    }
    const std::size_t white = background ? BackgroundWhite : ForegroundWhite;
    return s[intense ? on : off] +
           s[white + static_cast<std::size_t>(kColourOffset[static_cast<std::size_t>(colour)])];
}

std::string ZTelnet::SetColor(WORD attribute, WORD& lastAttr) const {
    // Which colours are the defaults matters only to a table that can send them.
    if (m_extra[ForegroundDefault].empty() && m_extra[BackgroundDefault].empty()) {
        attribute &= static_cast<WORD>(~CONSOLE_DEFAULT_COLOURS);
    }
    if (attribute == lastAttr) {
        return {};
    }
    lastAttr = attribute;
    std::string out = ColourPart(false, (attribute & FOREGROUND_INTENSITY) != 0, attribute & 0x07,
                                 (attribute & CONSOLE_DEFAULT_FOREGROUND) != 0);
    out += ColourPart(true, (attribute & BACKGROUND_INTENSITY) != 0, (attribute >> 4) & 0x07,
                      (attribute & CONSOLE_DEFAULT_BACKGROUND) != 0);
    out += m_extra[(attribute & COMMON_LVB_UNDERSCORE) != 0 ? UnderlineOn : UnderlineOff];
    return out;
}

std::string ZTelnet::ClearScreen(WORD attribute, WORD& lastAttr) const {
    return SetColor(attribute, lastAttr) + "\x1b[1;1f\x1b[0J";
}

std::string ZTelnet::MoveCursor(int column, int row) {
    return "\x1b[" + std::to_string(row + 1) + ";" + std::to_string(column + 1) + "f";
}

std::string ZTelnet::ExportChar(WCHAR unit) const {
    char buffer[10];
    const int n = WideCharToMultiByte(static_cast<UINT>(m_codePage), 0, &unit, 1, buffer,
                                      sizeof buffer, nullptr, nullptr);
    if (n < 1) {
        ZTraceScope trace;
        ReportError(trace, "WideCharToMultiByte( ):err");
        return {};
    }
    if (n == 1) {
        const auto b = static_cast<unsigned char>(buffer[0]);
        if (b < 32) {
            return std::string(1, kControlLookAlikes[b]);
        }
        return std::string(1, buffer[0]);
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}

std::string ZTelnet::ExportCells(std::span<const CHAR_INFO> row, int first, int last,
                                 WORD& lastAttr) const {
    Pen pen{lastAttr};
    std::string text = ExportCells(row, nullptr, first, last, pen);
    lastAttr = pen.attr;
    return text;
}

std::string ZTelnet::ExportCells(std::span<const CHAR_INFO> row, const RichCell* rich, int first,
                                 int last, Pen& pen) const {
    static const RichCell kPlain{};
    std::string text;
    const auto trailing = [&row](int x) {
        return (row[static_cast<std::size_t>(x)].Attributes & COMMON_LVB_TRAILING_BYTE) != 0;
    };
    const int count = static_cast<int>(row.size());
    for (int x = first; x <= last; ++x) {
        if (trailing(x)) {
            continue;
        }
        // A double-width character is sent once, from its first cell; beyond the Basic
        // Multilingual Plane its second cell holds the other half of the pair.
        int span = 1;
        while (x + span < count && trailing(x + span)) {
            ++span;
        }
        const CHAR_INFO& cell = row[static_cast<std::size_t>(x)];
        const RichCell& more = rich != nullptr ? rich[x] : kPlain;
        text += SetPen(cell.Attributes, more, pen);
        if (more.text != 0) {
            const std::string written = RichText(more.text);
            if (!written.empty()) {
                text += written;
                continue;
            }
        }
        const WCHAR unit = cell.UnicodeChar;
        const WCHAR next = span > 1 ? row[static_cast<std::size_t>(x) + 1].UnicodeChar : unit;
        const bool pair =
            span > 1 && unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF;
        const WCHAR units[2] = {unit, pair ? next : unit};
        text += ExportCell(std::u16string_view(units, pair ? 2 : 1), span);
    }
    return text;
}

std::string ZTelnet::RichText(char32_t text) const {
    // Only a UTF-8 client takes the text as written; others keep the unit's character.
    const WCHAR probe = 0xE9;
    char bytes[10];
    if (WideCharToMultiByte(static_cast<UINT>(m_codePage), 0, &probe, 1, bytes, sizeof bytes,
                            nullptr, nullptr) != 2) {
        return {};
    }
    if ((text & RichCell::kCluster) != 0) {
        return ClusterTable::Shared().Text(text & ~RichCell::kCluster);
    }
    const int n = unicode::EncodeUtf8(text, bytes);
    return std::string(bytes, static_cast<std::size_t>(n));
}

ZTelnet::Colours ZTelnet::ColoursOf(std::string_view term, std::string_view colorterm) {
    if (colorterm == "truecolor" || colorterm == "24bit" || term.ends_with("-direct") ||
        term.find("256color") != std::string_view::npos) {
        return Colours::Whole;
    }
    return Colours::Basic;
}

std::string ZTelnet::SetPen(WORD attribute, const RichCell& rich, Pen& last) const {
    if (m_colours == Colours::Basic) {
        return SetColor(attribute, last.attr);
    }
    if (last.richKnown && last.rich.SamePen(rich)) {
        return {};
    }
    last.attr = attribute;
    last.rich = RichCell{0, rich.foreground, rich.background,
                         static_cast<std::uint16_t>(rich.flags & cell_flag::kPenMask), 0};
    last.richKnown = true;
    return RichSgr(last.rich);
}

// The whole pen from the terminal's defaults up: one sequence, whatever changed.
std::string ZTelnet::RichSgr(const RichCell& pen) const {
    using namespace cell_flag;
    std::string s = "\x1b[0";
    const std::uint16_t f = pen.flags;
    if ((f & kBold) != 0) {
        s += ";1";
    }
    if ((f & kDim) != 0) {
        s += ";2";
    }
    if ((f & kItalic) != 0) {
        s += ";3";
    }
    switch ((f & kUnderlineMask) >> kUnderlineShift) {
        case 1:
            s += ";4";
            break;
        case 2:
            s += ";21";
            break;
        case 3:
            s += ";4:3";
            break;
        default:
            break;
    }
    if ((f & kBlink) != 0) {
        s += ";5";
    }
    if ((f & kReverse) != 0) {
        s += ";7";
    }
    if ((f & kStrike) != 0) {
        s += ";9";
    }
    if ((f & kOverline) != 0) {
        s += ";53";
    }
    s += RichColour(pen.foreground, false);
    s += RichColour(pen.background, true);
    s += 'm';
    return s;
}

std::string ZTelnet::RichColour(std::uint32_t colour, bool background) const {
    const std::uint32_t kind = colour & cell_colour::kKindMask;
    if (kind == cell_colour::kIndexed) {
        const int index = static_cast<int>(colour & 0xFF);
        if (index < 8) {
            return ";" + std::to_string((background ? 40 : 30) + index);
        }
        if (index < 16) {
            return ";" + std::to_string((background ? 100 : 90) + index - 8);
        }
        return (background ? ";48;5;" : ";38;5;") + std::to_string(index);
    }
    if (kind == cell_colour::kRgb) {
        const int r = static_cast<int>((colour >> 16) & 0xFF);
        const int g = static_cast<int>((colour >> 8) & 0xFF);
        const int b = static_cast<int>(colour & 0xFF);
        return (background ? ";48;2;" : ";38;2;") + std::to_string(r) + ";" + std::to_string(g) +
               ";" + std::to_string(b);
    }
    return {};
}

std::string ZTelnet::ExportCell(std::u16string_view units, int cells) const {
    if (units.size() == 1) {
        std::string bytes = ExportChar(units[0]);
        if (!bytes.empty()) {
            return bytes;
        }
    } else {
        char buffer[10];
        const int n = WideCharToMultiByte(static_cast<UINT>(m_codePage), 0, units.data(),
                                          static_cast<int>(units.size()), buffer, sizeof buffer,
                                          nullptr, nullptr);
        if (n > 0) {
            return std::string(buffer, static_cast<std::size_t>(n));
        }
        ZTraceScope trace;
        ReportError(trace, "WideCharToMultiByte( ):err");
    }
    // U+FFFD where the code page has it, a question mark where not.
    constexpr WCHAR kReplacement = 0xFFFD;
    char buffer[10];
    const int n = WideCharToMultiByte(static_cast<UINT>(m_codePage), 0, &kReplacement, 1, buffer,
                                      sizeof buffer, nullptr, nullptr);
    const std::string one = n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "?";
    std::string out;
    for (int i = 0; i < cells; ++i) {
        out += one;
    }
    return out;
}
