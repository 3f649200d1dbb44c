// This console's flag, in a cell's attributes (CHAR_INFO::Attributes), of the session's
// scroll mark: not a Windows flag but the bit Windows uses for a DBCS grid line on a
// cell's right, which this console never draws. Only the session's one-character write
// straight into a cell sets it; anything a program writes over the cell takes it away, and
// the session's putting the cell's character back clears it. It never leaves the session:
// a capture takes it out of its picture.
#pragma once

#include "win32/Win32.h"

constexpr WORD CONSOLE_SCROLL_MARK = 0x1000;
