// What a worker may ask of the kernel, narrowed after it dropped its privileges: a
// seccomp filter that refuses (EPERM) the calls no part of a session needs and that a
// worker taken over would use to reach further: faking terminal input (TIOCSTI,
// TIOCLINUX), tracing or reading other processes, mounts and namespaces, kernel modules
// and keyrings, BPF, perf and userfaultfd, io_uring. Everything else stays as it was.
#pragma once

class WorkerSandbox {
  public:
    // False with errno when the kernel refused the filter.
    static bool Apply();
};
