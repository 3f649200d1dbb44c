#include "win32/ProcessMemory.h"

#include <malloc.h>

void UseOneMemoryArena() {
    ::mallopt(M_ARENA_MAX, 1);
}
