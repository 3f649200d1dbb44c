// A program on the console that reads its terminal raw and records every byte it gets,
// for checking what keyboard input reaches a program.
#pragma once

#include <signal.h>

#include <string>

#include "support/ConsoleSupport.h"
#include "support/TestSupport.h"

namespace test {

class KeyProbe {
  public:
    // application: the program first asks for application cursor keys, as editors do.
    explicit KeyProbe(bool application = false) {
        m_pid = SpawnOnConsole(std::string(ZAV_PROBE_PATH) + " keys " + Quote(m_dir / "keys") +
                               (application ? " app" : ""));
        m_ready = WaitFor([] { return WindowText(0) == "total 0"; });
    }
    ~KeyProbe() {
        if (m_pid > 0) {
            test::Signal(m_pid, SIGKILL);
            WaitExit(m_pid);
        }
    }
    KeyProbe(const KeyProbe&) = delete;
    KeyProbe& operator=(const KeyProbe&) = delete;

    bool Ready() const { return m_ready; }

    // Every byte received so far, once at least count bytes have arrived (or the wait
    // has given up).
    std::string Received(std::size_t count, int seconds = 10) {
        WaitFor([&] { return ReadFile(m_dir / "keys").size() >= count; }, seconds);
        return ReadFile(m_dir / "keys");
    }

  private:
    TempDir m_dir;
    pid_t m_pid = -1;
    bool m_ready = false;
};

}  // namespace test
