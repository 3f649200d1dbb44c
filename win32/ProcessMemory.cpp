#include "win32/ProcessMemory.h"

#include <malloc.h>

void UseOneMemoryArena() {
    // Called at the program's start, before any other thread runs.
    ::mallopt(M_ARENA_MAX, 1);  // NOLINT(concurrency-mt-unsafe)
}
