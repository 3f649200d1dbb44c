// The key mapper: turns byte sequences typed on the client into keyboard messages for
// the console's window, from a table read out of an INI file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32/Win32.h"

struct ZKeyEntry {
    std::string input;               // the bytes the client sends
    std::vector<std::uint32_t> key;  // message, wParam, lParam, message, ...
};

class ZKey {
  public:
    static constexpr int kMaxEntries = 1024;
    static constexpr DWORD kKeyPause = 1;      // after the messages of every key
    static constexpr DWORD kRepeatPause = 50;  // after a key that repeats the previous one

    void Load(std::string path);
    // Sends the first table entry that begins input (table order, no longest match) and
    // takes it off input; false when none does.
    bool Consume(std::string& input);
    void SendKey(std::vector<std::uint32_t> key);

    std::vector<ZKeyEntry> m_keys;
    HWND m_hWnd = nullptr;
    std::string m_last;
    // How the mapper pauses; tests and the fuzzer record or skip the pauses.
    void (*m_pause)(DWORD milliseconds) = &Sleep;
};
