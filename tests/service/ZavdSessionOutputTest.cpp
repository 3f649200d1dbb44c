// What a session writes to its standard error, as zavd copies it: whole lines, bounded,
// with nothing that could steer a terminal or forge a line, through a pipe that never
// blocks either side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "service/ZavdSessionOutput.h"

namespace {

std::vector<std::string> Lines(const std::vector<std::string>& pieces) {
    ZavdSessionOutput output;
    std::vector<std::string> lines;
    for (const std::string& piece : pieces) {
        output.Feed(piece, lines);
    }
    output.Flush(lines);
    return lines;
}

using List = std::vector<std::string>;

TEST(SessionOutput, LinesAndLineEnds) {
    EXPECT_EQ(Lines({"one\ntwo\r\n\n\r\nthree"}), (List{"one", "two", "three"}));
    EXPECT_EQ(Lines({"a\rb\n", "c\r"}), (List{"a\\x0db", "c\\x0d"})) << "a lone CR is shown";
    EXPECT_EQ(Lines({"split ", "across", " reads\n"}), (List{"split across reads"}));
}

TEST(SessionOutput, ControlsAndBytesThatAreNotUtf8AreShownAsEscapes) {
    EXPECT_EQ(Lines({"\x1b]0;title\x07 \t\x7f|"}), (List{"\\x1b]0;title\\x07 \\x09\\x7f|"}));
    // UTF-8 stays, also when a character is cut between two reads.
    EXPECT_EQ(Lines({"caf\xc3\xa9 \xe2\x82", "\xac \xf0\x9f\x98\x80"}),
              (List{"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"}));
    // C1 controls (CSI as U+009B), overlong forms, surrogates, stray and cut-short bytes.
    EXPECT_EQ(Lines({"\xc2\x9b"
                     "2J"}),
              (List{"\\xc2\\x9b2J"}));
    EXPECT_EQ(Lines({"\xc0\xaf\xe0\x80\xaf"}), (List{"\\xc0\\xaf\\xe0\\x80\\xaf"}));
    EXPECT_EQ(Lines({"\xed\xa0\x80"}), (List{"\\xed\\xa0\\x80"}));
    EXPECT_EQ(Lines({"\xf4\x90\x80\x80"}), (List{"\\xf4\\x90\\x80\\x80"}));
    EXPECT_EQ(Lines({"\xff\x80 \xe2\x82"
                     "a \xe2\x82\n"}),
              (List{"\\xff\\x80 \\xe2\\x82a \\xe2\\x82"}));
}

TEST(SessionOutput, LongLinesAreCutAndASessionGetsBoundedLines) {
    const std::vector<std::string> cut = Lines({std::string(5000, 'a') + "\nnext\n"});
    ASSERT_EQ(cut.size(), 2U);
    EXPECT_EQ(cut[0], std::string(ZavdSessionOutput::kMaxLine, 'a') + " [cut]");
    EXPECT_EQ(cut[1], "next");
    // An escape is never cut in half.
    EXPECT_EQ(Lines({std::string(ZavdSessionOutput::kMaxLine - 1, 'b') + "\x01"}),
              (List{std::string(ZavdSessionOutput::kMaxLine - 1, 'b') + " [cut]"}));

    std::string many;
    for (int i = 0; i < 3000; ++i) {
        many += "line " + std::to_string(i) + "\n";
    }
    const std::vector<std::string> bounded = Lines({many});
    ASSERT_EQ(bounded.size(), ZavdSessionOutput::kMaxLines);
    EXPECT_EQ(bounded[bounded.size() - 2], "line " + std::to_string(bounded.size() - 2));
    EXPECT_EQ(bounded.back(), "[more output dropped]");
}

TEST(SessionOutput, ThePipeNeverBlocksEitherSide) {
    ZavdSessionOutput output;
    std::string error;
    ASSERT_TRUE(output.Open(error)) << error;
    for (const int fd : {output.ReadEnd(), output.WriteEnd()}) {
        EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "only the session gets it, as its 2";
    }
    std::vector<std::string> lines;
    EXPECT_TRUE(output.Read(lines)) << "nothing there yet is no end";
    // A writer that fills the pipe is told so instead of waiting.
    const std::string block(65536, 'x');
    std::size_t written = 0;
    for (int i = 0; i < 64; ++i) {
        const ssize_t n = ::write(output.WriteEnd(), block.data(), block.size());
        if (n < 0) {
            EXPECT_EQ(errno, EAGAIN);
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    EXPECT_LT(written, 64 * block.size());
    ASSERT_EQ(::write(output.WriteEnd(), "\n", 1), -1);
    output.CloseWriteEnd();
    // Read takes one bounded piece at a time; the end of the stream ends it.
    std::size_t reads = 0;
    while (output.Read(lines)) {
        ++reads;
    }
    EXPECT_GE(reads, written / ZavdSessionOutput::kReadSize);
    output.Flush(lines);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0], std::string(ZavdSessionOutput::kMaxLine, 'x') + " [cut]");
}

}  // namespace
