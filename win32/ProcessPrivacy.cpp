#include "win32/ProcessPrivacy.h"

#include <sys/prctl.h>

#include "win32/ErrnoFailure.h"

bool MakeProcessUndumpable() {
    return ::prctl(PR_SET_DUMPABLE, 0) == 0 ? true : FailWithErrno();
}
