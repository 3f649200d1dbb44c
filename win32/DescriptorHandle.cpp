#include "win32/DescriptorHandle.h"

#include <fcntl.h>

#include <memory>

#include "base/UniqueFd.h"
#include "win32/ErrnoFailure.h"
#include "win32/HandleTable.h"
#include "win32/PipeObject.h"

HANDLE DescriptorHandle(int fd, bool forRoom) {
    UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
    if (!copy.Valid()) {
        FailWithErrno();
        return nullptr;
    }
    // A pipe end's object waits the same way: readable, or with room to write.
    return HandleTable::Instance().Add(std::make_shared<PipeObject>(std::move(copy), forRoom));
}
