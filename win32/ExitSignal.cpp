#include "win32/ExitSignal.h"

#include <sys/wait.h>

#include "win32/HandleTable.h"
#include "win32/ProcessObject.h"

bool ExitSignalOf(HANDLE process, DWORD& signal, bool& coreDumped) {
    auto object = HandleTable::Instance().Get<ProcessObject>(process);
    int how = 0;
    int status = 0;
    if (!object || !object->WaitStatus(how, status)) {
        return false;
    }
    const bool killed = how == CLD_KILLED || how == CLD_DUMPED;
    signal = killed ? static_cast<DWORD>(status) : 0;
    coreDumped = how == CLD_DUMPED;
    return true;
}
