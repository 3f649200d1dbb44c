// Window station and desktop. On Linux the shell's isolation is its own session with
// the console's pseudo-terminal as controlling terminal, so both objects exist exactly
// when the console host is up; opening them checks that, and the rest is bookkeeping.
#include <cerrno>
#include <string>

#include "win32/ConsoleTerminal.h"
#include "win32/HandleTable.h"
#include "win32/Win32.h"

namespace {

class DesktopObject : public KernelObject {
  public:
    explicit DesktopObject(std::string name) : m_name(std::move(name)) {}

  private:
    std::string m_name;
};

bool ConsoleAvailable() {
    return ConsoleTerminal::Current() != nullptr;
}

HANDLE OpenDesktopObject(const char* name) {
    if (name == nullptr || *name == '\0') {
        SetLastError(EINVAL);
        return nullptr;
    }
    if (!ConsoleAvailable()) {
        return nullptr;
    }
    return HandleTable::Instance().Add(std::make_shared<DesktopObject>(name));
}

bool IsDesktopObject(HANDLE handle) {
    return HandleTable::Instance().Get<DesktopObject>(handle) != nullptr;
}

}  // namespace

HWINSTA OpenWindowStationA(const char* name, BOOL /*inherit*/, DWORD /*access*/) {
    return OpenDesktopObject(name);
}

HDESK OpenDesktopA(const char* name, DWORD /*flags*/, BOOL /*inherit*/, DWORD /*access*/) {
    return OpenDesktopObject(name);
}

DWORD SetSecurityInfo(HANDLE object, DWORD /*objectType*/, DWORD /*securityInfo*/,
                      const void* /*owner*/, const void* /*group*/, const void* /*dacl*/,
                      const void* /*sacl*/) {
    return IsDesktopObject(object) ? 0 : EBADF;
}

BOOL SetProcessWindowStation(HWINSTA station) {
    return IsDesktopObject(station) ? TRUE : FALSE;
}

BOOL SetThreadDesktop(HDESK desktop) {
    return IsDesktopObject(desktop) ? TRUE : FALSE;
}
