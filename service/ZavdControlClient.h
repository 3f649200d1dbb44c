// zavd --list and zavd --end PID: ask the running zavd over its control socket and
// print its answer.
#pragma once

#include <sys/types.h>

#include <string>

class ZavdControlClient {
  public:
    // How long the running zavd may take to answer.
    static constexpr int kTimeoutMs = 10000;

    // Prints the list of sessions on standard output; the exit code.
    static int List(const std::string& path);
    // Asks zavd to end session pid and says how that went; the exit code.
    static int End(const std::string& path, pid_t pid);

  private:
    // Sends request, and the whole reply into reply; false with the reason in error.
    static bool Ask(const std::string& path, const std::string& request, std::string& reply,
                    std::string& error);
};
