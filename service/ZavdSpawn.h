// How zavd starts a program of its own (a session, the settings check): with no signal
// blocked and every signal's action the default, whatever zavd set for itself; with
// /dev/null as descriptors 0 and 1 and the given descriptor as 2, so that nothing of
// zavd's terminal, if it has one, reaches the program.
#pragma once

#include <spawn.h>
#include <sys/types.h>

class ZavdSpawn {
  public:
    // errors: what becomes the program's descriptor 2. extraFlags: posix_spawn flags
    // beyond the signal ones (POSIX_SPAWN_SETSID).
    ZavdSpawn(int errors, short extraFlags);
    ~ZavdSpawn();
    ZavdSpawn(const ZavdSpawn&) = delete;
    ZavdSpawn& operator=(const ZavdSpawn&) = delete;

    // More file actions, before Start.
    posix_spawn_file_actions_t& Actions() { return m_actions; }
    // posix_spawn's result: 0, or the errno value.
    int Start(pid_t& pid, char* const argv[], char* const envp[]);

  private:
    posix_spawn_file_actions_t m_actions{};
    posix_spawnattr_t m_attributes{};
};
