// One PAM transaction of the service "brisel", from the password check to the end of the
// log-in session: the account checks (/etc/nologin, expiry, access rules) refuse at the
// log-on, and the session modules (login uid, limits, keyring, environment, systemd)
// apply to the process that opens the session and to the shell it then forks.
//
// The order, as OpenSSH's sshd keeps it: Authenticate (in the privileged process), then
// Open in the process that will fork the shell, before the fork; Close after the shell
// has ended. The destructor closes what is still open and ends the transaction.
//
// No copy of the password is kept here: the conversation answers from the caller's
// buffer while Authenticate runs, and refuses every prompt after it. PAM itself keeps
// the password (its PAM_AUTHTOK item) until the transaction ends, so a process that
// authenticates is made non-dumpable.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct pam_handle;
struct pam_message;
struct pam_response;

class PamSession {
  public:
    PamSession() = default;
    ~PamSession();
    // PAM's conversation holds this object's address.
    PamSession(const PamSession&) = delete;
    PamSession& operator=(const PamSession&) = delete;

    // Checks the password and the account's rules, once per object. remoteHost (the
    // client's address) and tty (the terminal's path, /dev/pts/N) are left unset when
    // empty. False with the last-error code kPamErrorTag | the PAM result (an unknown
    // name is reported as a wrong password), or EPERM when called twice.
    bool Authenticate(const std::string& user, const char* password, const std::string& remoteHost,
                      const std::string& tty);
    // The account PAM settled on (a module may map the name given).
    const std::string& Name() const { return m_name; }

    // Establishes the credentials and opens the session in the calling process, with
    // the account's supplementary groups set meanwhile (modules may add to them); the
    // caller's groups are back on return. True at once when already open. False with
    // the last-error code (kPamErrorTag | the PAM result, or errno) otherwise.
    bool Open();
    bool IsOpen() const { return m_open; }
    // The account's groups while the session was opened, with what PAM added.
    const std::vector<gid_t>& Groups() const { return m_groups; }
    // The variables the modules set (pam_env's files, pam_systemd's XDG_*), as
    // NAME=value strings.
    std::vector<std::string> Environment() const;
    // What the modules said (PAM_TEXT_INFO, PAM_ERROR_MSG: pam_motd's message of the day)
    // while the session was opened, each message ending in a line break; at most
    // kMaxMessages bytes are kept. Taken once.
    static constexpr std::size_t kMaxMessages = 65536;
    std::string TakeMessages();
    // Closes the session and deletes the credentials; again does nothing.
    void Close();

  private:
    static int Converse(int count, const pam_message** messages, pam_response** responses,
                        void* data);
    bool Refuse(int result);

    pam_handle* m_handle = nullptr;
    int m_status = 0;                  // the last PAM result, for pam_end
    const char* m_password = nullptr;  // the caller's, only while Authenticate runs
    bool m_authenticated = false;
    bool m_credentials = false;
    bool m_open = false;
    std::string m_name;
    std::vector<gid_t> m_groups;
    bool m_opening = false;  // messages are kept only while the session opens
    std::string m_messages;
};
