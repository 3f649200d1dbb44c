#include "monitor/WorkerLines.h"

#include <charconv>

namespace {

// The texts of the lines only the monitor writes.
constexpr std::string_view kOutcomes[] = {"login accepted", "login refused"};

}  // namespace

std::string WorkerLines::Filter(std::string_view text) const {
    std::string out;
    while (!text.empty()) {
        const std::size_t end = text.find("\r\n");
        if (end == std::string_view::npos) {
            break;  // an unfinished line is no line
        }
        const std::string_view line = text.substr(0, end);
        if (Acceptable(line)) {
            out.append(line).append("\r\n");
        }
        text.remove_prefix(end + 2);
    }
    return out;
}

bool WorkerLines::Acceptable(std::string_view line) const {
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F) {
            return false;
        }
    }
    // The prefix: the process id (right-aligned in five columns), " :", the thread id,
    // the time, the code, and ":" TAB before the text.
    std::string_view rest = line.substr(std::min(line.find_first_not_of(' '), line.size()));
    long pid = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), pid);
    if (error != std::errc() || end == rest.data() || (pid != m_worker && pid != m_monitor)) {
        return false;
    }
    rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
    const std::size_t tab = rest.find(":\t");
    if (!rest.starts_with(" :") || tab == std::string_view::npos) {
        return false;
    }
    // Log watchers look for the outcome anywhere in a line.
    for (const std::string_view outcome : kOutcomes) {
        if (line.find(outcome) != std::string_view::npos) {
            return false;
        }
    }
    return true;
}
