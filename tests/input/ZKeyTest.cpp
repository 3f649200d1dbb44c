#include "input/ZKey.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "infra/ZTraceScope.h"
#include "platform/ZConsole.h"
#include "support/ConsoleFixture.h"
#include "support/KeyProbe.h"
#include "support/TestSupport.h"

namespace {

using namespace std::string_literals;

// A mapper over a table written from text.
struct Mapper {
    explicit Mapper(const std::string& table) {
        test::WriteFile(dir / "keys.ini", "[ZKey]\n" + table);
        key.Load(dir / "keys.ini");
    }
    test::TempDir dir;
    ZKey key;
};

TEST(ZKeyLoad, EntriesInFileOrderUntilEof) {
    Mapper m(
        "input0 = 1b 5b 41\n"
        "key0 = 100 26 1000001 101 26 c1000001\n"
        "input1 = eof\n"
        "input2 = 61\n"
        "key2 = 102 61 1\n");
    ASSERT_EQ(m.key.m_keys.size(), 1U) << "eof ends the table whatever follows";
    EXPECT_EQ(m.key.m_keys[0].input, "\x1b[A");
    EXPECT_EQ(m.key.m_keys[0].key,
              (std::vector<std::uint32_t>{0x100, 0x26, 0x1000001, 0x101, 0x26, 0xc1000001}));
}

TEST(ZKeyLoad, MissingKeysDoNotEndTheTable) {
    Mapper m(
        "input0 = 61\n"
        "key0 = 102 61 1\n"
        "input2 = 62\n"
        "key2 = 102 62 1\n");
    ASSERT_EQ(m.key.m_keys.size(), 1024U);
    EXPECT_EQ(m.key.m_keys[1].input, "");
    EXPECT_EQ(m.key.m_keys[2].input, "b");
    std::string input = "b";
    EXPECT_TRUE(m.key.Consume(input)) << "the empty entry in between never matches";

    ZKey missing;
    missing.Load("/nonexistent/keys.ini");
    EXPECT_EQ(missing.m_keys.size(), 1024U);
    input = "a";
    EXPECT_FALSE(missing.Consume(input));
    EXPECT_EQ(input, "a");
}

TEST(ZKeyConsume, FirstEntryInTableOrderWithoutWaitingForMore) {
    Mapper m(
        "input0 = 1b\n"
        "key0 = 102 1b 1\n"
        "input1 = 1b 5b 41\n"
        "key1 = 100 26 1\n"
        "input2 = 61\n"
        "key2 = 102 61 1\n"
        "input3 = 62 63 64\n"
        "key3 = 102 62 1\n"
        "input4 = eof\n");
    std::string input = "\x1b[A";
    EXPECT_TRUE(m.key.Consume(input)) << "ESC is listed first, so it wins";
    EXPECT_EQ(input, "[A");
    EXPECT_EQ(m.key.m_last, "\x1b");
    EXPECT_FALSE(m.key.Consume(input));
    EXPECT_EQ(input, "[A");

    input = "ab";
    EXPECT_TRUE(m.key.Consume(input));
    EXPECT_EQ(input, "b");
    EXPECT_FALSE(m.key.Consume(input)) << "bc is shorter than the bcd entry";
    EXPECT_EQ(input, "b");
    input.clear();
    EXPECT_FALSE(m.key.Consume(input));
}

// Keys posted to the console reach a program on it.
class ZKeySendKey : public test::ConsoleFixture {};

TEST_F(ZKeySendKey, CompleteTriplesArePostedInOrder) {
    ZConsole console;
    test::KeyProbe probe;
    ASSERT_TRUE(probe.Ready());
    // Seven values: two messages; the seventh is ignored. Then a list too short to post.
    Mapper m(
        "input0 = 31\n"
        "key0 = 102 61 1 102 62 1 102\n"
        "input1 = 32\n"
        "key1 = 102 63\n"
        "input2 = 33\n"
        "key2 = 101 26 1 100 26 1 102 64 1\n"
        "input3 = eof\n");
    m.key.m_hWnd = console.GetWindowHandle();
    ASSERT_NE(m.key.m_hWnd, nullptr);
    std::string input = "123";
    while (m.key.Consume(input)) {
    }
    EXPECT_EQ(input, "") << "a list that posts nothing still consumes its sequence";
    // The key-up posts nothing; the key-down of Up is the terminal's cursor key.
    EXPECT_EQ(probe.Received(6), "ab\x1b[Ad");
}

TEST_F(ZKeySendKey, PostedValuesAreTracedUnlessInputIsHidden) {
    test::TempDir dir;
    TraceThreshold(0);
    TraceFile(dir / "trace.txt");
    Mapper m(
        "input0 = 70\n"
        "key0 = 102 70 1\n"
        "input1 = eof\n");
    std::string input = "p";
    m.key.Consume(input);
    std::string trace = test::ReadFile(dir / "trace.txt");
    EXPECT_NE(trace.find("ZKey::Consume( p )"), std::string::npos);
    EXPECT_NE(trace.find("ZKey::SendKey( 0, 3 )"), std::string::npos);
    EXPECT_NE(trace.find(" m = 258 w = 112 l = 1\r\n"), std::string::npos);

    std::remove((dir / "trace.txt").c_str());
    HideTracedInput(true);
    input = "p";
    m.key.Consume(input);
    HideTracedInput(false);
    trace = test::ReadFile(dir / "trace.txt");
    EXPECT_NE(trace.find("ZKey::Consume( (1 bytes) )"), std::string::npos);
    EXPECT_NE(trace.find("ZKey::SendKey( 0, 3 )"), std::string::npos);
    EXPECT_EQ(trace.find("w = 112"), std::string::npos);
    EXPECT_EQ(trace.find(" p "), std::string::npos);
}

}  // namespace
