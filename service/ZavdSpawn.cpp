#include "service/ZavdSpawn.h"

#include <fcntl.h>
#include <signal.h>

ZavdSpawn::ZavdSpawn(int errors, short extraFlags) {
    posix_spawn_file_actions_init(&m_actions);
    posix_spawn_file_actions_addopen(&m_actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&m_actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&m_actions, errors, 2);
    posix_spawnattr_init(&m_attributes);
    sigset_t none;
    sigset_t defaults;
    ::sigemptyset(&none);
    ::sigfillset(&defaults);
    posix_spawnattr_setsigmask(&m_attributes, &none);
    posix_spawnattr_setsigdefault(&m_attributes, &defaults);
    posix_spawnattr_setflags(&m_attributes, static_cast<short>(POSIX_SPAWN_SETSIGMASK |
                                                               POSIX_SPAWN_SETSIGDEF | extraFlags));
}

ZavdSpawn::~ZavdSpawn() {
    posix_spawnattr_destroy(&m_attributes);
    posix_spawn_file_actions_destroy(&m_actions);
}

int ZavdSpawn::Start(pid_t& pid, char* const argv[], char* const envp[]) {
    return ::posix_spawn(&pid, argv[0], &m_actions, &m_attributes, argv, envp);
}
