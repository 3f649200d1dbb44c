// Checks the settings before zavd serves, as `sshd -t` does. What the sessions read is
// checked by the session program itself (`brisel --check-config WORKDIR`, run as a
// child of its own, bounded in time and output); zavd checks what it reads itself: the
// key-set file named by rsakey_file, which --genkey creates.
#pragma once

#include <string>
#include <vector>

class ZavdConfigCheck {
  public:
    // The longest the session program's check may take.
    static constexpr int kTimeoutMs = 30000;
    // What the session program's check may say, at most.
    static constexpr std::size_t kMaxReport = std::size_t{256} * 1024;

    // One line per problem, each naming its file, section and key; empty when the
    // settings can be used. session is the session program zavd starts; a session program
    // that cannot be run or fails in its check is a problem too. With keyFile false the
    // key-set file is not looked at (zavd --genkey is about to create it).
    static std::vector<std::string> Run(const std::string& session, const std::string& workdir,
                                        bool keyFile = true);

  private:
    static void CheckSession(const std::string& session, const std::string& workdir,
                             std::vector<std::string>& problems);
    static void CheckKeyFile(const std::string& workdir, std::vector<std::string>& problems);
};
