// A streaming reader of INI text. It keeps only bounded state per line, so a file with
// a line of many megabytes costs no more memory than a short one.
//
// Rules: "[name]" opens a section; "key = value" adds a key to the current section;
// lines starting with ';' and lines without '=' are ignored. Names and values are
// trimmed of blanks and tabs; a value enclosed in one pair of matching quotes (single
// or double) loses them. Lines end at LF or CR. A UTF-8 byte-order mark is skipped.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

class ProfileParser {
  public:
    // Longest section or key name kept; a longer name is recorded as unusable.
    static constexpr std::size_t kMaxName = 1024;
    // Longest value kept; beyond it a value is cut.
    static constexpr std::size_t kMaxValue = 4096;

    // Called for each section header (with its trimmed name, or overlong = true) and for
    // each key line. Returning false stops the parse.
    struct Sink {
        std::function<bool(std::string_view name, bool overlong)> section;
        std::function<bool(std::string_view key, bool overlong, std::string_view value)> key;
        // Optional: a line that is neither a comment, a section nor a key (no '='), with
        // its text trimmed (at most kMaxName characters).
        std::function<bool(std::string_view text)> stray = nullptr;
    };

    explicit ProfileParser(Sink sink) : m_sink(std::move(sink)) {}

    // Feeds the next bytes; false once the sink has asked to stop.
    bool Feed(std::string_view bytes);
    // Ends the text (a last line without a line end counts).
    void Finish();

  private:
    enum class State { LineStart, Comment, SectionName, SectionRest, Key, ValueLead, Value, Skip };

    void EndLine();
    void StartLine();

    Sink m_sink;
    bool m_stopped = false;
    bool m_bomChecked = false;
    std::size_t m_bomSeen = 0;
    State m_state = State::LineStart;
    std::string m_name;
    bool m_nameOverlong = false;
    std::size_t m_nameTrimmed = 0;   // length of m_name without trailing blanks
    std::string m_value;             // value from its first non-blank character, capped
    std::size_t m_valueLength = 0;   // full length seen so far
    std::size_t m_valueTrimmed = 0;  // full length up to its last non-blank character
    char m_valueLast = 0;            // the last non-blank character
};
