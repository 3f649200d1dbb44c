// The process-wide trace and log facility.
//
// Three optional files: an indented call trace filtered by a per-thread level, a log of
// one-line events, and an error file that receives the ten most recent lines on each
// error. Every line starts with the same prefix (process id, thread id, UTC time with
// milliseconds, error code) and ends in CR LF; each write opens, appends and closes.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "win32/Win32.h"

// The threshold a thread's level must reach for its trace lines to be written.
std::int32_t TraceThreshold();
void TraceThreshold(std::int32_t threshold);

// Sets the calling thread's level when level >= 0; returns the thread's level.
std::int32_t TraceLevel(std::int32_t level);
bool TraceEnabled();

void LogLine(std::string_view message);
// Every line written escapes control characters (but TAB) as \xHH: text from a client
// can never break a line or forge another. A message's own trailing line ends (system
// and PAM texts end in CR LF) are left out first: the line ends once, in its CR LF.
std::string EscapedText(std::string_view text);

// Where finished lines go instead of the files, when set: a process that may not open
// them itself hands them on (name is the file's, text one or more whole lines).
using TraceSink = void (*)(const std::string& name, std::string_view text);
void SetTraceSink(TraceSink sink);
// Appends text to the named file as the facility does: opened without following any
// link, only a regular file of a trusted account in directories no one else can change
// (ZSafePath), created 0600. A file refused or not opened is said once per process on the
// standard error.
void AppendToFile(const std::string& name, std::string_view text);
// Writes an error line and copies the ten most recent lines to the error file.
void ErrorLine(std::string_view message);

// File name accessors: a non-empty name is stored (its first "?pid" replaced by the
// process id); all return the current name.
std::string TraceFile(std::string_view name);
std::string LogFile(std::string_view name);
std::string ErrorFile(std::string_view name);

// A non-empty line is added to the ten recent lines (result empty); the empty string
// returns the ten recent lines concatenated, oldest first.
std::string RecentLines(std::string_view line);

// Reports text as an error: error line, trace line, log line.
class ZTraceScope;
void ReportError(ZTraceScope& scope, std::string_view text);

// While hidden (a password may be on its way), client input appears in trace lines only
// as its length, "(N bytes)". A TracedInput part of a trace line is formatted only when
// the line is written, so untraced input costs no copy.
void HideTracedInput(bool hide);
bool TracedInputHidden();
struct TracedInput {
    std::string_view bytes;
};

// The clock behind the line prefix; tests fix it to pin lines to the byte.
using TraceClock = void (*)(SYSTEMTIME* time);
void SetTraceClock(TraceClock clock);

// The prefix's time: "2026-12-08T21:27:02.780Z" (ISO 8601, UTC) when set; otherwise the
// traditional blank-padded "2026-12- 8 21:27: 2 780" (also UTC), which stored parsers
// may expect.
void SetIsoLineTime(bool iso);

// The process id the prefix names, when not 0: every process of a session names the
// session's, so that its lines are found by one number; the thread id stays the
// writing thread's own. 0 names the calling process.
void SetLineProcessId(DWORD pid);

namespace trace_detail {
inline void Append(std::string& out, std::string_view text) {
    out.append(text);
}
inline void Append(std::string& out, const char* text) {
    out.append(text);
}
inline void Append(std::string& out, const std::string& text) {
    out.append(text);
}
inline void Append(std::string& out, char c) {
    out.push_back(c);
}
void Append(std::string& out, TracedInput input);
template <std::integral T>
requires(!std::same_as<T, char> && !std::same_as<T, bool>) void Append(std::string& out, T number) {
    out.append(std::to_string(number));
}
}  // namespace trace_detail

// One method's trace scope: created on entry, its destructor writes the closing line
// and restores the thread's depth and level.
class ZTraceScope {
  public:
    ZTraceScope();
    ~ZTraceScope();
    ZTraceScope(const ZTraceScope&) = delete;
    ZTraceScope& operator=(const ZTraceScope&) = delete;

    void Write(std::string_view message, DWORD errorCode);

    // Writes the concatenation of parts (strings, characters, numbers in decimal) with
    // the thread's current last-error code. Nothing is built when tracing is off.
    template <class... Parts>
    void Trace(const Parts&... parts) {
        const DWORD error = GetLastError();
        if (!TraceEnabled()) {
            return;
        }
        std::string message;
        (trace_detail::Append(message, parts), ...);
        Write(message, error);
    }

  private:
    enum class LineState { Fresh = 0, Open = 1, Closing = 2 };

    LineState m_lineState = LineState::Fresh;
    std::int32_t m_savedLevel;
};
