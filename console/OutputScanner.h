// Watches the program's output for what the terminal emulator leaves out: hidden text
// (SGR 8 and 28, and every SGR reset) and the 80/132 column switch (DECCOLM), which
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
        ConcealOn,   // SGR turned hidden text on
        ConcealOff,  // SGR turned it off, or reset every attribute
        ColumnMode,  // DECCOLM set or reset
        FullReset,   // RIS
    };

    // The length of bytes up to and including the end of the first sequence that is an
    // event (event says which), or bytes.size() with Event::None.
    std::size_t Scan(std::string_view bytes, Event& event);
    void Reset() { *this = OutputScanner(); }

  private:
    // A longer parameter list is no sequence worth watching (and is never kept whole).
    static constexpr std::size_t kMaxParameters = 128;

    enum class State { Ground, Escape, Csi, String, StringEscape };
    Event Finish(char final) const;

    State m_state = State::Ground;
    char m_leader = 0;  // '?', '>', '<' or '=' before the parameters
    bool m_intermediate = false;
    bool m_overflow = false;
    std::string m_parameters;
};
