// Base of every object that a HANDLE refers to.
#pragma once

class KernelObject {
  public:
    KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;
    virtual ~KernelObject() = default;

    // A descriptor that becomes readable when the object is signalled (a process that
    // ended, an event that was set); -1 for objects that cannot be waited for.
    virtual int WaitFd() const { return -1; }
    // Waiting for the object resets it (an auto-reset event); false for a process.
    virtual bool ResetOnWait() const { return false; }
    // The descriptor signals by becoming writable rather than readable (a pipe's write
    // end: room to write).
    virtual bool WaitsForRoom() const { return false; }
};
