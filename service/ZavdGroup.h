// zavd's own cgroup, and what earlier zavd left in theirs. zavd moves itself into a new
// group "zavd-PID-START" (ZavdInstance) below the group it was started in, so that its
// sessions are born there and make their users' groups (CgroupJob) inside it: everything
// of one zavd is one subtree, named after a process that can be told to be running or
// gone. Several zavd can share the group they were started in; each touches only the
// subtrees of zavd that are gone.
//
// Such a subtree may still hold sessions of its zavd (a session outlives its zavd long
// enough to tell its client that the service stopped, and ends its user's processes
// itself), and users' groups whose session was killed (nothing would ever end those). The
// latter are ended at once; the sessions are watched through pidfds, and whatever one
// leaves is ended when it ends. Once nothing of the subtree's own runs any more, the rest
// is ended and the subtree removed.
#pragma once

#include <string>
#include <vector>

#include "base/UniqueFd.h"

class ZavdGroup {
  public:
    // How long ending one group's processes may take.
    static constexpr int kKillTime = 2000;

    // Makes this zavd's group below the one it runs in and moves into it. False when
    // there is no writable cgroup v2 hierarchy or the move is refused (then Path() is
    // the group it runs in, or empty without one).
    bool Enter(std::string& why);
    // The group this zavd's sessions are born in.
    const std::string& Path() const { return m_path; }
    // Moves back to the group zavd was started in and removes its own, when no session
    // is left in it (else the next zavd will, once they have ended).
    void Leave();

    // Looks at the groups of zavd that are gone, beside this one's: ends and removes
    // what nothing will end any more, and watches the rest. Each thing done is a line in
    // log.
    void Sweep(std::vector<std::string>& log);
    // The descriptors to wait on (POLLIN): the processes in those groups.
    std::vector<int> Watched() const;
    // One of them was readable: looks again.
    void Check(std::vector<std::string>& log);

  private:
    struct Leftover {
        std::string path;
        std::vector<UniqueFd> members;  // pidfds of the processes in the group itself
    };
    // Ends what leftover holds that no process of its own will end; true while such
    // processes run.
    static bool Settle(Leftover& leftover, std::vector<std::string>& log);

    std::string m_parent;  // the group zavd was started in
    std::string m_path;
    std::vector<Leftover> m_leftovers;
};
