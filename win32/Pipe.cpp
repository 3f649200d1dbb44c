// CreatePipe, ReadFile and WriteFile over pipe(2).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "win32/ErrnoFailure.h"
#include "win32/HandleTable.h"
#include "win32/PipeObject.h"
#include "win32/Win32.h"

BOOL CreatePipe(HANDLE* readPipe, HANDLE* writePipe, void* /*attributes*/, DWORD size) {
    if (readPipe == nullptr || writePipe == nullptr) {
        SetLastError(EINVAL);
        return FALSE;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return FailWithErrno();
    }
    UniqueFd reading(ends[0]);
    UniqueFd writing(ends[1]);
    if (size != 0) {
        ::fcntl(writing.Get(), F_SETPIPE_SZ, static_cast<int>(size));  // a hint, as on Windows
    }
    *readPipe =
        HandleTable::Instance().Add(std::make_shared<PipeObject>(std::move(reading), false));
    *writePipe =
        HandleTable::Instance().Add(std::make_shared<PipeObject>(std::move(writing), true));
    return TRUE;
}

BOOL SetNamedPipeHandleState(HANDLE pipe, DWORD* mode, DWORD* /*maxCollection*/,
                             DWORD* /*timeout*/) {
    auto object = HandleTable::Instance().Get<PipeObject>(pipe);
    if (!object) {
        return FALSE;
    }
    if (mode == nullptr) {
        return TRUE;
    }
    const int flags = ::fcntl(object->Fd(), F_GETFL);
    const int wanted = (*mode & PIPE_NOWAIT) != 0 ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    if (flags < 0 || ::fcntl(object->Fd(), F_SETFL, wanted) != 0) {
        return FailWithErrno();
    }
    return TRUE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* read, void* /*overlapped*/) {
    auto object = HandleTable::Instance().Get<PipeObject>(file);
    if (!object) {
        return FALSE;
    }
    if (read != nullptr) {
        *read = 0;
    }
    if (object->WriteEnd()) {
        SetLastError(EBADF);
        return FALSE;
    }
    ssize_t n = 0;
    do {
        n = ::read(object->Fd(), buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return FailWithErrno();
    }
    if (n == 0 && size > 0) {
        SetLastError(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    if (read != nullptr) {
        *read = static_cast<DWORD>(n);
    }
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD size, DWORD* written, void* /*overlapped*/) {
    auto object = HandleTable::Instance().Get<PipeObject>(file);
    if (!object) {
        return FALSE;
    }
    if (written != nullptr) {
        *written = 0;
    }
    if (!object->WriteEnd()) {
        SetLastError(EBADF);
        return FALSE;
    }
    ssize_t n = 0;
    do {
        // A reader that is gone is an error here, not a signal (SIGPIPE is ignored).
        n = ::write(object->Fd(), buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN) {
        return TRUE;  // a non-waiting end: nothing fitted
    }
    if (n < 0) {
        return FailWithErrno();
    }
    if (written != nullptr) {
        *written = static_cast<DWORD>(n);
    }
    return TRUE;
}
