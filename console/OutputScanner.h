// Watches the program's output for what the terminal emulator leaves out: hidden text,
// dim and overline (SGR 8/28, 2/22, 53/55, and every SGR reset) and the 80/132 column
// switch (DECCOLM), which
// clears the screen on a VT100. The caller feeds the emulator up to each such sequence's
// end and then applies what it meant. The state carries across calls, so sequences may
// be split between reads.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class OutputScanner {
  public:
    enum class Event {
        None,
        Pen,         // an SGR changed what Pen() tells
        ColumnMode,  // DECCOLM set or reset
        FullReset,   // RIS
    };

    // The length of bytes up to and including the end of the first sequence that is an
    // event (event says which), or bytes.size() with Event::None.
    std::size_t Scan(std::string_view bytes, Event& event);
    void Reset() { *this = OutputScanner(); }

    // What the last Pen event's SGR left: each attribute on, off, or untouched (-1).
    struct PenChange {
        int concealed = -1;
        int dim = -1;
        int overline = -1;
    };
    const PenChange& Pen() const { return m_pen; }

  private:
    // A longer parameter list is no sequence worth watching (and is never kept whole).
    static constexpr std::size_t kMaxParameters = 128;

    enum class State { Ground, Escape, Csi, String, StringEscape };
    Event Finish(char final);

    State m_state = State::Ground;
    char m_leader = 0;  // '?', '>', '<' or '=' before the parameters
    bool m_intermediate = false;
    bool m_overflow = false;
    std::string m_parameters;
    PenChange m_pen;
};
