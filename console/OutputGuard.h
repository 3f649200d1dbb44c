// Keeps everything the console engine parses within what libvterm 0.1.4 survives and
// shows as its later releases do. It reads the stream as that parser does (escape and
// control sequences, strings, UTF-8) and mends only what the library gets wrong:
// - a control sequence (CSI) takes at most 16 parameters, sub-parameters included: the
//   library writes a 17th over its own callback pointer. Further parameters are left
//   out, as later releases drop them; a parameter above 65535 becomes 65535 (larger
//   ones overflow its arithmetic and alias its flag bits);
// - an OSC or DCS string keeps its first kMaxString bytes (the rest are left out), so
//   that the console can hold it whole while it is unterminated; APC, PM and SOS strings,
//   which 0.1.4 prints as text, are left out whole, as later releases ignore them; a DCS
//   is held until its end and left out when it is a status request (DECRQSS) the library
//   does not know, which it would answer through a format given an argument of the
//   wrong type;
// - a C1 control written as UTF-8 (U+0080 to U+009F), which the library draws one
//   column to the left of the cursor, is left out;
// - at most kMaxMarks combining marks follow a character (the library keeps every mark
//   that arrives in a later write, with a cost that grows with their number);
// - a repeat (CSI b) right after a combining mark is left out: after a mark that could not
//   be combined the library has no character to repeat and loops forever.
// Well-formed output passes byte for byte. The state carries across calls, so a
// sequence or a character split between reads is judged whole: the few bytes that
// cannot be judged yet (the digits of a parameter, an unfinished character) wait for the
// next call. A control character inside a sequence or an unfinished character acts at
// once in the library, so it may pass before the bytes it came between.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class OutputGuard {
  public:
    static constexpr int kMaxParameters = 16;
    static constexpr unsigned kMaxValue = 65535;
    static constexpr std::size_t kMaxString = 4000;
    static constexpr int kMaxMarks = 5;

    // The bytes to hand the library for bytes of output: bytes itself when nothing in it
    // is mended or kept back (no copy), else a string valid until the next call.
    std::string_view Filter(std::string_view bytes);
    void Reset() { *this = OutputGuard(); }

    // Whether a character is one that libvterm joins to the character before it (a
    // combining mark, a format character, a Hangul vowel or final consonant). Errs
    // towards yes: a character counted here that the library prints on its own is left
    // out only after kMaxMarks marks.
    static bool IsMark(char32_t c);

  private:
    enum class State {
        Ground,
        Escape,
        CsiLeader,
        CsiParameters,
        CsiIntermediates,
        String,        // OSC or DCS: passed, cut at kMaxString
        StringEscape,  // an ESC inside it
        Drop,          // APC, PM or SOS: left out
        DropEscape,    // an ESC inside it
    };

    void Byte(std::size_t at);
    void Text(std::size_t at);
    // The input's byte at `at` goes out as it is; a byte for which neither this nor Emit
    // is called does not go out.
    void Pass(std::size_t at);
    // Text goes out here that is not the input's (mended, or kept from an earlier call).
    void Emit(std::string_view text);
    // Kept bytes go out: where they stand in this call's input from `from` on, as
    // passed input.
    void Release(std::string& held, std::size_t from);
    // The DCS string held ends with terminator: it goes out, or is taken back.
    void EndDcs(std::string_view terminator, std::size_t at);
    void EndParameter();
    void Character(char32_t c);
    void ReleaseCharacter();

    State m_state = State::Ground;
    bool m_sos = false;  // the dropped string is an SOS (controls in it are text)
    bool m_escIntermediate = false;
    bool m_leader = false;         // the sequence has a leader byte (< = > ?)
    bool m_intermediate = false;   // or an intermediate byte
    int m_separators = 0;          // parameter separators passed
    bool m_excess = false;         // past the last parameter taken
    bool m_saturated = false;      // the parameter being read is above kMaxValue
    std::string m_digits;          // its significant digits, kept back until it ends
    std::size_t m_digitsFrom = 0;  // where they begin in this call's input
    std::size_t m_stringLength = 0;
    bool m_dcs = false;  // the string is a DCS: held whole until its end
    std::string m_held;
    std::size_t m_heldFrom = 0;  // where it begins in this call's input

    std::string m_char;          // an unfinished UTF-8 character, kept back
    std::size_t m_charFrom = 0;  // where it begins in this call's input
    std::size_t m_charNeed = 0;  // continuation bytes it still needs
    int m_marks = 0;             // marks passed since the last character
    bool m_lastMark = false;     // the last character passed was a mark

    // Per call: m_out holds the output once it differs from the input; until then the
    // output is the input up to m_passedTo.
    std::string_view m_in;
    std::string m_out;
    bool m_copying = false;
    std::size_t m_passedTo = 0;
};
