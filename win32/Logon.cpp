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
#include "win32/Monitor.h"
#include "win32/TokenObject.h"
#include "win32/Win32.h"

namespace {

constexpr const char* kService = "brisel";

// Answers every echo-off prompt with the password; informational messages get an empty
// answer. The answers are allocated with malloc, as PAM frees them.
int Converse(int count, const pam_message** messages, pam_response** responses, void* data) {
    if (count <= 0 || count > PAM_MAX_NUM_MSG) {
        return PAM_CONV_ERR;
    }
    auto* answers = static_cast<pam_response*>(
        std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
    if (answers == nullptr) {
        return PAM_BUF_ERR;
    }
    const char* password = static_cast<const char*>(data);
    for (int i = 0; i < count; ++i) {
        if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF) {
            answers[i].resp = ::strdup(password);
            if (answers[i].resp == nullptr) {
                for (int j = 0; j < i; ++j) {
                    if (answers[j].resp != nullptr) {
                        ::explicit_bzero(answers[j].resp, std::strlen(answers[j].resp));
                        std::free(answers[j].resp);
                    }
                }
                std::free(answers);
                return PAM_BUF_ERR;
            }
        } else if (messages[i]->msg_style == PAM_PROMPT_ECHO_ON) {
            // Only the password is known here; a question for anything else is refused.
            std::free(answers);
            return PAM_CONV_ERR;
        }
    }
    *responses = answers;
    return PAM_SUCCESS;
}

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
    if (Monitor::IsWorker()) {
        // The worker has no right to check passwords: the monitor does, through PAM.
        std::string terminal;
        if (const ConsoleTerminal* console = ConsoleTerminal::Current(); console != nullptr) {
            terminal = console->TerminalName();
        }
        Monitor::Account account;
        if (!Monitor::Logon(user, password, terminal, account)) {
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
    pam_conv conversation{&Converse, const_cast<char*>(password)};
    pam_handle_t* handle = nullptr;
    int result = ::pam_start(kService, user, &conversation, &handle);
    if (result != PAM_SUCCESS) {
        return Refuse(result);
    }
    const auto end = [&](int status) { ::pam_end(handle, status); };
    // Where the attempt comes from, for the system's log and for modules that act on it
    // (the client's address is the session's ZAV_IP), and the terminal it is made on.
    if (const char* address = std::getenv("ZAV_IP"); address != nullptr && *address != '\0') {
        ::pam_set_item(handle, PAM_RHOST, address);
    }
    std::string tty = Monitor::RequestTerminal();
    if (tty.empty() && !Monitor::IsMonitor()) {
        if (const ConsoleTerminal* console = ConsoleTerminal::Current(); console != nullptr) {
            tty = console->TerminalName();
        }
    }
    if (!tty.empty()) {
        ::pam_set_item(handle, PAM_TTY, tty.c_str());
    }
    // The system's failure delay stays: it hides which names exist.
    result = ::pam_authenticate(handle, PAM_DISALLOW_NULL_AUTHTOK);
    if (result == PAM_SUCCESS) {
        // Only after a good password: account checks report success otherwise too.
        result = ::pam_acct_mgmt(handle, PAM_DISALLOW_NULL_AUTHTOK);
    }
    if (result != PAM_SUCCESS) {
        end(result);
        return Refuse(result);
    }
    // PAM may have mapped the name; the account is the one it settled on.
    const void* item = nullptr;
    std::string name = user;
    if (::pam_get_item(handle, PAM_USER, &item) == PAM_SUCCESS && item != nullptr) {
        name = static_cast<const char*>(item);
    }
    end(PAM_SUCCESS);

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
    *token = HandleTable::Instance().Add(object);
    return TRUE;
}
