#include "infra/ZTraceScope.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <set>

#include "base/UniqueFd.h"
#include "infra/ZSafePath.h"
#include "win32/WholeWrite.h"

namespace {

// The state shared by all threads, created on first use. The line lock is held only while
// a finished line goes to its file (and the ten recent lines change with it), so lines of
// two threads never mix; lines are built and files opened and closed outside it.
struct Facility {
    std::mutex lineLock;
    std::array<std::string, 10> recent;
    std::size_t oldest = 0;  // index of the oldest recent line

    std::mutex nameLock;  // the names change at start-up, each line reads one
    std::string traceFile;
    std::string logFile;
    std::string errorFile;
};

Facility& State() {
    static Facility facility;
    return facility;
}

std::atomic<std::int32_t> g_threshold{0};
std::atomic<TraceClock> g_clock{&GetSystemTime};
std::atomic<bool> g_isoTime{false};
std::atomic<DWORD> g_lineProcess{0};

// A thread's level and nesting depth are its own: no other thread reads them.
thread_local std::optional<std::int32_t> t_level;  // the threshold when first asked
thread_local std::int32_t t_depth = 0;

std::int32_t& Level() {
    if (!t_level) {
        t_level = g_threshold.load(std::memory_order_relaxed);
    }
    return *t_level;
}

std::string Prefix(DWORD errorCode) {
    SYSTEMTIME t{};
    g_clock.load(std::memory_order_relaxed)(&t);
    const DWORD named = g_lineProcess.load(std::memory_order_relaxed);
    const DWORD pid = named != 0 ? named : GetCurrentProcessId();
    const auto code = static_cast<std::int32_t>(errorCode);
    char prefix[128];
    const int n =
        g_isoTime.load(std::memory_order_relaxed)
            ? std::snprintf(prefix, sizeof prefix,
                            "%5u :%5u %04u-%02u-%02uT%02u:%02u:%02u.%03uZ :%3d:\t", pid,
                            GetCurrentThreadId(), t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                            t.wSecond, t.wMilliseconds, code)
            : std::snprintf(prefix, sizeof prefix, "%5u :%5u %u-%2u-%2u %2u:%2u:%2u %3u :%3d:\t",
                            pid, GetCurrentThreadId(), t.wYear, t.wMonth, t.wDay, t.wHour,
                            t.wMinute, t.wSecond, t.wMilliseconds, code);
    return std::string(prefix, static_cast<std::size_t>(n));
}

// A message without its trailing line ends: the line's own CR LF ends it.
std::string_view WithoutLineEnd(std::string_view text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

void AddRecentLocked(Facility& f, std::string_view line) {
    f.recent[f.oldest] = line;
    f.oldest = (f.oldest + 1) % f.recent.size();
}

std::string RecentLocked(const Facility& f) {
    std::string all;
    for (std::size_t i = 0; i < f.recent.size(); ++i) {
        all += f.recent[(f.oldest + i) % f.recent.size()];
    }
    return all;
}

std::atomic<TraceSink> g_sink{nullptr};

// A file that is refused or cannot be opened is said once per process on the standard
// error (which zavd collects), with the reason: not for every line. A process has three
// names at a time; the bound only keeps a process that changes them forever in check.
constexpr std::size_t kMostNamesSaid = 64;

void SayNotWritten(const std::string& name, const std::string& reason) {
    static std::mutex lock;
    static std::set<std::string> said;
    {
        std::lock_guard guard(lock);
        if (said.size() >= kMostNamesSaid || !said.insert(name).second) {
            return;
        }
    }
    const std::string line = std::string(program_invocation_short_name) + "[" +
                             std::to_string(GetCurrentProcessId()) + "]: not writing to " +
                             EscapedText(name) + ": " + EscapedText(reason) + "\n";
    // One write, so that the line never mixes with another process's.
    WriteWhole(2, line);  // standard error
}

// Never through a link, never into a device or a pipe, never where others could have
// planted the file or could replace a directory on its way (see ZSafePath). Invalid when
// the file cannot be opened or is refused.
UniqueFd OpenForAppend(const std::string& name) {
    ZSafePath::Opened file = ZSafePath::OpenForAppend(name);
    if (!file.fd.Valid()) {
        SayNotWritten(name, file.reason);
    }
    return std::move(file.fd);
}

// Where one finished line goes: the sink, or the named file, opened when the target is
// made (before the line lock is taken) and closed with it. No name, or a file that cannot
// be opened, takes nothing.
struct LineTarget {
    explicit LineTarget(std::string fileName)
        : name(std::move(fileName)), sink(name.empty() ? nullptr : g_sink.load()) {
        if (!name.empty() && sink == nullptr) {
            fd = OpenForAppend(name);
        }
    }
    // Called with the line lock held.
    void Write(std::string_view text) const {
        if (sink != nullptr) {
            sink(name, text);
        } else if (fd.Valid()) {
            WriteWhole(fd.Get(), text);
        }
    }

    std::string name;
    TraceSink sink;
    UniqueFd fd;
};

std::string CurrentName(const std::string Facility::*field) {
    Facility& f = State();
    std::lock_guard guard(f.nameLock);
    return f.*field;
}

std::string FileName(std::string Facility::*field, std::string_view name) {
    Facility& f = State();
    std::string value(name);
    if (!value.empty()) {
        const auto at = value.find("?pid");
        if (at != std::string::npos) {
            value.replace(at, 4, std::to_string(GetCurrentProcessId()));
        }
    }
    std::lock_guard guard(f.nameLock);
    if (!value.empty()) {
        f.*field = value;
    }
    return f.*field;
}

// The facility keeps the caller's last-error code intact: tracing is transparent.
class ErrorCodeKeeper {
  public:
    ErrorCodeKeeper() : m_code(GetLastError()) {}
    ~ErrorCodeKeeper() { SetLastError(m_code); }
    ErrorCodeKeeper(const ErrorCodeKeeper&) = delete;
    ErrorCodeKeeper& operator=(const ErrorCodeKeeper&) = delete;

  private:
    DWORD m_code;
};

}  // namespace

std::int32_t TraceThreshold() {
    return g_threshold.load(std::memory_order_relaxed);
}

void TraceThreshold(std::int32_t threshold) {
    g_threshold.store(threshold, std::memory_order_relaxed);
}

std::int32_t TraceLevel(std::int32_t level) {
    std::int32_t& current = Level();
    if (level >= 0) {
        current = level;
    }
    return current;
}

bool TraceEnabled() {
    return g_threshold.load(std::memory_order_relaxed) <= Level();
}

std::string RecentLines(std::string_view line) {
    Facility& f = State();
    std::lock_guard guard(f.lineLock);
    if (!line.empty()) {
        AddRecentLocked(f, line);
        return {};
    }
    return RecentLocked(f);
}

void SetTraceSink(TraceSink sink) {
    g_sink = sink;
}

void AppendToFile(const std::string& name, std::string_view text) {
    if (name.empty()) {
        return;
    }
    if (const UniqueFd fd = OpenForAppend(name); fd.Valid()) {
        WriteWhole(fd.Get(), text);
    }
}

std::string EscapedText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F) {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\x";
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 0xF]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

