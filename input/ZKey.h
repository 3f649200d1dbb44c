// The key mapper: turns byte sequences typed on the client into keyboard messages for
// the console's window, from a table read out of an INI file.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "win32/Win32.h"

struct ZKeyEntry {
    std::string input;               // the bytes the client sends
    std::vector<std::uint32_t> key;  // message, wParam, lParam, message, ...
};

// The keys go straight into the terminal's input queue, which keeps their order and
// loses none: no pause between keys is needed, and a paste reaches the program as fast
// as it reads.
class ZKey {
  public:
    static constexpr int kMaxEntries = 1024;

    void Load(std::string path);
    // Sends the first table entry that begins input (table order, no longest match) and
    // takes it off input; false when none does.
    bool Consume(std::string& input);
    // Sends a non-ASCII UTF-8 character from the front of input as character messages
    // (two for one beyond the Basic Multilingual Plane) and takes it off input, for the
    // characters the table does not map. Invalid or ASCII: false,
    // input unchanged (the caller drops one byte); incomplete (input ends inside it):
    // false and partial set, so that the rest can be awaited.
    bool ConsumeCharacter(std::string& input, bool& partial);
    // The bytes at the end of input that begin a UTF-8 character not yet complete.
    static std::size_t PartialCharacter(std::string_view input);
    void SendKey(const std::vector<std::uint32_t>& key);
    // The longest input sequence in the table: no decision needs more bytes than this.
    std::size_t LongestInput() const;

    std::vector<ZKeyEntry> m_keys;
    HWND m_hWnd = nullptr;
    std::string m_last;  // the input of the last key sent

  private:
    // The entries by their input's first byte, in table order, so that a byte is only
    // compared with the entries it can begin; rebuilt when the table changes size.
    void Index();
    std::array<std::vector<std::uint32_t>, 256> m_byFirst;
    std::size_t m_indexed = static_cast<std::size_t>(-1);
};
