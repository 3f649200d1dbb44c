// Notes the names that the INI readers (ZIni) of this thread ask for from an instance's
// construction until it is stopped or destroyed, with what each reader takes as a value (ZIniRule),
// so that a check can run the session's own readers and tell the keys they read from those they
// never look at, and the values they read as meant from those they pass over.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "infra/ZIniRule.h"

class ZIniLookups {
  public:
    ZIniLookups();
    ~ZIniLookups();
    ZIniLookups(const ZIniLookups&) = delete;
    ZIniLookups& operator=(const ZIniLookups&) = delete;

    // Stops noting (the latest instance first); what was noted stays to be asked.
    void Stop();

    // Called by the readers for every lookup; does nothing while no instance lives.
    static void Note(std::string_view section, std::string_view key, const ZIniRule& rule);
    // Called by a reader of a numbered list (prefix0, prefix1, ... up to an "eof"),
    // whose keys past the list's end it never asks for.
    static void NoteList(std::string_view section, std::string_view prefix, const ZIniRule& rule);

    // The keys asked for in section (compared without regard to ASCII case), in their
    // readers' spelling, each once, in the order first asked for.
    std::vector<std::string> Keys(std::string_view section) const;
    // The rule of a key asked for, or of a numbered list's key (a list's prefix and
    // digits); null for any other key.
    const ZIniRule* Rule(std::string_view section, std::string_view key) const;
    // Whether key is a numbered list's: its prefix followed by digits.
    bool Listed(std::string_view section, std::string_view key) const;

  private:
    struct Lookup {
        std::string section;
        std::string key;  // a list's prefix in m_lists
        ZIniRule rule;
    };
    const Lookup* List(std::string_view section, std::string_view key) const;

    std::vector<Lookup> m_lookups;
    std::vector<Lookup> m_lists;
    ZIniLookups* m_previous;
    bool m_noting = true;
};
