// LogonUserA: the privileged call's token, as a handle.
#include <cerrno>
#include <memory>

#include "win32/HandleTable.h"
#include "win32/PrivilegeBroker.h"
#include "win32/TokenObject.h"
#include "win32/Win32.h"

BOOL LogonUserA(const char* user, const char* /*domain*/, const char* password, DWORD /*logonType*/,
                DWORD /*provider*/, HANDLE* token) {
    if (user == nullptr || password == nullptr || token == nullptr) {
        SetLastError(EINVAL);
        return FALSE;
    }
    *token = nullptr;
    std::shared_ptr<TokenObject> object = PrivilegeBroker::Current().Logon(user, password);
    if (!object) {
        return FALSE;
    }
    *token = HandleTable::Instance().Add(object);
    return TRUE;
}
