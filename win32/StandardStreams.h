// The descriptors a program started without the console gets as 0, 1 and 2: the ends
// of pipes the caller keeps the other ends of.
#pragma once

struct StandardStreams {
    int input = -1;   // read by the program
    int output = -1;  // written by the program
    int error = -1;   // written by the program

    bool Valid() const { return input >= 0 && output >= 0 && error >= 0; }
};
