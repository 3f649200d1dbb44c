#include "infra/ZTraceScope.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "base/UniqueFd.h"

namespace {

// All state of the facility, created on first use and guarded by one lock. The lock is
// never held while a line is being built.
struct Facility {
    std::mutex lock;
    std::int32_t threshold = 0;
    std::unordered_map<DWORD, std::int32_t> levels;
    std::unordered_map<DWORD, std::int32_t> depths;
    std::array<std::string, 10> recent;
    std::size_t oldest = 0;  // index of the oldest recent line
    std::string traceFile;
    std::string logFile;
    std::string errorFile;
    TraceClock clock = &GetSystemTime;
};

Facility& State() {
    static Facility facility;
    return facility;
}

std::int32_t& LevelLocked(Facility& f, DWORD thread) {
    return f.levels.try_emplace(thread, f.threshold).first->second;
}

std::int32_t& DepthLocked(Facility& f, DWORD thread) {
    return f.depths.try_emplace(thread, 0).first->second;
}

std::string Prefix(DWORD errorCode) {
    Facility& f = State();
    TraceClock clock = nullptr;
    {
        std::lock_guard guard(f.lock);
        clock = f.clock;
    }
    SYSTEMTIME t{};
    clock(&t);
    char prefix[128];
    const int n = std::snprintf(
        prefix, sizeof prefix, "%5u :%5u %u-%2u-%2u %2u:%2u:%2u %3u :%3d:\t", GetCurrentProcessId(),
        GetCurrentThreadId(), t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
        t.wMilliseconds, static_cast<std::int32_t>(errorCode));
    return std::string(prefix, static_cast<std::size_t>(n));
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

void AppendDirect(const std::string& name, std::string_view text);

// Opens, appends and closes; a file that cannot be opened or written is skipped.
void AppendLocked(const std::string& name, std::string_view text) {
    if (name.empty()) {
        return;
    }
    if (const TraceSink sink = g_sink.load(); sink != nullptr) {
        sink(name, text);
        return;
    }
    AppendDirect(name, text);
}

void AppendDirect(const std::string& name, std::string_view text) {
    // Never through a planted link, never into a device or a pipe: only a regular file
    // (an administrator may point the files into a directory others can write to).
    UniqueFd fd(::open(
        name.c_str(),
        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0600));
    struct stat info {};
    if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return;
    }
    while (!text.empty()) {
        const ssize_t n = ::write(fd.Get(), text.data(), text.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
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
    std::lock_guard guard(f.lock);
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
    Facility& f = State();
    std::lock_guard guard(f.lock);
    return f.threshold;
}

void TraceThreshold(std::int32_t threshold) {
    Facility& f = State();
    std::lock_guard guard(f.lock);
    f.threshold = threshold;
}

std::int32_t TraceLevel(std::int32_t level) {
    Facility& f = State();
    std::lock_guard guard(f.lock);
    std::int32_t& current = LevelLocked(f, GetCurrentThreadId());
    if (level >= 0) {
        current = level;
    }
    return current;
}

bool TraceEnabled() {
    Facility& f = State();
    std::lock_guard guard(f.lock);
    return f.threshold <= LevelLocked(f, GetCurrentThreadId());
}

std::string RecentLines(std::string_view line) {
    Facility& f = State();
    std::lock_guard guard(f.lock);
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
    if (!name.empty()) {
        AppendDirect(name, text);
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
    line.append(EscapedText(message)).append("\r\n");
    return line;
}
}  // namespace

void LogLine(std::string_view message) {
    ErrorCodeKeeper keep;
    const std::string line = PlainLine(message);
    Facility& f = State();
    std::lock_guard guard(f.lock);
    AddRecentLocked(f, line);
    AppendLocked(f.logFile, line);
}

void ErrorLine(std::string_view message) {
    ErrorCodeKeeper keep;
    const std::string line = PlainLine(message);
    Facility& f = State();
    std::lock_guard guard(f.lock);
    AddRecentLocked(f, line);
    if (!f.errorFile.empty()) {
        AppendLocked(f.errorFile, RecentLocked(f));
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
    Facility& f = State();
    std::lock_guard guard(f.lock);
    f.clock = clock != nullptr ? clock : &GetSystemTime;
}

ZTraceScope::ZTraceScope() : m_savedLevel(TraceLevel(-1)) {
    Facility& f = State();
    std::lock_guard guard(f.lock);
    ++DepthLocked(f, GetCurrentThreadId());
}

ZTraceScope::~ZTraceScope() {
    ErrorCodeKeeper keep;
    m_lineState = LineState::Closing;
    Write({}, 0);
    Facility& f = State();
    std::lock_guard guard(f.lock);
    const DWORD thread = GetCurrentThreadId();
    --DepthLocked(f, thread);
    LevelLocked(f, thread) = m_savedLevel;
}

void ZTraceScope::Write(std::string_view message, DWORD errorCode) {
    if (!TraceEnabled()) {
        return;
    }
    ErrorCodeKeeper keep;
    Facility& f = State();
    std::int32_t depth = 0;
    {
        std::lock_guard guard(f.lock);
        depth = DepthLocked(f, GetCurrentThreadId());
    }
    if (m_lineState != LineState::Open && depth > 0) {
        --depth;
    }
    std::string line = Prefix(errorCode);
    line.append(static_cast<std::size_t>(std::max(depth, 0)), ' ');
    line.append(EscapedText(message));
    if (m_lineState == LineState::Fresh) {
        line.push_back('{');
    } else if (m_lineState == LineState::Closing) {
        line.push_back('}');
    }
    line.append("\r\n");
    {
        std::lock_guard guard(f.lock);
        AddRecentLocked(f, line);
        AppendLocked(f.traceFile, line);
    }
    m_lineState = LineState::Open;
}
