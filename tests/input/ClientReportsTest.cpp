#include "input/ClientReports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using Encoding = ConsoleModes::MouseEncoding;
using Kind = ClientReports::Kind;
using State = ClientReports::Match::State;

struct Case {
    std::string report;
    Kind kind;
    Encoding encoding = Encoding::Default;
};

// Every form a terminal sends, each followed by a key that must stay behind.
TEST(ClientReports, EveryFormIsTakenWholeAndEveryCutOfItWaits) {
    const std::vector<Case> cases = {
        {"\x1b[I", Kind::Focus},
        {"\x1b[O", Kind::Focus},
        {"\x1b[200~", Kind::Paste},
        {"\x1b[201~", Kind::Paste},
        {"\x1b[<0;5;3M", Kind::Mouse},
        {"\x1b[<65;123;45m", Kind::Mouse},
        {"\x1b[32;10;5M", Kind::Mouse},
        {"\x1b[M !\"", Kind::Mouse},
        {"\x1b[M#\xff\x80", Kind::Mouse},  // raw bytes, not UTF-8
        {"\x1b[M \xc3\xa9\xc4\x80", Kind::Mouse, Encoding::Utf8},
        {"\x1b[M \xc3(", Kind::Mouse, Encoding::Utf8},  // a lead alone: a raw byte
    };
    for (const Case& c : cases) {
        const ClientReports::Match match =
            ClientReports::Recognize(c.report + "\x1b[A", c.encoding);
        EXPECT_EQ(match.state, State::Report) << ::testing::PrintToString(c.report);
        EXPECT_EQ(match.kind, c.kind) << ::testing::PrintToString(c.report);
        EXPECT_EQ(match.length, c.report.size()) << ::testing::PrintToString(c.report);
        for (std::size_t cut = 2; cut < c.report.size(); ++cut) {
            EXPECT_EQ(ClientReports::Recognize(c.report.substr(0, cut), c.encoding).state,
                      State::Partial)
                << ::testing::PrintToString(c.report.substr(0, cut));
        }
    }
    // Without 1005 the same bytes are three raw ones.
    EXPECT_EQ(ClientReports::Recognize("\x1b[M \xc3\xa9\xc4\x80", Encoding::Default).length, 6U);
}

TEST(ClientReports, KeysAndOtherSequencesAreNoReports) {
    for (const std::string& bytes :
         {"\x1b"s, "\x1b[A"s, "\x1b[2~"s, "\x1b[20~"s, "\x1b[202~"s, "\x1b[1;5D"s, "\x1b[15;5~"s,
          "\x1b[27;5;9~"s, "\x1bOA"s, "a"s, ""s, "\x1b[<0;5M"s, "\x1b[<0;5;3;4M"s, "\x1b[<;5;3M"s,
          "\x1b[0;5;3m"s, "\x1b[<0;5;3~"s, "\x1b[1;2;3;"s, "\x1b[M!\x1b[A"s,
          "\x1b[<" + std::string(40, '1') + ";1;1M"}) {
        EXPECT_EQ(ClientReports::Recognize(bytes, Encoding::Utf8).state, State::None)
            << ::testing::PrintToString(bytes);
    }
}

// Only the end of the data can hold a report still to come, and never a lone ESC: the
// Escape key is not held back.
TEST(ClientReports, PendingIsTheUnfinishedReportAtTheEnd) {
    const ClientReports reports;  // no console: the default encoding
    EXPECT_EQ(reports.Pending("ab\x1b[<0;1"), 6U);
    EXPECT_EQ(reports.Pending("\x1b[I\x1b[20"), 4U);
    EXPECT_EQ(reports.Pending("ab\x1b"), 0U);
    EXPECT_EQ(reports.Pending("\x1b[<0;1;1M"), 0U);
    EXPECT_EQ(reports.Pending("\x1b[A"), 0U);
    EXPECT_EQ(reports.Pending("\x1b[M a"), 5U);
    EXPECT_EQ(reports.Pending(""), 0U);
}

}  // namespace
