// The reports a client's terminal makes for the programs at their request: mouse reports
// (ESC [ M b x y with three raw bytes, or with UTF-8 characters under DECSET 1005;
// ESC [ < b ; x ; y M or m under 1006; ESC [ b ; x ; y M under 1015), focus reports
// (ESC [ I, ESC [ O) and the bracketed-paste markers (ESC [ 200 ~, ESC [ 201 ~). They
// reach the programs unchanged, past the key table, when the programs asked for them
// (the console's modes), and are dropped otherwise.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "console/ConsoleFlow.h"

class ClientReports {
  public:
    // A report is never longer: a longer sequence is none.
    static constexpr std::size_t kLongestReport = 32;

    enum class Kind { Mouse, Focus, Paste };
    struct Match {
        enum class State { None, Partial, Report };
        State state = State::None;
        Kind kind = Kind::Mouse;
        std::size_t length = 0;  // of the report
    };

    // What the front of input is. Partial: input ends inside what may still become a
    // report (from ESC [ on; a lone ESC is none, so that the Escape key is never held).
    static Match Recognize(std::string_view input, ConsoleModes::MouseEncoding encoding);

    // Takes a report off the front of input, passing it to the console's input when the
    // programs asked for its kind and dropping it otherwise; false when input does not
    // begin with one (partial set when it ends inside one, so that the rest can be
    // awaited).
    bool Consume(std::string& input, bool& partial);
    // The bytes at the end of input that begin a report not yet complete.
    std::size_t Pending(std::string_view input) const;

    // The console's output handle (its modes) and input handle (where reports go).
    HANDLE m_hOutput = nullptr;
    HANDLE m_hInput = nullptr;

  private:
    ConsoleModes Modes() const;
};
