#include "win32/ErrnoFailure.h"

#include <cerrno>

BOOL FailWithErrno() {
    SetLastError(static_cast<DWORD>(errno));
    return FALSE;
}
