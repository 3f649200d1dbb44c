// LogonUserA over PAM.
#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "win32/ConsoleTerminal.h"
#include "win32/HandleTable.h"
#include "win32/PamSession.h"
#include "win32/PrivilegeBroker.h"
#include "win32/TokenObject.h"
#include "win32/Win32.h"

namespace {

BOOL Refuse(int result) {
    // A name the system does not know looks exactly like a wrong password.
    if (result == PAM_USER_UNKNOWN) {
        result = PAM_AUTH_ERR;
    }
    SetLastError(ERROR_PAM_TAG | static_cast<DWORD>(result));
    return FALSE;
}

}  // namespace

BOOL LogonUserA(const char* user, const char* /*domain*/, const char* password, DWORD /*logonType*/,
                DWORD /*provider*/, HANDLE* token) {
    if (user == nullptr || password == nullptr || token == nullptr) {
        SetLastError(EINVAL);
        return FALSE;
    }
    *token = nullptr;
    if (const PrivilegeBroker* broker = PrivilegeBroker::Installed(); broker != nullptr) {
        // This process has no right to check passwords: the privileged side does,
        // through PAM, on the terminal it made.
        PrivilegeBroker::Account account;
        if (!broker->logon(user, password, account)) {
            return FALSE;
        }
        auto object = std::make_shared<TokenObject>();
        object->name = account.name;
        object->uid = account.uid;
        object->gid = account.gid;
        object->home = account.home;
        object->shell = account.shell;
        *token = HandleTable::Instance().Add(object);
        return TRUE;
    }
    // Where the attempt comes from, for the system's log and for modules that act on it
    // (the client's address is the session's ZAV_IP), and the terminal it is made on.
    std::string address;
    if (const char* ip = std::getenv("ZAV_IP"); ip != nullptr) {
        address = ip;
    }
    std::string tty = PrivilegeBroker::LogonTerminal();
    if (tty.empty()) {
        if (const ConsoleTerminal* console = ConsoleTerminal::Current(); console != nullptr) {
            tty = console->TerminalName();
        }
    }
    // The transaction stays with the token: the privileged side opens the log-in session
    // with it before it starts the shell, and closes it after.
    auto pam = std::make_shared<PamSession>();
    if (!pam->Authenticate(user, password, address, tty)) {
        return FALSE;
    }
    const std::string& name = pam->Name();

    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return Refuse(PAM_USER_UNKNOWN);
    }
    auto object = std::make_shared<TokenObject>();
    object->name = entry.pw_name;
    object->uid = entry.pw_uid;
    object->gid = entry.pw_gid;
    object->home = entry.pw_dir != nullptr ? entry.pw_dir : "/";
    object->shell =
        entry.pw_shell != nullptr && *entry.pw_shell != '\0' ? entry.pw_shell : "/bin/sh";
    object->pam = std::move(pam);
    *token = HandleTable::Instance().Add(object);
    return TRUE;
}
