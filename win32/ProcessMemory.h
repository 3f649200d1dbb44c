// How the process's memory is kept.
#pragma once

// All threads allocate from one arena (glibc's malloc otherwise gives each thread that
// allocates an arena of its own, whose touched pages each process pays for).
void UseOneMemoryArena();
