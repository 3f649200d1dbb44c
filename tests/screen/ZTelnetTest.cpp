#include "screen/ZTelnet.h"

#include <gtest/gtest.h>

#include "infra/ZTraceScope.h"
#include "support/TestSupport.h"
#include "win32/ConsoleDefaultColours.h"

namespace {

TEST(ZTelnetOutput, ColourSequencesFromTheBuiltInTable) {
    ZTelnet telnet;
    WORD last = 0;  // the colour last sent
    EXPECT_EQ(telnet.SetColor(0x0000, last), "") << "the last colour starts as 0";
    EXPECT_EQ(telnet.SetColor(0x0007, last), "\x1b[22m\x1b[37m\x1b[25m\x1b[40m");
    EXPECT_EQ(telnet.SetColor(0x0007, last), "");
    EXPECT_EQ(telnet.SetColor(0x004F, last), "\x1b[1m\x1b[37m\x1b[25m\x1b[41m");
    EXPECT_EQ(telnet.SetColor(0x00F0, last), "\x1b[22m\x1b[30m\x1b[5m\x1b[47m");
    EXPECT_EQ(telnet.SetColor(0x0035, last), "\x1b[22m\x1b[35m\x1b[25m\x1b[46m");
    EXPECT_EQ(telnet.SetColor(0x0007, last), "\x1b[22m\x1b[37m\x1b[25m\x1b[40m");
    EXPECT_EQ(telnet.SetColor(0x8007, last), "\x1b[22m\x1b[37m\x1b[25m\x1b[40m")
        << "a high bit alone makes a new sequence";
    EXPECT_EQ(telnet.SetColor(0x8007 | CONSOLE_DEFAULT_COLOURS, last), "")
        << "without keys for them the default colours are plain white on black";
    telnet.SetColor(0x004F, last);
    EXPECT_EQ(telnet.ClearScreen(0x004F, last), "\x1b[1;1f\x1b[0J");
}

TEST(ZTelnetOutput, CursorAndLineBreak) {
    EXPECT_EQ(ZTelnet::MoveCursor(0, 0), "\x1b[1;1f");
    EXPECT_EQ(ZTelnet::MoveCursor(20, 12), "\x1b[13;21f");
    EXPECT_EQ(ZTelnet::NewLine(), "\r\n");
}

TEST(ZTelnetOutput, ControlCharactersBecomeLookAlikes) {
    ZTelnet telnet;
    telnet.m_codePage = 65001;
    const std::string expected = " ...............><......II<>..II";
    for (WCHAR c = 0; c < 32; ++c) {
        EXPECT_EQ(telnet.ExportChar(c), std::string(1, expected[c])) << static_cast<int>(c);
    }
    EXPECT_EQ(telnet.ExportChar(u'A'), "A");
    EXPECT_EQ(telnet.ExportChar(u'\u00e9'), "\xc3\xa9") << "multi-byte characters unchanged";
    EXPECT_EQ(telnet.ExportChar(u'\u2663'), "\xe2\x99\xa3");
}

TEST(ZTelnetOutput, ByteFFIsSentAsItIs) {
    ZTelnet telnet;
    telnet.m_codePage = 28591;
    EXPECT_EQ(telnet.ExportChar(u'\u00ff'), "\xff");
    EXPECT_EQ(telnet.ExportChar(u'\u00e9'), "\xe9");
}

TEST(ZTelnetOutput, OtherCodePages) {
    ZTelnet telnet;
    telnet.m_codePage = 437;
    EXPECT_EQ(telnet.ExportChar(u'\u2588'), "\xdb");
    EXPECT_EQ(telnet.ExportChar(u'\u00e9'), "\x82");
    telnet.m_codePage = 1252;
    EXPECT_EQ(telnet.ExportChar(u'\u20ac'), "\x80");
}

TEST(ZTelnetOutput, UnconvertibleCharacterIsDroppedWithAnErrorLine) {
    test::TempDir dir;
    ErrorFile(dir / "error.txt");
    ZTelnet telnet;
    telnet.m_codePage = 28591;
    EXPECT_EQ(telnet.ExportChar(u'\u4e2d'), "");
    EXPECT_NE(test::ReadFile(dir / "error.txt").find("WideCharToMultiByte( ):err\r\n"),
              std::string::npos);
    telnet.m_codePage = 65001;
    EXPECT_EQ(telnet.ExportChar(0xD800), "") << "a lone surrogate";
}

TEST(ZTelnetLoad, SettingsReplaceTheBuiltInTable) {
    test::TempDir dir;
    test::WriteFile(dir / "telnet.ini",
                    "[ZTelnet]\n"
                    "foreground_red = \"\\x\"\n"
                    "foreground_white = <fw>\n"
                    "background_black = <bb>\n"
                    "ctrl_c_enabled = 1\n"
                    "export_code_page = 437\n"
                    "client0 = 1b 5b 63\n"
                    "server0 = 1b 5b 3f 36 63\n"
                    "client1 = eof\n"
                    "server1 = 41\n");
    ZTelnet telnet;
    WORD last = 0;  // the colour last sent
    telnet.Load(dir / "telnet.ini");
    EXPECT_TRUE(telnet.m_ctrlCEnabled);
    EXPECT_EQ(telnet.m_codePage, 437);
    ASSERT_EQ(telnet.m_pairs.size(), 1U);
    EXPECT_EQ(telnet.m_pairs[0].client, "\x1b[c");
    EXPECT_EQ(telnet.m_pairs[0].server, "\x1b[?6c");
    EXPECT_FALSE(telnet.m_pairs[0].used);
    // Absent keys give empty sequences: only the configured parts are sent.
    EXPECT_EQ(telnet.SetColor(0x0007, last), "<fw><bb>");
}

TEST(ZTelnetLoad, BrightUnderlineAndDefaultColourKeys) {
    test::TempDir dir;
    std::string ini = "[ZTelnet]\n";
    for (std::size_t i = 0; i < ZTelnet::SequenceCount; ++i) {
        if (i != ZTelnet::BackgroundIntensityOn && i != ZTelnet::BackgroundIntensityOff) {
            ini += std::string(ZTelnet::kSequenceKeys[i]) + "=" + ZTelnet::kBuiltIn[i] + "\n";
        }
    }
    ini +=
        "background_intensity_on=\nbackground_intensity_off=\n"
        "foreground_bright_red=\x1b[91m\nbackground_bright_white=\x1b[107m\n"
        "underline_on=\x1b[4m\nunderline_off=\x1b[24m\n"
        "foreground_default=\x1b[39m\nbackground_default=\x1b[49m\n";
    test::WriteFile(dir / "telnet.ini", ini);
    ZTelnet telnet;
    WORD last = 0;  // the colour last sent
    telnet.Load(dir / "telnet.ini");
    constexpr WORD kDef = CONSOLE_DEFAULT_COLOURS;
    EXPECT_EQ(telnet.SetColor(0x07 | kDef, last), "\x1b[22m\x1b[39m\x1b[49m\x1b[24m")
        << "the client's own colours";
    EXPECT_EQ(telnet.SetColor(0x0F | kDef, last), "\x1b[1m\x1b[39m\x1b[49m\x1b[24m")
        << "bold in the default colour";
    EXPECT_EQ(telnet.SetColor(0x0C | CONSOLE_DEFAULT_BACKGROUND, last),
              "\x1b[22m\x1b[91m\x1b[49m\x1b[24m")
        << "bright red, not bold";
    EXPECT_EQ(telnet.SetColor(0xF0, last), "\x1b[22m\x1b[30m\x1b[107m\x1b[24m")
        << "bright white background, no blink";
    EXPECT_EQ(telnet.SetColor(0x0A | COMMON_LVB_UNDERSCORE, last), "\x1b[1m\x1b[32m\x1b[40m\x1b[4m")
        << "no bright green key: the intensity switch";
}

TEST(ZTelnetLoad, WithoutAFileNothingButClearingAndAddressing) {
    ZTelnet telnet;
    WORD last = 0;  // the colour last sent
    telnet.Load("/nonexistent/telnet.ini");
    EXPECT_FALSE(telnet.m_ctrlCEnabled);
    EXPECT_EQ(telnet.m_codePage, 0);
    EXPECT_EQ(telnet.m_pairs.size(), 256U) << "missing keys make empty pairs";
    EXPECT_EQ(telnet.SetColor(0x0007, last), "");
    EXPECT_EQ(telnet.ClearScreen(0x004F, last), "\x1b[1;1f\x1b[0J");
}

}  // namespace