namespace {
// A log or error line: the prefix with error code 0, the message, CR LF.
std::string PlainLine(std::string_view message) {
    std::string line = Prefix(0);
    line.append(EscapedText(WithoutLineEnd(message))).append("\r\n");
    return line;
}
}  // namespace

namespace {
// Adds a finished line to the recent lines and writes it to its file, whole.
void WriteLine(const std::string Facility::*file, std::string_view line) {
    const LineTarget target(CurrentName(file));
    Facility& f = State();
    std::lock_guard guard(f.lineLock);
    AddRecentLocked(f, line);
    target.Write(line);
}
}  // namespace

void LogLine(std::string_view message) {
    ErrorCodeKeeper keep;
    WriteLine(&Facility::logFile, PlainLine(message));
}

void ErrorLine(std::string_view message) {
    ErrorCodeKeeper keep;
    const std::string line = PlainLine(message);
    const LineTarget target(CurrentName(&Facility::errorFile));
    Facility& f = State();
    std::lock_guard guard(f.lineLock);
    AddRecentLocked(f, line);
    if (!target.name.empty()) {
        target.Write(RecentLocked(f));
    }
}

std::string TraceFile(std::string_view name) {
    return FileName(&Facility::traceFile, name);
}

std::string LogFile(std::string_view name) {
    return FileName(&Facility::logFile, name);
}

std::string ErrorFile(std::string_view name) {
    return FileName(&Facility::errorFile, name);
}

void ReportError(ZTraceScope& scope, std::string_view text) {
    ErrorLine(text);
    scope.Trace(text);
    LogLine(text);
}

namespace {
std::atomic<bool> g_inputHidden{false};
}  // namespace

void HideTracedInput(bool hide) {
    g_inputHidden.store(hide);
}

bool TracedInputHidden() {
    return g_inputHidden.load();
}

void trace_detail::Append(std::string& out, TracedInput input) {
    if (!g_inputHidden.load()) {
        out.append(input.bytes);
        return;
    }
    out.append("(" + std::to_string(input.bytes.size()) + " bytes)");
}

void SetTraceClock(TraceClock clock) {
    g_clock.store(clock != nullptr ? clock : &GetSystemTime, std::memory_order_relaxed);
}

void SetIsoLineTime(bool iso) {
    g_isoTime.store(iso, std::memory_order_relaxed);
}

void SetLineProcessId(DWORD pid) {
    g_lineProcess.store(pid, std::memory_order_relaxed);
}

ZTraceScope::ZTraceScope() : m_savedLevel(TraceLevel(-1)) {
    ++t_depth;
}

ZTraceScope::~ZTraceScope() {
    ErrorCodeKeeper keep;
    m_lineState = LineState::Closing;
    Write({}, 0);
    --t_depth;
    Level() = m_savedLevel;
}

void ZTraceScope::Write(std::string_view message, DWORD errorCode) {
    if (!TraceEnabled()) {
        return;
    }
    ErrorCodeKeeper keep;
    std::int32_t depth = t_depth;
    if (m_lineState != LineState::Open && depth > 0) {
        --depth;
    }
    std::string line = Prefix(errorCode);
    line.append(static_cast<std::size_t>(std::max(depth, 0)), ' ');
    line.append(EscapedText(WithoutLineEnd(message)));
    if (m_lineState == LineState::Fresh) {
        line.push_back('{');
    } else if (m_lineState == LineState::Closing) {
        line.push_back('}');
    }
    line.append("\r\n");
    WriteLine(&Facility::traceFile, line);
    m_lineState = LineState::Open;
}
