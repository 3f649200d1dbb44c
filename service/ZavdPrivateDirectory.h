// zavd's private directory (mode 0700) for the hand-off sockets, in the temporary
// directory: "zavd-PID-START-XXXXXX" (ZavdInstance), locked (flock) for as long as zavd
// runs and removed when it ends in order. A zavd that was killed cannot remove its own:
// the next zavd that starts with the same temporary directory does, once both the name
// says that its zavd is gone and its lock is free. Directories of a zavd that runs are
// never touched, nor any that this account does not own, nor links.
#pragma once

#include <string>
#include <vector>

#include "base/UniqueFd.h"

class ZavdPrivateDirectory {
  public:
    ZavdPrivateDirectory() = default;
    ~ZavdPrivateDirectory();
    ZavdPrivateDirectory(const ZavdPrivateDirectory&) = delete;
    ZavdPrivateDirectory& operator=(const ZavdPrivateDirectory&) = delete;

    // $TMPDIR, or /tmp.
    static std::string Temporary();
    // Removes the directories in temporary that zavd left that are gone; their names.
    static std::vector<std::string> RemoveLeftovers(const std::string& temporary);

    // Makes this zavd's directory in temporary and locks it; false with error.
    bool Create(const std::string& temporary, std::string& error);
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
    UniqueFd m_lock;  // the directory itself, flocked
};
