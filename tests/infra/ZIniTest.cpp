#include "infra/ZIni.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>

#include "support/TestSupport.h"

namespace {

class IniTest : public ::testing::Test {
  protected:
    // Writes the file and dates it back, so the reader may keep it cached.
    void Write(const std::string& text, bool settled = true) {
        test::WriteFile(m_path, text);
        if (settled) {
            // A distinct time for every write, so no two versions look alike.
            timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 3600 - ++m_writes, 0}};
            ::utimensat(AT_FDCWD, m_path.c_str(), times, 0);
        }
        m_ini.File(m_path);
    }

    std::string String(const std::string& key, const std::string& def = "<default>") {
        std::string value;
        m_lastResult = m_ini.GetKey("S", key, value, def);
        return value;
    }

    unsigned Number(const std::string& key, unsigned def = 77) {
        unsigned value = 0;
        m_lastResult = m_ini.GetKey("S", key, value, def);
        return value;
    }

    std::string Bytes(const std::string& key) {
        std::string value = "junk";
        m_lastResult = m_ini.GetHexKey("S", key, value);
        return value;
    }

    test::TempDir m_dir;
    std::string m_path = m_dir / "test.ini";
    ZIni m_ini;
    bool m_lastResult = false;
    int m_writes = 0;
};

TEST_F(IniTest, StringsAreTrimmedUnquotedAndEscaped) {
    Write(
        "[S]\n"
        "plain =  hello world  \n"
        "dq = \"  spaced  \"\n"
        "sq='x'\n"
        "mismatched = \"x'\n"
        "lf = a\\nb\n"
        "bslf = a\\\\nb\n"
        "other = a\\tb\\\n"
        "empty =\n");
    EXPECT_EQ(String("plain"), "hello world");
    EXPECT_EQ(String("dq"), "  spaced  ");
    EXPECT_EQ(String("sq"), "x");
    EXPECT_EQ(String("mismatched"), "\"x'");
    EXPECT_EQ(String("lf"), "a\nb");
    EXPECT_EQ(String("bslf"), "a\\\nb");
    EXPECT_EQ(String("other"), "a\\tb\\");
    EXPECT_EQ(String("empty"), "");
    EXPECT_TRUE(m_lastResult);
}

TEST_F(IniTest, NamesAreCaseInsensitiveAndFirstOccurrenceWins) {
    Write(
        "; comment = no\n"
        "orphan = before any section\n"
        "[other]\n"
        "key = wrong section\n"
        "  [ s ]  \n"
        "KEY = first\n"
        "key = second\n"
        "[S]\n"
        "late = only in the second S section\n");
    EXPECT_EQ(String("Key"), "first");
    EXPECT_EQ(String("late"), "<default>") << "only the first section of a name counts";
    EXPECT_EQ(String("orphan"), "<default>");
    EXPECT_EQ(String("comment"), "<default>");
}

TEST_F(IniTest, EofMarkerIsCaseSensitive) {
    Write("[S]\nend = eof\nupper = EOF\nnum = eof\n");
    EXPECT_EQ(String("end"), "eof");
    EXPECT_FALSE(m_lastResult);
    EXPECT_EQ(String("upper"), "EOF");
    EXPECT_TRUE(m_lastResult);
    EXPECT_EQ(Number("num"), 77U);
    EXPECT_FALSE(m_lastResult);
    EXPECT_EQ(Bytes("num"), "");
    EXPECT_FALSE(m_lastResult);
}

TEST_F(IniTest, NumbersReadLikeADecimalStream) {
    Write(
        "[S]\n"
        "a = 12abc\nb = abc\nc = 4294967296\nd = -1\ne =\nf = 100ms\n"
        "g = +42\nh = 4294967295\ni = - 5\nj = -4294967295\n");
    EXPECT_EQ(Number("a"), 12U);
    EXPECT_EQ(Number("b"), 77U);
    EXPECT_EQ(Number("c"), 77U);
    EXPECT_EQ(Number("d"), 4294967295U);
    EXPECT_EQ(static_cast<int>(Number("d")), -1);
    EXPECT_EQ(Number("e"), 77U);
    EXPECT_EQ(Number("f"), 100U);
    EXPECT_EQ(Number("g"), 42U);
    EXPECT_EQ(Number("h"), 4294967295U);
    EXPECT_EQ(Number("i"), 77U);
    EXPECT_EQ(Number("j"), 1U);
    EXPECT_EQ(Number("missing"), 77U);
    EXPECT_TRUE(m_lastResult);

    unsigned long wide = 0;
    m_ini.GetKey("S", "d", wide, 5UL);
    EXPECT_EQ(wide, 4294967295UL) << "the long overload is 32-bit too";
}

TEST_F(IniTest, BooleansAcceptOnlyZeroAndOne) {
    Write("[S]\none = 1\nzero = 0\nyes = yes\ntrue = true\ntwo = 2\nneg = -1\n");
    auto read = [&](const std::string& key, bool def) {
        bool value = !def;
        m_ini.GetKey("S", key, value, def);
        return value;
    };
    EXPECT_TRUE(read("one", false));
    EXPECT_FALSE(read("zero", true));
    for (const char* key : {"yes", "true", "two", "neg", "missing"}) {
        EXPECT_TRUE(read(key, true)) << key;
        EXPECT_FALSE(read(key, false)) << key;
    }
}

