#include "win32/PamSession.h"

#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "win32/ErrnoFailure.h"
#include "win32/PamErrorCode.h"
#include "win32/Win32.h"

namespace {

constexpr const char* kService = "brisel";

void FreeAnswers(pam_response* answers, int count) {
    for (int i = 0; i < count; ++i) {
        if (answers[i].resp != nullptr) {
            ::explicit_bzero(answers[i].resp, std::strlen(answers[i].resp));
            std::free(answers[i].resp);  // NOLINT: PAM's memory, malloc'd by contract
        }
    }
    std::free(answers);  // NOLINT: PAM's memory, malloc'd by contract
}

// The calling process's supplementary groups, or an empty list.
std::vector<gid_t> CurrentGroups() {
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count > 0) {
        const int got = ::getgroups(count, groups.data());
        groups.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    return groups;
}

}  // namespace

PamSession::~PamSession() {
    Close();
    if (m_handle != nullptr) {
        ::pam_end(m_handle, m_status);
    }
}

// Answers every echo-off prompt with the password while Authenticate runs;
// informational messages get an empty answer (and are kept while the session opens: the
// message of the day). The answers are allocated with malloc, as
// PAM frees them.
int PamSession::Converse(int count, const pam_message** messages, pam_response** responses,
                         void* data) {
    if (count <= 0 || count > PAM_MAX_NUM_MSG) {
        return PAM_CONV_ERR;
    }
    // PAM frees the answers with free(): they are malloc'd.
    auto* answers = static_cast<pam_response*>(       // NOLINT(cppcoreguidelines-owning-memory)
        std::calloc(static_cast<std::size_t>(count),  // NOLINT(cppcoreguidelines-no-malloc)
                    sizeof(pam_response)));
    if (answers == nullptr) {
        return PAM_BUF_ERR;
    }
    auto* self = static_cast<PamSession*>(data);
    const char* password = self->m_password;
    for (int i = 0; i < count; ++i) {
        const int style = messages[i]->msg_style;
        if ((style == PAM_TEXT_INFO || style == PAM_ERROR_MSG) && self->m_opening &&
            messages[i]->msg != nullptr) {
            std::string text = messages[i]->msg;
            if (text.empty() || text.back() != '\n') {
                text += '\n';
            }
            if (self->m_messages.size() + text.size() <= kMaxMessages) {
                self->m_messages += text;
            }
        }
        if (style == PAM_PROMPT_ECHO_OFF && password != nullptr) {
            answers[i].resp = ::strdup(password);
            if (answers[i].resp == nullptr) {
                FreeAnswers(answers, i);
                return PAM_BUF_ERR;
            }
        } else if (style == PAM_PROMPT_ECHO_OFF || style == PAM_PROMPT_ECHO_ON) {
            // Only the password is known, and only during the check: any other question
            // is refused.
            FreeAnswers(answers, i);
            return PAM_CONV_ERR;
        }
    }
    *responses = answers;
    return PAM_SUCCESS;
}

bool PamSession::Refuse(int result) {
    // A name the system does not know looks exactly like a wrong password.
    if (result == PAM_USER_UNKNOWN) {
        result = PAM_AUTH_ERR;
    }
    SetLastError(PamErrorCode(result));
    return false;
}

bool PamSession::Authenticate(const std::string& user, const char* password,
                              const std::string& remoteHost, const std::string& tty) {
    if (m_handle != nullptr || m_authenticated) {
        SetLastError(EPERM);
        return false;
    }
    if (password == nullptr) {
        SetLastError(EINVAL);
        return false;
    }
    // PAM holds the password until the transaction ends: it never reaches a core dump.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const pam_conv conversation{&PamSession::Converse, this};
    int result = ::pam_start(kService, user.c_str(), &conversation, &m_handle);
    if (result != PAM_SUCCESS) {
        m_handle = nullptr;  // PAM has freed what it had
        return Refuse(result);
    }
    // Where the attempt comes from, for the system's log and for modules that act on it,
    // and the terminal it is made on. PAM_RUSER stays unset: the remote name is unknown.
    if (!remoteHost.empty()) {
        ::pam_set_item(m_handle, PAM_RHOST, remoteHost.c_str());
    }
    if (!tty.empty()) {
        ::pam_set_item(m_handle, PAM_TTY, tty.c_str());
    }
    m_password = password;
    // The system's failure delay stays: it hides which names exist.
    result = ::pam_authenticate(m_handle, PAM_DISALLOW_NULL_AUTHTOK);
    if (result == PAM_SUCCESS) {
        // Only after a good password: account checks report success otherwise too. A
        // password that must be changed first is a refusal (PAM_NEW_AUTHTOK_REQD).
        result = ::pam_acct_mgmt(m_handle, PAM_DISALLOW_NULL_AUTHTOK);
    }
    m_password = nullptr;
    m_status = result;
    if (result != PAM_SUCCESS) {
        ::pam_end(m_handle, result);
        m_handle = nullptr;
        return Refuse(result);
    }
    // PAM may have mapped the name; the account is the one it settled on.
    const void* item = nullptr;
    m_name = user;
    if (::pam_get_item(m_handle, PAM_USER, &item) == PAM_SUCCESS && item != nullptr) {
        m_name = static_cast<const char*>(item);
    }
    m_authenticated = true;
    return true;
}

bool PamSession::Open() {
    if (m_open) {
        return true;
    }
    if (!m_authenticated || m_handle == nullptr) {
        SetLastError(EPERM);
        return false;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r(m_name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return Refuse(PAM_USER_UNKNOWN);
    }
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (::getgrouplist(m_name.c_str(), entry.pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
    }
    groups.resize(static_cast<std::size_t>(count));
    // The modules see the account's groups, as in login(1): credentials may add groups,
    // and the session is opened for the account as it will run.
    const std::vector<gid_t> own = CurrentGroups();
    if (::setgroups(groups.size(), groups.data()) != 0) {
        return FailWithErrno() != FALSE;
    }
    int result = ::pam_setcred(m_handle, PAM_ESTABLISH_CRED);
    if (result == PAM_SUCCESS) {
        m_credentials = true;
        m_groups = CurrentGroups();
        m_opening = true;
        result = ::pam_open_session(m_handle, 0);
        m_opening = false;
    }
    const bool restored = ::setgroups(own.size(), own.data()) == 0;
    m_status = result;
    if (result != PAM_SUCCESS) {
        Close();
        return Refuse(result);
    }
    m_open = true;
    if (!restored) {
        const DWORD error = static_cast<DWORD>(errno);
        Close();
        SetLastError(error);
        return false;
    }
    return true;
}

std::string PamSession::TakeMessages() {
    return std::exchange(m_messages, std::string());
}

std::vector<std::string> PamSession::Environment() const {
    std::vector<std::string> variables;
    if (m_handle == nullptr) {
        return variables;
    }
    char** list = ::pam_getenvlist(m_handle);
    if (list == nullptr) {
        return variables;
    }
    for (char** p = list; *p != nullptr; ++p) {
        variables.emplace_back(*p);
        std::free(*p);  // NOLINT: PAM's memory, malloc'd by contract
    }
    std::free(list);  // NOLINT: PAM's memory, malloc'd by contract
    return variables;
}

void PamSession::Close() {
    if (m_handle == nullptr) {
        return;
    }
    if (m_open) {
        m_open = false;
        m_status = ::pam_close_session(m_handle, PAM_SILENT);
    }
    if (m_credentials) {
        m_credentials = false;
        m_status = ::pam_setcred(m_handle, PAM_DELETE_CRED | PAM_SILENT);
    }
}
