// brisel: the session process for one client connection, started by zavd.
#include <sys/prctl.h>

#include <memory>

#include "session/ZBrisel.h"

int main() {
    // A process that reads passwords is neither dumped nor open to a debugger.
    ::prctl(PR_SET_DUMPABLE, 0);
    auto session = std::make_unique<ZBrisel>();
    const int result = session->Run();
    if (session->LoginThreadDone()) {
        session.reset();
        return result;
    }
    // The login thread may still wait for a password in the session's console and must
    // never find the session gone: the channel is closed in order and the process ends
    // with the thread.
    session->m_ssh.ShutDown();
    ExitProcess(static_cast<UINT>(result));
}
