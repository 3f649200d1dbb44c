#include "monitor/WorkerSandbox.h"

#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <iterator>
#include <vector>

namespace {

#if defined(__x86_64__)
constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
#error "the worker's seccomp filter needs this architecture's audit tag"
#endif

// The sanitizers' leak check stops the process's threads with ptrace at its exit.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZAV_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define ZAV_SANITIZED 1
#endif
#endif

constexpr int kDenied[] = {
#ifndef ZAV_SANITIZED
    SYS_ptrace,
#endif
    SYS_process_vm_readv,
    SYS_process_vm_writev,
    SYS_kcmp,
    SYS_mount,
    SYS_umount2,
    SYS_pivot_root,
    SYS_chroot,
    SYS_unshare,
    SYS_setns,
    SYS_open_by_handle_at,
    SYS_name_to_handle_at,
    SYS_init_module,
    SYS_finit_module,
    SYS_delete_module,
    SYS_kexec_load,
    SYS_kexec_file_load,
    SYS_bpf,
    SYS_perf_event_open,
    SYS_userfaultfd,
    SYS_keyctl,
    SYS_add_key,
    SYS_request_key,
    SYS_io_uring_setup,
    SYS_io_uring_enter,
    SYS_io_uring_register,
    SYS_personality,
    SYS_acct,
    SYS_swapon,
    SYS_swapoff,
    SYS_reboot,
    SYS_syslog,
};

// ioctl requests that reach beyond the terminal's own screen.
constexpr unsigned long kDeniedIoctls[] = {TIOCSTI, TIOCLINUX};

sock_filter Statement(unsigned short code, unsigned k) {
    return BPF_STMT(code, k);
}

sock_filter Jump(unsigned short code, unsigned k, unsigned char yes, unsigned char no) {
    return BPF_JUMP(code, k, yes, no);
}

}  // namespace

bool WorkerSandbox::Apply() {
    constexpr unsigned kDeny = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);
    std::vector<sock_filter> program;
    // Another architecture's calls (x32 numbers included) are not what this list means.
    program.push_back(Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
    program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0));
    program.push_back(Statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
    program.push_back(Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
#if defined(__x86_64__)
    program.push_back(Jump(BPF_JMP | BPF_JGE | BPF_K, 0x40000000U, 0, 1));  // x32
    program.push_back(Statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
#endif
    for (const int call : kDenied) {
        program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(call), 0, 1));
        program.push_back(Statement(BPF_RET | BPF_K, kDeny));
    }
    // ioctl: the request is the second argument (its low 32 bits; the kernel takes an
    // unsigned int).
    program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_ioctl, 0,
                           static_cast<unsigned char>(1 + 2 * std::size(kDeniedIoctls))));
    program.push_back(Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])));
    for (const unsigned long request : kDeniedIoctls) {
        program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(request), 0, 1));
        program.push_back(Statement(BPF_RET | BPF_K, kDeny));
    }
    program.push_back(Statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    return ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter, 0, 0) == 0;
}
