// Keeping a process that reads passwords to itself.
#pragma once

// The process is neither dumped (no core file) nor open to a debugger. False (error code
// set) when that cannot be arranged.
bool MakeProcessUndumpable();
