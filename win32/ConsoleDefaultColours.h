// Two flags of this console in a cell's attributes (CHAR_INFO::Attributes), not Windows
// flags: the bits Windows uses for DBCS grid lines, which this console never draws, mark
// the colours a program left at the terminal's defaults, so that the client can show its
// own default colours there.
#pragma once

#include "win32/Win32.h"

constexpr WORD CONSOLE_DEFAULT_FOREGROUND = 0x0400;
constexpr WORD CONSOLE_DEFAULT_BACKGROUND = 0x0800;
constexpr WORD CONSOLE_DEFAULT_COLOURS = CONSOLE_DEFAULT_FOREGROUND | CONSOLE_DEFAULT_BACKGROUND;
