// Writing a whole text to a descriptor, for the trace's files and standard error.
#pragma once

#include <string_view>

// Writes all of text, resuming after a short write or a signal; false (errno kept) when
// the descriptor takes no more.
bool WriteWhole(int fd, std::string_view text);
