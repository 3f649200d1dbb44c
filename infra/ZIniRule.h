// What the reader of an INI key takes as its value, declared where the key is read (the
// readers of ZIni take it), so that a check of the settings can tell a value read as meant
// from one the reader passes over in silence: read as the default, cut short, or a list
// whose names never match.
#pragma once

#include <optional>
#include <string>
#include <string_view>

class ZIniRule {
  public:
    enum class Kind {
        Text,     // anything
        Number,   // a decimal number from low to high; empty reads as the default
        Signed,   // as Number, with a sign
        Boolean,  // 0 or 1; empty reads as the default
        Bytes,    // hexadecimal bytes (00 to ff), or eof
        Words,    // hexadecimal numbers up to high
        Triples,  // hexadecimal numbers up to high, by threes (message, wParam, lParam)
        Names,    // :name:name:
        Choice,   // one of a few words (without regard to ASCII case); empty reads as the default
    };

    static constexpr ZIniRule Text() { return ZIniRule(Kind::Text, 0, 0); }
    static constexpr ZIniRule Number(long long low, long long high) {
        return ZIniRule(Kind::Number, low, high);
    }
    static constexpr ZIniRule Signed(long long low, long long high) {
        return ZIniRule(Kind::Signed, low, high);
    }
    static constexpr ZIniRule Boolean() { return ZIniRule(Kind::Boolean, 0, 1); }
    static constexpr ZIniRule Bytes() { return ZIniRule(Kind::Bytes, 0, 0xFF); }
    static constexpr ZIniRule Words() { return ZIniRule(Kind::Words, 0, 0xFFFFFFFF); }
    static constexpr ZIniRule Triples() { return ZIniRule(Kind::Triples, 0, 0xFFFFFFFF); }
    static constexpr ZIniRule Names() { return ZIniRule(Kind::Names, 0, 0); }
    // words: the values taken, separated by single blanks ("ask newest never").
    static constexpr ZIniRule Choice(const char* words) {
        return ZIniRule(Kind::Choice, 0, 0, words);
    }

    Kind GetKind() const { return m_kind; }

    // What is wrong with value, or empty when the reader takes it as meant.
    std::string Problem(const std::string& value) const;

    // A decimal number as a sign (when allowed) and digits; empty when the text is none.
    // Too many digits read as the largest number, which is out of every range.
    static std::optional<long long> Decimal(std::string_view text, bool sign);

  private:
    constexpr ZIniRule(Kind kind, long long low, long long high, const char* words = nullptr)
        : m_kind(kind), m_low(low), m_high(high), m_words(words) {}

    Kind m_kind;
    long long m_low;
    long long m_high;
    const char* m_words;  // a Choice's words; a literal
};
