#include "screen/ZTelnet.h"

#include <array>

#include "infra/ZIni.h"
#include "infra/ZTraceScope.h"

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

namespace {

// Console colour bits (blue 1, green 2, red 4) to the offset of its sequence after the
// white one: white, red, green, blue, yellow, black, cyan, magenta.
constexpr std::array<int, 8> kColourOffset = {5, 3, 2, 6, 1, 7, 4, 0};

// What a control byte shows as on the client: no control byte ever reaches it.
constexpr char kControlLookAlikes[33] = " ...............><......II<>..II";

}  // namespace

ZTelnet::ZTelnet(bool raw) : m_clientSize{0, 0}, m_raw(raw) {
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
    ini.GetKey(section, "ctrl_c_enabled", m_ctrlCEnabled, false);
    unsigned int codePage = 0;
    ini.GetKey(section, "export_code_page", codePage, 0U);
    m_codePage = static_cast<std::int32_t>(codePage);
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

std::string ZTelnet::SetColor(WORD attribute) {
    if (attribute == m_lastAttr) {
        return {};
    }
    m_lastAttr = attribute;
    const auto& s = m_sequences;
    std::string out =
        s[(attribute & FOREGROUND_INTENSITY) != 0 ? ForegroundIntensityOn : ForegroundIntensityOff];
    out += s[static_cast<std::size_t>(ForegroundWhite + kColourOffset[attribute & 0x07])];
    out +=
        s[(attribute & BACKGROUND_INTENSITY) != 0 ? BackgroundIntensityOn : BackgroundIntensityOff];
    out += s[static_cast<std::size_t>(BackgroundWhite + kColourOffset[(attribute >> 4) & 0x07])];
    return out;
}

std::string ZTelnet::ClearScreen(WORD attribute) {
    return SetColor(attribute) + "\x1b[1;1f\x1b[0J";
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
        if (b == 0xFF && !m_raw) {
            return "\xff\xff";
        }
        return std::string(1, buffer[0]);
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}
