#include "session/ZConfigCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "base/AsciiCase.h"
#include "base/UniqueFd.h"
#include "infra/ZIniLookups.h"
#include "infra/ZSafePath.h"
#include "input/ZKey.h"
#include "screen/ZTelnet.h"
#include "session/ZTermConfig.h"
#include "win32/ProfileParser.h"
#include "win32/Win32.h"

namespace {

std::string ErrorText(int code) {
    const char* text = ::strerrordesc_np(code);
    return text != nullptr ? text : "error " + std::to_string(code);
}

// A value or name as a problem line shows it: quoted, and cut when long.
std::string Quoted(std::string_view text) {
    constexpr std::size_t kShown = 40;
    return "'" + std::string(text.substr(0, kShown)) + (text.size() > kShown ? "...'" : "'");
}

// ---- the files as the readers' parser sees them ----------------------------------------

struct KeyLine {
    std::string name;
    std::string value;
    bool overlong = false;
};

struct SectionText {
    std::string name;
    bool overlong = false;
    std::vector<KeyLine> keys;
    std::vector<std::string> stray;  // lines without '='
};

struct FileText {
    std::string error;  // why the file cannot be read or is not shown; empty when it can
    dev_t dev = 0;
    ino_t ino = 0;
    std::vector<SectionText> sections;
};

// Opened as the session opens it, without following any link, a regular file only,
// never waiting on a FIFO; name relative to base unless absolute. Only a settings file is
// kept: text in which nothing but blank lines and ';' comments comes before the first
// section. Of any other file (a link's target were it followed, a wrong name in the
// settings) no line may reach the problems shown: it could be /etc/shadow.
FileText Parse(int base, const std::string& name) {
    FileText text;
    const ZSafePath::Opened file = ZSafePath::OpenForReading(name, base);
    struct stat st {};
    if (!file.fd.Valid()) {
        // A file there that this account may not read is no mistake in the settings: the
        // sessions read it as root.
        text.error = file.reason +
                     (file.error == EACCES ? "; run the check as root, as the service runs" : "");
        return text;
    }
    if (::fstat(file.fd.Get(), &st) != 0) {
        text.error = ErrorText(errno);
        return text;
    }
    text.dev = st.st_dev;
    text.ino = st.st_ino;
    bool beforeSection = false;
    const auto current = [&]() -> SectionText* {
        beforeSection = beforeSection || text.sections.empty();
        return text.sections.empty() ? nullptr : &text.sections.back();
    };
    ProfileParser parser(ProfileParser::Sink{
        [&](std::string_view name, bool overlong) {
            text.sections.push_back(SectionText{std::string(name), overlong, {}, {}});
            return true;
        },
        [&](std::string_view key, bool overlong, std::string_view value) {
            if (SectionText* section = current()) {
                section->keys.push_back(KeyLine{std::string(key), std::string(value), overlong});
            }
            return !beforeSection;
        },
        [&](std::string_view line) {
            if (SectionText* section = current()) {
                section->stray.emplace_back(line);
            }
            return !beforeSection;
        }});
    std::array<char, 65536> buffer{};
    bool zero = false;
    while (!beforeSection && !zero) {
        const ssize_t n = ::read(file.fd.Get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            text.error = ErrorText(errno);
            return text;
        }
        if (n == 0) {
            parser.Finish();
            break;
        }
        const std::string_view bytes(buffer.data(), static_cast<std::size_t>(n));
        zero = bytes.find('\0') != std::string_view::npos;
        parser.Feed(bytes);
    }
    if (zero || beforeSection) {
        text.sections.clear();
        text.error = std::string("not a settings file (") +
                     (zero ? "it holds a zero byte"
                           : "something other than blank lines and ';' comments comes before "
                             "its first [section]") +
                     "); none of its lines is shown";
    }
    return text;
}

// ---- who reads what ----------------------------------------------------------------------

// A section, the keys its reader asks for and what it takes as their values.
struct Reader {
    std::string section;
    std::vector<std::string> known;
    std::shared_ptr<const ZIniLookups> lookups;
};

// Runs a reader of the session and notes the keys it asks for in section.
template <class Load>
Reader ReadWith(const char* section, Load load) {
    auto lookups = std::make_shared<ZIniLookups>();
    load();
    lookups->Stop();
    return Reader{section, lookups->Keys(section), lookups};
}

// One file to check: its name in the problem lines, its text, and the readers of it.
struct File {
    std::string shown;
    FileText text;
    std::vector<Reader> readers;
};

// What the readers get: the first value of each key in the first section of each name,
// by lower-case section and key. A section that is there has an entry, if empty.
using Values = std::map<std::string, std::map<std::string, std::string>>;

// ---- keys and sections ---------------------------------------------------------------------

// Why a key the reader never asked for is there: past the end of a numbered list, or
// unknown (with the known key it likely meant).
std::string UnknownKey(const std::string& name, const Reader& reader, const SectionText& section,
                       const std::set<std::string>& known) {
    const std::string lower = AsciiLower(name);
    const std::size_t digits = lower.find_last_not_of("0123456789") + 1;
    // A numbered list's key (its reader declares the list, also when the list ended
    // before it, as serverN after clientN=eof).
    if (reader.lookups->Listed(reader.section, lower)) {
        for (const KeyLine& key : section.keys) {
            if (key.value == "eof" && known.contains(AsciiLower(key.name))) {
                return "ignored; the list ends at " + key.name + "=eof";
            }
        }
        const std::string prefix = lower.substr(0, digits);
        const auto entries = std::count_if(known.begin(), known.end(), [&](const std::string& k) {
            return k.starts_with(prefix) &&
                   k.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
        });
        return "ignored; the list holds at most " + std::to_string(entries) + " entries";
    }
    const std::string closest = ZConfigCheck::Closest(name, reader.known);
    return closest.empty() ? "unknown" : "unknown; did you mean " + closest + "?";
}

void CheckSection(const std::string& shown, const Reader& reader, const SectionText& section,
                  std::map<std::string, std::string>& values, std::vector<std::string>& problems) {
    const std::string where = shown + ": [" + reader.section + "] ";
    std::set<std::string> known;
    for (const std::string& key : reader.known) {
        known.insert(AsciiLower(key));
    }
    for (const std::string& line : section.stray) {
        problems.push_back(where + Quoted(line) + ": no '=', ignored");
    }
    for (const KeyLine& key : section.keys) {
        const std::string name = key.name.empty() ? "(no name)" : key.name;
        if (key.overlong) {
            problems.push_back(where + Quoted(name) + ": name longer than " +
                               std::to_string(ProfileParser::kMaxName) + " characters, ignored");
            continue;
        }
        const std::string lower = AsciiLower(key.name);
        if (!known.contains(lower)) {
            problems.push_back(where + name + ": " + UnknownKey(key.name, reader, section, known));
            continue;
        }
        if (!values.emplace(lower, key.value).second) {
            problems.push_back(where + name + ": set again, ignored; the first one counts");
            continue;
        }
        if (const ZIniRule* rule = reader.lookups->Rule(reader.section, lower)) {
            const std::string problem = rule->Problem(key.value);
            if (!problem.empty()) {
                problems.push_back(where + name + ": ");
                problems.back() += problem;
            }
        }
    }
}

// What the readers of a file pass over in silence: lines without '=', unknown and
// repeated sections, and each section's keys.
void CheckFile(const File& file, Values& values, std::vector<std::string>& problems) {
    const std::string where = file.shown + ": ";
    std::vector<std::string> sections;
    for (const Reader& reader : file.readers) {
        sections.push_back(reader.section);
    }
    std::set<std::string> seen;
    for (const SectionText& section : file.text.sections) {
        const std::string label = "[" + section.name + "]";
        if (section.overlong) {
            problems.push_back(where + Quoted(label) + ": name longer than " +
                               std::to_string(ProfileParser::kMaxName) + " characters, ignored");
            continue;
        }
        const std::string lower = AsciiLower(section.name);
        const auto reader =
            std::find_if(file.readers.begin(), file.readers.end(),
                         [&](const Reader& r) { return AsciiLower(r.section) == lower; });
        if (reader == file.readers.end()) {
            const std::string closest = ZConfigCheck::Closest(section.name, sections);
            problems.push_back(where + label + ": unknown section, ignored" +
                               (closest.empty() ? "" : "; did you mean [" + closest + "]?"));
            continue;
        }
        if (!seen.insert(lower).second) {
            problems.push_back(where + label + ": again, ignored; only the first ");
            problems.back() += label + " section is read";
            continue;
        }
        CheckSection(file.shown, *reader, section, values[lower], problems);
    }
}

// Adds the file name (relative to the work directory unless absolute) to the files to
// check, and the session's reader of it, run by read once the file proved to be a
// settings file (a file already there, by its identity, gets one more reader); false
// with the reason when it cannot be read or is no settings file.
template <class Load>
bool AddFile(std::vector<File>& files, int workdir, const std::string& name, const char* section,
             Load read, std::string& error) {
    FileText text = Parse(workdir, name);
    if (!text.error.empty()) {
        error = text.error;
        return false;
    }
    const Reader reader = ReadWith(section, read);
    for (File& file : files) {
        if (file.text.dev == text.dev && file.text.ino == text.ino) {
            file.readers.push_back(reader);
            return true;
        }
    }
    files.push_back(File{name, std::move(text), {reader}});
    return true;
}

// A file named in the settings as the session opens it from the work directory.
std::string InWorkdir(const std::string& workdir, const std::string& name) {
    return name.starts_with('/') ? name : workdir + "/" + name;
}

// A name from the settings with its backslashes made slashes, as the session takes it.
std::string Slashed(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

std::size_t Distance(std::string_view a, std::string_view b) {
    // Edits that turn a into b: insertions, deletions, substitutions and swaps of two
    // neighbours (optimal string alignment).
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

std::string ZConfigCheck::Closest(std::string_view name, const std::vector<std::string>& known) {
    constexpr std::size_t kLongest = 100;  // longer names are no slips of the keyboard
    if (name.size() > kLongest) {
        return {};
    }
    const std::string lower = AsciiLower(name);
    std::string best;
    std::size_t bestDistance = SIZE_MAX;
    for (const std::string& candidate : known) {
        const std::size_t distance = Distance(lower, AsciiLower(candidate));
        if (distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    // One slip in a short name, up to three in a long one.
    const std::size_t allowed = std::min<std::size_t>(3, 1 + best.size() / 6);
    return bestDistance <= allowed ? best : std::string();
}

std::vector<std::string> ZConfigCheck::Run(const std::string& workdir) {
    std::vector<std::string> problems;
    const std::string iniPath = workdir + "/zav.ini";
    const std::string term = "zav.ini: [ZTerm] ";

    // The session runs in the work directory: the names in the settings start there.
    const UniqueFd directory(::open(workdir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::vector<File> files;
    files.push_back(File{"zav.ini",
                         directory.Valid() ? Parse(directory.Get(), "zav.ini")
                                           : FileText{ErrorText(errno), 0, 0, {}},
                         {}});
    if (!files[0].text.error.empty()) {
        problems.push_back("zav.ini: cannot read " + iniPath + ": " + files[0].text.error);
        return problems;
    }
    std::optional<ZTermConfig> config;
    files[0].readers.push_back(ReadWith("ZTerm", [&] { config.emplace(iniPath); }));

    // The files it names, each read by the session's reader of it.
    ZKey keys;
    std::string keysError;
    bool keysRead = false;
    if (!config->key_init.empty()) {
        const std::string name = Slashed(config->key_init);
        keysRead = AddFile(
            files, directory.Get(), name, "ZKey", [&] { keys.Load(InWorkdir(workdir, name)); },
            keysError);
    }
    std::string telnetError;
    bool telnetRead = false;
    if (!config->telnet_init.empty()) {
        const std::string name = Slashed(config->telnet_init);
        ZTelnet telnet;
        telnetRead = AddFile(
            files, directory.Get(), name, "ZTelnet", [&] { telnet.Load(InWorkdir(workdir, name)); },
            telnetError);
    }

    Values values;
    for (const File& file : files) {
        CheckFile(file, values, problems);
    }
    if (!values.contains("zterm")) {
        problems.push_back("zav.ini: no [ZTerm] section; the sessions do not start without it");
        return problems;
    }

    const auto& settings = values["zterm"];
    const auto height = settings.find("screen_height");
    const auto buffer = settings.find("buff_height");
    if (height != settings.end() && buffer != settings.end()) {
        const auto rows = ZIniRule::Decimal(height->second, false);
        const auto buffered = ZIniRule::Decimal(buffer->second, false);
        if (rows && buffered && *buffered < *rows) {
            problems.push_back(term + "buff_height: " + buffer->second +
                               " is less than screen_height " + height->second);
        }
    }
    for (const ZTermConfig::Alias& alias : ZTermConfig::kAliases) {
        if (settings.contains(alias.shipped) && settings.contains(alias.correct)) {
            problems.push_back(term + alias.correct + ": ignored; " + alias.shipped +
                               " is set too, and that spelling wins");
        }
    }

    // The session refuses every client when no typed byte could reach the console.
    if (config->key_init.empty()) {
        problems.push_back(term +
                           "key_init: not set; the sessions refuse every client "
                           "without a key table");
    } else if (!keysRead) {
        problems.push_back(term + "key_init: cannot read " + config->key_init + ": " + keysError);
    } else if (!values.contains("zkey")) {
        problems.push_back(config->key_init +
                           ": no [ZKey] section; the sessions refuse every client without keys");
    } else if (keys.LongestInput() == 0) {
        problems.push_back(config->key_init +
                           ": [ZKey]: no keys (no inputN with bytes before an inputN=eof); the "
                           "sessions refuse every client");
    }

    if (!config->telnet_init.empty() && !telnetRead) {
        problems.push_back(term + "telnet_init: cannot read " + config->telnet_init + ": " +
                           telnetError);
    } else if (telnetRead && !values.contains("ztelnet")) {
        problems.push_back(config->telnet_init +
                           ": no [ZTelnet] section; the sessions would send no colours");
    } else if (telnetRead) {
        const auto& telnet = values["ztelnet"];
        const auto page = telnet.find("export_code_page");
        const auto number =
            page != telnet.end() ? ZIniRule::Decimal(page->second, false) : std::nullopt;
        if (number && *number <= 0xFFFFFFFFLL && IsValidCodePage(static_cast<UINT>(*number)) == 0) {
            problems.push_back(config->telnet_init + ": [ZTelnet] export_code_page: " +
                               page->second + ": iconv cannot convert into this code page");
        }
    }

    return problems;
}
