// Reads single values from an INI file: strings (with the backslash-n escape), decimal
// numbers, 0/1 booleans and lists of hexadecimal numbers. Every reader returns false
// only for the end-of-list marker "eof"; a missing file, section or key gives the default.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ZIni {
  public:
    void File(const std::string& path);

    bool GetKey(const std::string& section, std::string key, std::string& value,
                const std::string& defaultValue);
    // As the string reader, but the value never reaches the trace (passwords).
    bool GetSecretKey(const std::string& section, std::string key, std::string& value,
                      const std::string& defaultValue);
    bool GetKey(const std::string& section, std::string key, unsigned int& value,
                unsigned int defaultValue);
    bool GetKey(const std::string& section, std::string key, unsigned long& value,
                unsigned long defaultValue);
    bool GetKey(const std::string& section, std::string key, bool& value, bool defaultValue);

    // Byte form: one byte (the low 8 bits of a number up to FFFF) per number.
    bool GetHexKey(const std::string& section, std::string key, std::string& value);
    // Word form: one element per number up to FFFFFFFF.
    bool GetHexKey(const std::string& section, std::string key, std::vector<std::uint32_t>& value);

  private:
    template <class List, class Append, class Shown>
    bool ReadHex(const std::string& section, const std::string& key, List& value,
                 std::uint64_t maximum, Append append, Shown shown);
    bool ReadString(const std::string& section, const std::string& key, std::string& value,
                    const std::string& defaultValue, bool secret);
    bool GetNumber(const std::string& section, const std::string& key, std::uint32_t& value,
                   std::uint32_t defaultValue, bool boolean);

    std::string m_strFile;
};
