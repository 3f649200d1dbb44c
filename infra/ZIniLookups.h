// Notes the names that the INI readers (ZIni) of this thread ask for while an instance
// lives, so that a check can run the session's own readers and tell the keys they read
// from those they never look at.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class ZIniLookups {
  public:
    ZIniLookups();
    ~ZIniLookups();
    ZIniLookups(const ZIniLookups&) = delete;
    ZIniLookups& operator=(const ZIniLookups&) = delete;

    // Called by the readers for every lookup; does nothing while no instance lives.
    static void Note(std::string_view section, std::string_view key);

    // The keys asked for in section (compared without regard to ASCII case), in their
    // readers' spelling, each once, in the order first asked for.
    std::vector<std::string> Keys(std::string_view section) const;

  private:
    struct Lookup {
        std::string section;
        std::string key;
    };
    std::vector<Lookup> m_lookups;
    ZIniLookups* m_previous;
};
