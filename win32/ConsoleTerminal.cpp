#include "win32/ConsoleTerminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "win32/ErrnoFailure.h"
#include "win32/Win32.h"

namespace {

std::atomic<ConsoleTerminal::Provider> g_provider{nullptr};

}  // namespace

ConsoleTerminal* ConsoleTerminal::Current() {
    const Provider provider = g_provider.load(std::memory_order_acquire);
    if (provider == nullptr) {
        SetLastError(ENOTTY);
        return nullptr;
    }
    return provider();
}

void ConsoleTerminal::SetProvider(Provider provider) {
    g_provider.store(provider, std::memory_order_release);
}

bool ConsoleTerminal::Make(UniqueFd& master, UniqueFd& slave, std::string& name) {
    master.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master.Valid() || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) {
        return FailWithErrno();
    }
    char path[128];
    if (::ptsname_r(master.Get(), path, sizeof path) != 0) {
        return FailWithErrno();
    }
    name = path;
    slave.Reset(::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave.Valid()) {
        return FailWithErrno();
    }
    return true;
}

int ConsoleTerminal::AttachChild(const ConsoleAttachment& attachment) {
    if (::setsid() < 0) {
        return errno;
    }
    // The previous holder may be gone without having given the terminal up.
    if (::ioctl(attachment.slave, TIOCSCTTY, 0) != 0 &&
        ::ioctl(attachment.slave, TIOCSCTTY, 1) != 0) {
        return errno;
    }
    // Whatever mode the session left the console in, a new program starts with the
    // terminal's defaults (echo, line editing, signals).
    ::tcsetattr(attachment.slave, TCSANOW, &attachment.mode);
    for (int fd = 0; fd <= 2; ++fd) {
        if (::dup2(attachment.slave, fd) < 0) {
            return errno;
        }
    }
    // Everything else is closed by the coming exec, not here: the caller may still need a
    // descriptor of its own (to report a failed exec) until then.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    return 0;
}
