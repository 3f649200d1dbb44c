// A session's standard error as zavd reads it: a pipe whose write end becomes descriptor
// 2 of the session (and of its worker), and whose read end zavd watches in its event
// loop, copying what arrives to its own output line by line. The bytes come from the
// session's processes, one of which parses the network's bytes, so nothing written there
// may stall, break or forge zavd's output: both ends never block, a read takes at most
// kReadSize bytes, a line is cut at kMaxLine bytes, a session gets at most kMaxLines lines,
// and control characters (C0, DEL, C1) and bytes that are not UTF-8 are shown as \xHH.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/UniqueFd.h"

class ZavdSessionOutput {
  public:
    static constexpr std::size_t kMaxLine = 1024;
    static constexpr std::size_t kMaxLines = 1000;
    static constexpr std::size_t kReadSize = 4096;

    ZavdSessionOutput() = default;
    ZavdSessionOutput(const ZavdSessionOutput&) = delete;
    ZavdSessionOutput& operator=(const ZavdSessionOutput&) = delete;
    ZavdSessionOutput(ZavdSessionOutput&&) = default;
    ZavdSessionOutput& operator=(ZavdSessionOutput&&) = default;

    // Makes the pipe (both ends non-blocking and close-on-exec); false with error.
    bool Open(std::string& error);
    // The write end, to become the session's descriptor 2; closed once it has.
    int WriteEnd() const { return m_write.Get(); }
    void CloseWriteEnd() { m_write.Reset(); }
    int ReadEnd() const { return m_read.Get(); }

    // One read of what is there, never waiting; the lines it completed go to lines.
    // False once the stream has ended (every writer gone) or failed.
    bool Read(std::vector<std::string>& lines);
    // Reads until nothing more is there; then the unfinished line too.
    void Drain(std::vector<std::string>& lines);

    // The splitting itself: bytes in, escaped and bounded lines out.
    void Feed(std::string_view bytes, std::vector<std::string>& lines);
    // The unfinished line, if it holds anything, as a line of its own.
    void Flush(std::vector<std::string>& lines);

  private:
    void Byte(unsigned char c, std::vector<std::string>& lines);
    void Escape(unsigned char c);
    void Append(std::string_view text);
    void EscapePending();
    void EndLine(std::vector<std::string>& lines);

    UniqueFd m_read;
    UniqueFd m_write;
    std::string m_line;        // the line so far, escaped
    std::string m_sequence;    // the UTF-8 sequence begun so far
    std::size_t m_needed = 0;  // its continuation bytes still to come
    bool m_carriage = false;   // a CR came last: dropped if LF follows
    bool m_cut = false;        // the line has reached kMaxLine: the rest is dropped
    std::size_t m_lines = 0;   // lines given out
};
