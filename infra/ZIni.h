// Reads single values from an INI file: strings (with the backslash-n escape), decimal
// numbers, 0/1 booleans and lists of hexadecimal numbers. Every reader returns false
// only for the end-of-list marker "eof"; a missing file, section or key gives the default.
// Each reader is told what its caller takes as a value (a ZIniRule: the kind of value and
// its range, declared where the key is read), and notes it for a check of the settings
// (ZIniLookups).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "infra/ZIniRule.h"

class ZIni {
  public:
    void File(const std::string& path);

    bool GetKey(const std::string& section, std::string key, std::string& value,
                const std::string& defaultValue, const ZIniRule& rule = ZIniRule::Text());
    // As the string reader, but the value never reaches the trace (passwords).
    bool GetSecretKey(const std::string& section, std::string key, std::string& value,
                      const std::string& defaultValue);
    bool GetKey(const std::string& section, std::string key, unsigned int& value,
                unsigned int defaultValue, const ZIniRule& rule = kAnyNumber);
    bool GetKey(const std::string& section, std::string key, unsigned long& value,
                unsigned long defaultValue, const ZIniRule& rule = kAnyNumber);
    bool GetKey(const std::string& section, std::string key, bool& value, bool defaultValue);

    // Byte form: one byte (the low 8 bits of a number up to FFFF) per number.
    bool GetHexKey(const std::string& section, std::string key, std::string& value);
    // Word form: one element per number up to FFFFFFFF.
    bool GetHexKey(const std::string& section, std::string key, std::vector<std::uint32_t>& value,
                   const ZIniRule& rule = ZIniRule::Words());

    // Tells a check that the keys prefix0, prefix1, ... form a list read up to its first
    // "eof", each as rule says; the reader asks for no key past the list's end.
    void DeclareList(const std::string& section, const std::string& prefix, const ZIniRule& rule);

  private:
    static constexpr ZIniRule kAnyNumber = ZIniRule::Number(0, 0xFFFFFFFF);

    template <class List, class Append, class Shown>
    bool ReadHex(const std::string& section, const std::string& key, List& value,
                 std::uint64_t maximum, const ZIniRule& rule, Append append, Shown shown);
    bool ReadString(const std::string& section, const std::string& key, std::string& value,
                    const std::string& defaultValue, bool secret, const ZIniRule& rule);
    bool GetNumber(const std::string& section, const std::string& key, std::uint32_t& value,
                   std::uint32_t defaultValue, const ZIniRule& rule);

    std::string m_strFile;
};
