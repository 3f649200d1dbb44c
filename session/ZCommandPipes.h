// The pipes of a command run without a terminal: the client's data goes to the
// program's standard input, and its standard output and error come back, byte for byte,
// as the channel's data and extended data. No screen, no key table: the bytes as they are.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "win32/UniqueHandle.h"
#include "win32/Win32.h"

class ZCommandPipes {
  public:
    // Client bytes held for the program at most: beyond, the channel's window stays shut
    // until the program reads.
    static constexpr std::size_t kHeldLimit = std::size_t{1} << 20;
    // Bytes read from each of the program's outputs in one pump.
    static constexpr std::size_t kReadSlice = std::size_t{64} * 1024;

    ZCommandPipes() = default;
    ZCommandPipes(const ZCommandPipes&) = delete;
    ZCommandPipes& operator=(const ZCommandPipes&) = delete;

    // Makes the three pipes; startup then names the program's ends as its standard handles.
    bool Create(STARTUPINFOA& startup);
    // Once the program started (or failed to): its ends are closed here, so that the end
    // of its output is seen when it and what it started are done with them.
    void Started();

    // Client data for the program's standard input.
    void Feed(std::string_view data) { m_held += data; }
    // The client's end of data: the program's input closes once what is held reached it.
    void EndInput() { m_inputEnded = true; }
    // Whether client data may be taken now.
    bool WantsInput() const {
        return !m_inputEnded && m_input.Valid() && m_held.size() < kHeldLimit;
    }
    // What to wait on: the outputs while open, the input while bytes wait for room.
    std::vector<HANDLE> Handles() const;
    // Moves what can move without waiting: held bytes into the program's input, and what
    // it wrote into out and err. False when nothing moved.
    bool Pump(std::string& out, std::string& err);
    // Both outputs reached their end.
    bool OutputEnded() const { return !m_output.Valid() && !m_error.Valid(); }

  private:
    // Reads what one output has; at its end the handle is closed.
    static bool Drain(UniqueHandle& pipe, std::string& into);

    UniqueHandle m_input;   // written here, read by the program
    UniqueHandle m_output;  // read here
    UniqueHandle m_error;   // read here
    UniqueHandle m_programInput;
    UniqueHandle m_programOutput;
    UniqueHandle m_programError;
    std::string m_held;  // client bytes not yet taken by the program
    bool m_inputEnded = false;
};
