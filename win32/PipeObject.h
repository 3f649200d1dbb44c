// One end of an anonymous pipe (CreatePipe): the descriptor, and which way it goes. A
// wait on the read end ends when there is something to read (or the writer is gone); on
// the write end, when there is room (or the reader is gone).
#pragma once

#include <utility>

#include "base/UniqueFd.h"
#include "win32/KernelObject.h"

class PipeObject : public KernelObject {
  public:
    PipeObject(UniqueFd fd, bool writeEnd) : m_fd(std::move(fd)), m_writeEnd(writeEnd) {}

    int Fd() const { return m_fd.Get(); }
    bool WriteEnd() const { return m_writeEnd; }
    int WaitFd() const override { return m_fd.Get(); }
    bool WaitsForRoom() const override { return m_writeEnd; }

  private:
    UniqueFd m_fd;
    const bool m_writeEnd;
};