TEST_F(IniTest, HexListsInByteAndWordForm) {
    Write(
        "[S]\n"
        "esc = 1b 5b 41\n"
        "stop = 0x1B 5b zz 41\n"
        "wrap = 100 41\n"
        "over = 10000\n"
        "wide = 1ff -1\n"
        "comma = 1b,5b\n"
        "tabs = 1b\t0X5B\\n41\n"
        "words = 1b 5b 41 FFFFFFFF 100000000 7\n");
    EXPECT_EQ(Bytes("esc"), "\x1b\x5b\x41");
    EXPECT_EQ(Bytes("stop"), "\x1b\x5b");
    EXPECT_EQ(Bytes("wrap"), std::string("\x00\x41", 2));
    EXPECT_EQ(Bytes("over"), "");
    EXPECT_EQ(Bytes("wide"), "\xff\xff");
    EXPECT_EQ(Bytes("comma"), "\x1b");
    EXPECT_EQ(Bytes("tabs"), "\x1b\x5b\x41");
    EXPECT_EQ(Bytes("missing"), "");
    EXPECT_TRUE(m_lastResult);

    std::vector<std::uint32_t> words{1, 2};
    EXPECT_TRUE(m_ini.GetHexKey("S", "words", words));
    EXPECT_EQ(words, (std::vector<std::uint32_t>{27, 91, 65, 0xFFFFFFFF}));
    EXPECT_TRUE(m_ini.GetHexKey("S", "esc", words));
    EXPECT_EQ(words, (std::vector<std::uint32_t>{27, 91, 65}));
    EXPECT_TRUE(m_ini.GetHexKey("S", "missing", words));
    EXPECT_TRUE(words.empty());
}

TEST_F(IniTest, LongValuesAreCutTo999) {
    const std::string value(1200, 'v');
    Write("[S]\nlong = " + value + "\nquoted = \"" + value + "\"\nafter = ok\n");
    EXPECT_EQ(String("long"), value.substr(0, 999));
    EXPECT_EQ(String("quoted"), value.substr(0, 999));
    EXPECT_EQ(String("after"), "ok");
}

TEST_F(IniTest, TenMegabyteLineDoesNotDisturbTheRest) {
    std::string text = "[S]\nbefore = 1\nhuge = \"";
    text.append(10 << 20, 'h');
    text += "\"\n" + std::string(5 << 20, ' ') + "after = 2\n";
    Write(text);
    EXPECT_EQ(String("huge"), std::string(999, 'h'));
    EXPECT_EQ(String("before"), "1");
    EXPECT_EQ(String("after"), "2");
}

TEST_F(IniTest, LineEndsAndMissingFinalNewline) {
    Write("\xEF\xBB\xBF[S]\r\ncrlf = one \r\nlast = two");
    EXPECT_EQ(String("crlf"), "one");
    EXPECT_EQ(String("last"), "two");
}

TEST_F(IniTest, MissingFileOrDirectoryGivesDefaults) {
    m_ini.File(m_dir / "absent.ini");
    EXPECT_EQ(String("x"), "<default>");
    EXPECT_TRUE(m_lastResult);
    m_ini.File(m_dir.Path().string());
    EXPECT_EQ(String("x"), "<default>");
    EXPECT_EQ(Number("x"), 77U);
}

TEST_F(IniTest, FifoDoesNotBlockTheReader) {
    const std::string fifo = m_dir / "fifo.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    m_ini.File(fifo);
    EXPECT_EQ(String("x"), "<default>");
}

TEST_F(IniTest, WindowsStylePathIsAccepted) {
    Write("[S]\nk = v\n");
    m_ini.File(m_dir.Path().string() + "\\test.ini");
    EXPECT_EQ(String("k"), "v");
}

TEST_F(IniTest, ChangedFileIsSeenByTheNextCall) {
    Write("[S]\nk = before\n");
    EXPECT_EQ(String("k"), "before");
    Write("[S]\nk = after, and longer\n");
    EXPECT_EQ(String("k"), "after, and longer");
    Write("[S]\nk = fresh\n", false);
    EXPECT_EQ(String("k"), "fresh");
}

TEST_F(IniTest, BinaryGarbageNeverCrashesAndCacheAgreesWithFreshReads) {
    std::mt19937 random(12345);
    const std::string alphabet = std::string("[]=;\"' \t\r\n\\neofSk01x", 21) + '\0' + "\xff";
    for (int round = 0; round < 200; ++round) {
        std::string text;
        const int length = static_cast<int>(random() % 400);
        for (int i = 0; i < length; ++i) {
            text.push_back(random() % 4 == 0 ? static_cast<char>(random() % 256)
                                             : alphabet[random() % alphabet.size()]);
        }
        Write(text, false);
        std::vector<std::string> fresh;
        for (const char* key : {"k", "x", "", "eof", "0"}) {
            fresh.push_back(String(key));
        }
        Write(text, true);
        for (std::size_t i = 0; const char* key : {"k", "x", "", "eof", "0"}) {
            EXPECT_EQ(String(key), fresh[i++]) << "round " << round;
        }
    }
}

}  // namespace
