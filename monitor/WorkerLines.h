// The worker's lines, checked before the monitor writes them into the session's files.
// The worker formats its own lines (prefix, indentation, text, CR LF), but it may be
// compromised: a line is written only when its prefix names this session's own process
// ids, it holds no control character but TAB, and its text holds no log-on outcome,
// which only the monitor writes. Anything else is dropped, whole.
#pragma once

#include <string>
#include <string_view>

#include <sys/types.h>

class WorkerLines {
  public:
    WorkerLines(pid_t worker, pid_t monitor) : m_worker(worker), m_monitor(monitor) {}

    // The lines of text that may be written, in order.
    std::string Filter(std::string_view text) const;
    bool Acceptable(std::string_view line) const;

  private:
    pid_t m_worker;
    pid_t m_monitor;
};
